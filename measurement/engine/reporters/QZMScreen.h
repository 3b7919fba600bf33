// One screen of the host application as the screen-view reporter knows it:
// its name and class, a 64-bit instance id, and how it came to be (renamed by
// the app, or from a "screen_view" the app logged). Screens never change once
// made; the reporters share them and tell them apart by identity.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "measurement/model/QZMValue.h"

class QZMScreen {
 public:
  static std::shared_ptr<const QZMScreen> initWithName(std::optional<std::string> name,
                                                       std::optional<std::string> className,
                                                       std::int64_t instanceID);
  // Made by setScreenName: the app renamed the screen it shows.
  static std::shared_ptr<const QZMScreen> manuallySet(std::optional<std::string> name,
                                                      std::optional<std::string> className,
                                                      std::int64_t instanceID);
  // Made from a "screen_view" event the app logged, with that event's time.
  static std::shared_ptr<const QZMScreen> manuallyTracked(std::optional<std::string> name,
                                                          std::optional<std::string> className,
                                                          std::int64_t instanceID, double eventTimestamp);

  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  std::int64_t instanceID() const { return instanceID_; }
  bool isManuallySet() const { return isManuallySet_; }
  bool isManuallyTracked() const { return isManuallyTracked_; }
  double eventTimestamp() const { return eventTimestamp_; }

  // A new screen with the name, class name and instance id only.
  std::shared_ptr<const QZMScreen> copy() const;

  // The parameters an event about this screen carries: "_si" always, "_sc"
  // when the class name is a valid screen parameter value (a missing, empty
  // or invalid one is logged and leaves "_si" alone), then "_sn" when the
  // name is present and valid.
  QZMDictionary screenParameters() const;

  QZMScreen(std::optional<std::string> name, std::optional<std::string> className, std::int64_t instanceID,
            bool isManuallySet, bool isManuallyTracked, double eventTimestamp)
      : name_(std::move(name)),
        className_(std::move(className)),
        instanceID_(instanceID),
        isManuallySet_(isManuallySet),
        isManuallyTracked_(isManuallyTracked),
        eventTimestamp_(eventTimestamp) {}

 private:
  const std::optional<std::string> name_;
  const std::optional<std::string> className_;
  const std::int64_t instanceID_;
  const bool isManuallySet_;
  const bool isManuallyTracked_;
  const double eventTimestamp_;
};

// The class name without its module: what follows the last "." when the
// name holds a "." that is not its last character.
std::string QZMStrippedClassName(const std::string& className);
