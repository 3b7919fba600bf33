// One experiment the server assigned: its ID and its flags, keyed by name.
// A value: copies share the flag messages, which are never changed once
// made, so a copy may travel to another queue.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/proto/generated/QZMPBMessages.h"

// A flag message that nobody changes any more.
using QZMEFlag = std::shared_ptr<const QZMPBFlag>;

class QZMEExperiment {
 public:
  // nullopt, logged, when an element is no flag. A later flag of a name
  // replaces an earlier one.
  static std::optional<QZMEExperiment> initWithExperimentID(std::int32_t experimentID,
                                                            const std::vector<QZMEFlag>& flags);
  // An absent ID reads as 0; flags that cannot be kept are logged and left out.
  static QZMEExperiment initWithProtobuf(const QZMPBExperiment& experiment);

  // Refuses, logged, no flag and a flag without name.
  bool addFlag(const QZMEFlag& flag);
  // nullptr when there is none (an empty name is logged).
  QZMEFlag flagWithName(std::string_view name) const;
  // In name order.
  std::vector<QZMEFlag> flags() const;
  std::int32_t experimentID() const { return experimentID_; }
  std::unique_ptr<QZMPBExperiment> proto() const;

 private:
  explicit QZMEExperiment(std::int32_t experimentID) : experimentID_(experimentID) {}

  std::int32_t experimentID_;
  std::map<std::string, QZMEFlag, std::less<>> flagsByName_;
};

// The flag's name; nullopt for no flag or no name.
std::optional<std::string> QZMEFlagName(const QZMEFlag& flag);
