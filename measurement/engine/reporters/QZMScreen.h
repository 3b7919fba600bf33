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
  // Members left out of an initialiser are false and 0.
  struct Origin {
    // Made by setScreenName: the app renamed the screen it shows.
    bool isManuallySet;
    // Made from a "screen_view" event the app logged; it carries that event's time.
    bool isManuallyTracked;
    double eventTimestamp;
  };

  static std::shared_ptr<const QZMScreen> initWithName(std::optional<std::string> name,
                                                       std::optional<std::string> className,
                                                       std::int64_t instanceID, Origin origin = {});

  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  std::int64_t instanceID() const { return instanceID_; }
  bool isManuallySet() const { return origin_.isManuallySet; }
  bool isManuallyTracked() const { return origin_.isManuallyTracked; }
  double eventTimestamp() const { return origin_.eventTimestamp; }

  // A new screen with the name, class name and instance id only.
  std::shared_ptr<const QZMScreen> copy() const;

  // The parameters an event about this screen carries: "_si" always, "_sc"
  // when the class name is a valid screen parameter value (a missing, empty
  // or invalid one is logged and leaves "_si" alone), then "_sn" when the
  // name is present and valid.
  QZMDictionary screenParameters() const;

  QZMScreen(std::optional<std::string> name, std::optional<std::string> className, std::int64_t instanceID,
            Origin origin)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID), origin_(origin) {}

 private:
  const std::optional<std::string> name_;
  const std::optional<std::string> className_;
  const std::int64_t instanceID_;
  const Origin origin_;
};

// The class name without its module: what follows the last "." when the
// name holds a "." that is not its last character.
std::string QZMStrippedClassName(const std::string& className);
