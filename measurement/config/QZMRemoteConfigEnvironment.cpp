#include "measurement/config/QZMRemoteConfigEnvironment.h"

#include <optional>
#include <string>
#include <string_view>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/experiments/QZMESDKProperty.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/identity/QZMIdentitySupport.h"
#include "measurement/model/QZMEventNames.h"

void QZMRemoteConfigInstallEnvironment() {
  QZMRemoteConfigLinks links;
  links.internalEventName = [](std::string_view name) -> std::optional<std::string> {
    const QZMNameMap& names = QZMPublicToInternalEventNameMap();
    auto found = names.find(name);
    if (found == names.end()) return std::nullopt;
    return found->second;
  };
  links.appDataConsentStatus = []() -> std::optional<std::uint64_t> {
    auto support = QZMDefaultIdentitySupport::sharedInstance();
    if (!support || !support->hasAppDataConsentStatus()) return std::nullopt;
    return support->appDataConsentStatus();
  };
  links.appVersion = []() -> std::optional<std::string> {
    auto identity = QZMIdentity::sharedInstance();
    return identity ? identity->appVersion() : std::nullopt;
  };
  QZMRemoteConfig::setLinks(std::move(links));
  QZMESDKProperty::setIdentityDiversionKeyProvider([]() -> std::optional<std::string> {
    auto identity = QZMIdentity::sharedInstance();
    return identity ? identity->diversionKey() : std::nullopt;
  });
}
