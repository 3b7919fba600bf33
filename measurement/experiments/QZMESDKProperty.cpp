#include "measurement/experiments/QZMESDKProperty.h"

#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace {

struct ProviderSlot {
  std::mutex mutex;
  QZMESDKProperty::DiversionKeyProvider provider;
};

// Never destroyed: a worker may build a request while the program ends.
ProviderSlot& providerSlot() {
  static auto* slot = new ProviderSlot;
  return *slot;
}

std::optional<std::string> identityDiversionKey() {
  QZMESDKProperty::DiversionKeyProvider provider;
  {
    ProviderSlot& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    provider = slot.provider;
  }
  if (!provider) return std::nullopt;
  return provider();
}

}  // namespace

std::shared_ptr<QZMESDKProperty> QZMESDKProperty::initWithName(std::string name) {
  return std::make_shared<QZMESDKProperty>(std::move(name));
}

void QZMESDKProperty::setIdentityDiversionKeyProvider(DiversionKeyProvider provider) {
  ProviderSlot& slot = providerSlot();
  std::lock_guard lock(slot.mutex);
  slot.provider = std::move(provider);
}

std::int64_t QZMESDKProperty::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

void QZMESDKProperty::setVersion(std::int64_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}

std::optional<std::string> QZMESDKProperty::appID() const {
  std::lock_guard lock(mutex_);
  return appID_;
}

void QZMESDKProperty::setAppID(std::optional<std::string> appID) {
  std::lock_guard lock(mutex_);
  appID_ = std::move(appID);
}

std::optional<std::string> QZMESDKProperty::diversionKey() const {
  std::lock_guard lock(mutex_);
  return diversionKey_;
}

void QZMESDKProperty::setDiversionKey(std::optional<std::string> diversionKey) {
  std::lock_guard lock(mutex_);
  diversionKey_ = std::move(diversionKey);
}

QZMESDKProperty::CustomProperties QZMESDKProperty::customProperties() const {
  std::lock_guard lock(mutex_);
  return customProperties_;
}

void QZMESDKProperty::setCustomProperties(CustomProperties customProperties) {
  std::lock_guard lock(mutex_);
  customProperties_ = std::move(customProperties);
}

std::shared_ptr<QZMESDKPropertyProviderDelegate> QZMESDKProperty::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void QZMESDKProperty::setDelegate(std::weak_ptr<QZMESDKPropertyProviderDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::unique_ptr<QZMPBClientProperty> QZMESDKProperty::proto() const {
  std::optional<std::string> key = diversionKey();
  if (!key || key->empty()) key = identityDiversionKey();
  if (!key || key->empty()) {
    QZMEMonitor::shared()->logWithLevel(1, 860001, "Diversion key is empty");
    return nullptr;
  }
  CustomProperties properties = customProperties();
  // Asked outside the lock: the delegate may read this property.
  if (auto provider = delegate(); provider && provider->implementsDynamicCustomProperties()) {
    for (auto& [name, value] : provider->dynamicCustomPropertiesForSDKProperty(*this)) {
      properties[name] = std::move(value);
    }
  }

  std::unique_ptr<QZMPBClientProperty> message = QZMPBClientProperty::initWithBuffer({});
  if (!message) return nullptr;
  bool stored = NANOSetString(message.get(), QZMPBClientProperty::kName, name_) &&
                NANOSetString(message.get(), QZMPBClientProperty::kDiversionKey, *key + "-" + name_) &&
                NANOSetInt64(message.get(), QZMPBClientProperty::kVersion, version());
  if (std::optional<std::string> app = appID(); app && !app->empty()) {
    stored = stored && NANOSetString(message.get(), QZMPBClientProperty::kAppId, *app);
  }
  if (!properties.empty()) {
    NANOObjectArray items;
    for (const auto& [name, value] : properties) {
      std::unique_ptr<QZMPBCustomProperty> item = QZMPBCustomProperty::initWithBuffer({});
      if (!item || !NANOSetString(item.get(), QZMPBCustomProperty::kKey, name) ||
          !NANOSetString(item.get(), QZMPBCustomProperty::kValue, value)) {
        return nullptr;
      }
      items.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(item)));
    }
    stored = stored && NANOSetArray(message.get(), QZMPBClientProperty::kCustomProperties, &items);
  }
  return stored ? std::move(message) : nullptr;
}
