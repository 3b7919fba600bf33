// Builds the experiments request from the SDK properties registered so far:
// the app's property and one client property per SDK whose property can be
// sent. One shared instance; the registration fills it, the fetch reads it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/experiments/QZMESDKProperty.h"
#include "measurement/proto/generated/QZMPBMessages.h"

class QZMEExperimentRequestBuilder {
 public:
  static std::shared_ptr<QZMEExperimentRequestBuilder> sharedInstance();
  // Tests start from an empty builder; nullptr makes the next use make one.
  static void setSharedInstance(std::shared_ptr<QZMEExperimentRequestBuilder> builder);

  // A later property of a name replaces the earlier one; nullptr is logged.
  void addSDKProperty(std::shared_ptr<QZMESDKProperty> property);
  // Whether an SDK of that name registered in this process.
  bool hasSDKName(const std::string& SDKName) const;
  std::unique_ptr<QZMPBExperimentRequest> request() const;
  std::unique_ptr<QZMPBAppProperty> appPropertyProto() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<QZMESDKProperty>> clientPropertyBySDKName_;
};
