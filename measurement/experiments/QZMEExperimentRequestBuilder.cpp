#include "measurement/experiments/QZMEExperimentRequestBuilder.h"

#include <vector>

#include "measurement/experiments/QZMEManager.h"
#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Strings.h"

namespace {

struct SharedSlot {
  std::mutex mutex;
  std::shared_ptr<QZMEExperimentRequestBuilder> builder;
};

// Never destroyed: a worker may build a request while the program ends.
SharedSlot& sharedSlot() {
  static auto* slot = new SharedSlot;
  return *slot;
}

}  // namespace

std::shared_ptr<QZMEExperimentRequestBuilder> QZMEExperimentRequestBuilder::sharedInstance() {
  SharedSlot& slot = sharedSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.builder) slot.builder = std::make_shared<QZMEExperimentRequestBuilder>();
  return slot.builder;
}

void QZMEExperimentRequestBuilder::setSharedInstance(std::shared_ptr<QZMEExperimentRequestBuilder> builder) {
  SharedSlot& slot = sharedSlot();
  std::lock_guard lock(slot.mutex);
  slot.builder = std::move(builder);
}

void QZMEExperimentRequestBuilder::addSDKProperty(std::shared_ptr<QZMESDKProperty> property) {
  if (!property) {
    QZMEMonitor::shared()->logWithLevel(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  std::lock_guard lock(mutex_);
  clientPropertyBySDKName_[property->name()] = std::move(property);
}

bool QZMEExperimentRequestBuilder::hasSDKName(const std::string& SDKName) const {
  std::lock_guard lock(mutex_);
  return clientPropertyBySDKName_.contains(SDKName);
}

std::unique_ptr<QZMPBAppProperty> QZMEExperimentRequestBuilder::appPropertyProto() const {
  std::unique_ptr<QZMPBAppProperty> app = QZMPBAppProperty::initWithBuffer({});
  if (!app) return nullptr;
  NANOSetString(app.get(), QZMPBAppProperty::kPlatform, "ios");
  std::vector<std::string> languages = foundation::Device::preferredLanguages();
  if (!languages.empty() && !languages.front().empty()) {
    NANOSetString(app.get(), QZMPBAppProperty::kLanguage, foundation::lowercased(languages.front()));
  }
  if (auto bundle = foundation::Bundle::main()) {
    std::string identifier = bundle->bundleIdentifier();
    if (!identifier.empty()) NANOSetString(app.get(), QZMPBAppProperty::kAppId, identifier);
  }
  NANOSetInt64(app.get(), QZMPBAppProperty::kVersion, QZMEManager::version());
  return app;
}

std::unique_ptr<QZMPBExperimentRequest> QZMEExperimentRequestBuilder::request() const {
  std::vector<std::shared_ptr<QZMESDKProperty>> properties;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, property] : clientPropertyBySDKName_) properties.push_back(property);
  }
  std::unique_ptr<QZMPBExperimentRequest> request = QZMPBExperimentRequest::initWithBuffer({});
  std::unique_ptr<QZMPBAppProperty> app = appPropertyProto();
  if (!request || !app || !NANOSetMessage(request.get(), QZMPBExperimentRequest::kAppProperty, app.get())) {
    return nullptr;
  }
  // Built outside the lock: a property's delegate may take its time.
  NANOObjectArray clients;
  for (const auto& property : properties) {
    if (std::unique_ptr<QZMPBClientProperty> client = property->proto()) {
      clients.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(client)));
    }
  }
  if (!clients.empty() && !NANOSetArray(request.get(), QZMPBExperimentRequest::kClientProperties, &clients)) {
    return nullptr;
  }
  return request;
}
