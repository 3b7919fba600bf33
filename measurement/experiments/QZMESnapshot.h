// The experiments the server assigned to one SDK, keyed by experiment ID,
// with the time the snapshot was made (fetched, activated or stored) and
// whether its SDK's client activates it itself. A value: a copy keeps the
// name, experiments, time and activation flag of its original.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/experiments/QZMEExperiment.h"
#include "measurement/proto/generated/QZMPBMessages.h"

class QZMESnapshot {
 public:
  // Timestamp now, not manually activated; nullopt, logged, for an empty name.
  static std::optional<QZMESnapshot> initWithSDKName(std::string_view SDKName,
                                                     const std::vector<QZMEExperiment>& experiments);
  // nullopt when the message names no SDK.
  static std::optional<QZMESnapshot> initWithProtobuf(const QZMPBSnapshot& snapshot);

  // From the first experiment (ascending ID) that has a flag of the name.
  QZMEFlag flagByName(std::string_view name) const;
  // Adds to the experiment of the ID, making it when absent; refuses, logged,
  // no ID and no flag.
  bool addFlag(const QZMEFlag& flag, std::optional<std::int32_t> forExperimentID);
  // Adds each flag; false when one was refused.
  bool addFlags(const std::vector<QZMEFlag>& flags, std::int32_t forExperimentID);

  // Ascending by ID.
  std::vector<QZMEExperiment> experiments() const;
  const std::map<std::int32_t, QZMEExperiment>& experimentsByExperimentID() const { return experimentsByID_; }
  std::unique_ptr<QZMPBSnapshot> proto() const;

  const std::string& SDKName() const { return SDKName_; }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

 private:
  QZMESnapshot(std::string SDKName, double timestamp) : SDKName_(std::move(SDKName)), timestamp_(timestamp) {}

  std::string SDKName_;
  std::map<std::int32_t, QZMEExperiment> experimentsByID_;
  double timestamp_;
  bool manuallyActivated_ = false;
};
