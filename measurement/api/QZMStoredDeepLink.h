// The launch link the app was opened with, kept with the time it was stored
// until the engine starts and reports it as a campaign. It lives in a
// key-value store (the shared user defaults in a program), because the
// engine may start long after the launch, or in a later run.
#pragma once

#include <cstdint>
#include <string>

class QZMConfigStore;
class QZMRemoteConfig;

inline constexpr const char* kQZMStoredDeepLinkKey = "/dralix/measurement/deep_link";
inline constexpr const char* kQZMStoredDeepLinkTimestampKey = "/dralix/measurement/deep_link_timestamp_seconds";

// Stores the link with the current time, replacing any stored one.
void QZMStoreDeepLink(QZMConfigStore& store, const std::string& link);
// Removes the link, then its time.
void QZMClearStoredDeepLink(QZMConfigStore& store);
// Whether the stored time lies more than the given seconds from now, either
// way; false when no time is stored.
bool QZMIsStoredDeepLinkOlderThan(const QZMConfigStore& store, double seconds);
// Clears the link of the shared user defaults when it has outlived the
// configuration's attribution lifetime; answers whether it did.
bool QZMExpireStoredDeepLink(const QZMRemoteConfig& remoteConfig);
// The start of the hour before the one holding the time (milliseconds,
// the hour cut toward zero); saturates instead of leaving the int64 range.
std::int64_t QZMPreviousHourStartMilliseconds(std::int64_t milliseconds);
