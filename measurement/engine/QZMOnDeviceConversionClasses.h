// The on-device conversion components as the engine finds them at run time.
// Each is optional: a library that is linked announces its class by name
// (QZMUtilities::registerClassName) and what the engine calls of it as a
// class object (QZMUtilities::registerClassObject) of the types below. An
// empty function is a selector the class does not answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

class ODCConversionServiceProtocol;
class QZMPrivateSetMembershipClient;

// The membership client of the older, deprecated component.
inline constexpr const char* kQZMPSMClientClassName = "QZMPrivateSetMembershipClient";
inline constexpr const char* kODCPSMClientClassName = "ODCPrivateSetMembershipClient";
inline constexpr const char* kODCConversionServiceClassName = "ODCConversionService";

// A membership client class: its initialisers, each answering nullptr when
// it refuses the identifier. Hashed identifiers are SHA-256 digests.
struct QZMPSMClientClass {
  using Client = std::shared_ptr<QZMPrivateSetMembershipClient>;
  using Initializer = std::function<Client(std::string_view identifier, std::string_view appID)>;
  using PrefixInitializer =
      std::function<Client(std::string_view identifier, std::string_view appID, std::int32_t prefixBitLength)>;

  Initializer initWithEmailAddress;
  PrefixInitializer initWithEmailAddressPrefixBitLength;
  Initializer initWithPhoneNumber;
  PrefixInitializer initWithPhoneNumberPrefixBitLength;
  PrefixInitializer initWithHashedEmailAddress;
  PrefixInitializer initWithHashedPhoneNumber;
};

// The conversion service class: its shared instance, nullptr when that does
// not serve the service's protocol.
struct QZMConversionServiceClass {
  std::function<std::shared_ptr<ODCConversionServiceProtocol>()> sharedInstance;
};

// Announces the membership client and the conversion service of the
// conversion libraries. Runs when a program that links them
// (tolv::on_device_conversion) loads.
void QZMRegisterLinkedOnDeviceConversionClasses();
