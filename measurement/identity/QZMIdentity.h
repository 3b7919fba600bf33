// Who the app and the installation are: the bundle's identifier and version,
// the app ID of the service property list, the app instance ID (random,
// persisted, replaced when the advertising identifier changes), the
// advertising identifier with its hash, the tracking status, the vendor
// identifier, the installation identifier, the session stitching token, the
// diversion key and an ephemeral instance ID kept in memory.
//
// Consent decides what may be read or stored: with analytics storage denied
// there is no app instance ID, vendor identifier or token; with ad storage
// denied no advertising identifier or its hash. Stored values stay as they
// are.
//
// Every mutable field lives on the identity's serial queue: getters take it
// (a getter first refreshes there, so its read sees the refresh's result),
// setters and refreshes are queued. Getters must not be called from the
// identity queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/Queue.h"

class QZMPersistedConfig;

inline constexpr const char* kQZMIDFVCollectionEnabledKey = "DRALIX_ANALYTICS_IDFV_COLLECTION_ENABLED";

// Stored tracking-authorisation status.
enum QZMAppleConsentStatus : std::uint64_t {
  kQZMAppleConsentStatusNotRefreshed = 0,
  kQZMAppleConsentStatusRestricted = 1,
  kQZMAppleConsentStatusDenied = 2,
  kQZMAppleConsentStatusAuthorized = 3,
  kQZMAppleConsentStatusNotDetermined = 4,
  kQZMAppleConsentStatusUnavailable = 5,
  kQZMAppleConsentStatusUnsupported = 6,
};

class QZMIdentity : public std::enable_shared_from_this<QZMIdentity> {
 public:
  // Made once over the persisted settings' shared instance; when that could
  // not be made every call logs and answers nullptr.
  static std::shared_ptr<QZMIdentity> sharedInstance();
  // Tests install their own; nullptr makes the next use make one again.
  static void setSharedInstance(std::shared_ptr<QZMIdentity> identity);
  // nullptr (logged) without settings. Creates an app instance ID when none
  // is stored and analytics storage is not denied.
  static std::shared_ptr<QZMIdentity> initWithPersistedConfig(std::shared_ptr<QZMPersistedConfig> persistedConfig);

  // The library's version number (111400).
  static std::int64_t kestrometerLibraryVersion();
  // A new random UUID without its hyphens: 32 upper-case hexadecimal digits;
  // nullopt when the system's random source fails.
  static std::optional<std::string> randomAppInstanceID();
  // The numbers of the "."-separated parts, non-digits dropped (logged),
  // empty parts skipped.
  static std::vector<std::int32_t> numericFieldsFromAppVersionNumeric(std::string_view version);
  static bool iOS14OrAbove();

  // Refreshes the advertising identifier, its hash and the tracking status,
  // at most once per the configuration's ad-ID cache time.
  void updateIdentifiers();
  void updateIdentifiersAndWait();

  // What a bundle takes from the identity, refreshed and read in one visit
  // to the queue; each field answers as its getter would.
  struct Snapshot {
    std::uint64_t appleConsentStatus = 0;
    // Whether the platform can tell limited ad tracking, and its answer.
    bool hasLimitedAdTracking = false;
    bool limitedAdTracking = false;
    std::optional<std::string> resettableDeviceID;
    std::optional<std::string> identifierForVendor;
    std::optional<std::string> appInstanceID;
    std::optional<std::string> appIDFromDXV;
    bool shouldSetLastAdvertisingIDResetUserProperty = false;
  };
  Snapshot snapshot();

  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  // Lower-case hexadecimal MD5 of the advertising identifier.
  std::optional<std::string> hashedResettableDeviceID();
  std::optional<std::string> resettableDeviceID();
  std::uint64_t appleConsentStatus();
  bool limitedAdTracking();
  // Whether the platform can tell limited ad tracking at all.
  bool hasLimitedAdTracking();
  std::optional<double> lastAppInstanceIDUpdateTimestamp();

  std::optional<std::string> appIDFromDXV();
  // Only the first non-empty ID given is taken; an empty one is refused (logged).
  void setAppIDFromDXV(std::string_view appID);

  // The vendor identifier, unless an advertising identifier exists, the
  // Info.plist switch says NO or analytics storage is denied. Off the main
  // thread it is answered from the cache, which the main queue fills, so a
  // caller never waits for the main thread; until then it is nullopt.
  std::optional<std::string> identifierForVendor();

  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

  // The token survives while the session continues; without a user ID it
  // expires after a day.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber, bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  void resetSessionStitchingTokenOnWorkerQueue();

  // Five characters, made and persisted when the stored key is not.
  std::optional<std::string> diversionKey();

  std::optional<std::string> ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();
  void resetEphemeralAppInstanceIDOnWorkerQueue();

  const std::string& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  std::optional<std::int32_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<std::int32_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<std::int32_t> appVersionRelease() const { return appVersionRelease_; }
  std::optional<std::string> devCertHash() const { return std::nullopt; }
  std::optional<std::string> zarnholtInstallationID() const;
  void setZarnholtInstallationID(const std::optional<std::string>& installationID);
  // The Info.plist switch for vendor-identifier collection, when present.
  std::optional<bool> isIDFVCollectionEnabled() const { return isIDFVCollectionEnabled_; }

  const std::shared_ptr<QZMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  struct Token {};
  QZMIdentity(Token, std::shared_ptr<QZMPersistedConfig> persistedConfig);

 private:
  void refreshOnQueue();
  void scheduleVendorIdentifierRead();
  // The vendor identifier once the advertising identifier, the switch and
  // consent allow it, from the cache read on the queue.
  std::optional<std::string> identifierForVendorFromCache(std::optional<std::string> cached);
  // Runs the block on the identity queue and waits; inline when already there.
  void syncOnQueue(const std::function<void()>& block);

  const std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  const std::shared_ptr<dispatch::Queue> queue_;

  // On the queue.
  std::optional<double> lastAppInstanceIDUpdateTimestamp_;
  std::uint64_t appleConsentStatus_ = kQZMAppleConsentStatusNotRefreshed;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> identifierForVendorString_;
  std::optional<std::string> appIDFromDXV_;
  std::optional<std::string> sessionStitchingToken_;
  std::int64_t lastSessionNumber_ = 0;
  bool lastIsSessionExpired_ = false;
  std::optional<double> sessionStitchingTokenExpirationTime_;
  std::optional<std::string> ephemeralAppInstanceID_;

  std::atomic<bool> appIDFromDXVSet_ = false;
  std::atomic<bool> vendorIdentifierReadPending_ = false;
  mutable std::mutex installationIDMutex_;
  std::optional<std::string> zarnholtInstallationID_;

  std::optional<bool> isIDFVCollectionEnabled_;
  std::string appID_;
  std::optional<std::string> appVersion_;
  std::optional<std::int32_t> appVersionMajor_;
  std::optional<std::int32_t> appVersionMinor_;
  std::optional<std::int32_t> appVersionRelease_;
};
