#include "measurement/engine/QZMOnDeviceConversionClasses.h"

#include "conversion/ODCConversionService.h"
#include "conversion/ODCPrivateSetMembershipClient.h"
#include "measurement/foundation/QZMUtilities.h"

namespace {

// A program that links the components has them from its start.
const bool gLinkedClassesRegistered = (QZMRegisterLinkedOnDeviceConversionClasses(), true);

}  // namespace

void QZMRegisterLinkedOnDeviceConversionClasses() {
  using Client = ODCPrivateSetMembershipClient;
  QZMPSMClientClass client{
      .initWithEmailAddress = [](std::string_view address,
                                 std::string_view appID) -> QZMPSMClientClass::Client {
        return Client::initWithEmailAddress(address, appID);
      },
      .initWithEmailAddressPrefixBitLength = [](std::string_view address, std::string_view appID,
                                                std::int32_t bits) -> QZMPSMClientClass::Client {
        return Client::initWithEmailAddress(address, appID, bits);
      },
      .initWithPhoneNumber = [](std::string_view number, std::string_view appID) -> QZMPSMClientClass::Client {
        return Client::initWithPhoneNumber(number, appID);
      },
      .initWithPhoneNumberPrefixBitLength = [](std::string_view number, std::string_view appID,
                                               std::int32_t bits) -> QZMPSMClientClass::Client {
        return Client::initWithPhoneNumber(number, appID, bits);
      },
      .initWithHashedEmailAddress = [](std::string_view digest, std::string_view appID,
                                       std::int32_t bits) -> QZMPSMClientClass::Client {
        return Client::initWithHashedEmailAddress(digest, appID, bits);
      },
      .initWithHashedPhoneNumber = [](std::string_view digest, std::string_view appID,
                                      std::int32_t bits) -> QZMPSMClientClass::Client {
        return Client::initWithHashedPhoneNumber(digest, appID, bits);
      },
  };
  QZMUtilities::registerClassName(kODCPSMClientClassName);
  QZMUtilities::registerClassObject(kODCPSMClientClassName, client);

  QZMConversionServiceClass service{
      .sharedInstance = []() -> std::shared_ptr<ODCConversionServiceProtocol> {
        return ODCConversionService::sharedInstance();
      },
  };
  QZMUtilities::registerClassName(kODCConversionServiceClassName);
  QZMUtilities::registerClassObject(kODCConversionServiceClassName, service);
}
