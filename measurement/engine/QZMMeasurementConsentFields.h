// The consent state and the identifiers that consent allows, as a bundle
// carries them. The same rules fill an event's metadata (overwriting what it
// holds) and a queued bundle about to be uploaded (keeping what it holds
// unless asked to overwrite). Beside them: whether two bundles may share a
// batch, and the redaction of limited-data field groups.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/identity/QZMIdentity.h"
class QZMPBMeasurementBundle;
class QZMPBUserAttribute;

// What the identifier fields are filled from, read from the identity once
// per bundle so that every rule sees the same answers.
struct QZMBundleIdentifiers : QZMIdentity::Snapshot {
  bool iOS14OrAbove = false;

  static QZMBundleIdentifiers fromIdentity(QZMIdentity& identity);
  static QZMBundleIdentifiers fromSnapshot(const QZMIdentity::Snapshot& snapshot);
};

// Consent signals: the characters at positions 2 and 3 give the ad-storage
// and analytics-storage states, "0", "D" or "d" meaning denied. Shorter
// signals deny nothing.
bool QZMConsentSignalsDenyAdStorage(std::string_view consentSignals);
bool QZMConsentSignalsDenyAnalyticsStorage(std::string_view consentSignals);

// The consent signals, the tracking-authorisation status and the advertising,
// vendor and app instance IDs that the signals and the attribution gate
// allow; denied storage removes what it covers, audience results included.
void QZMApplyConsentSignalsToBundle(QZMPBMeasurementBundle& bundle, std::string_view consentSignals,
                                    bool attributionGate, const QZMBundleIdentifiers& identity, bool overwrite);

// The consent diagnostics, the DMA-region flag, the core platform services
// ("-" when ad user data is denied or there are none) and, when given, the
// "_npa" user property.
void QZMApplyConsentDiagnosticsToBundle(QZMPBMeasurementBundle& bundle, std::string_view consentDiagnostics,
                                        bool adUserDataDenied, const QZMPBUserAttribute* npaUserAttribute,
                                        bool isDMARegion, const std::set<std::string>& corePlatformServices,
                                        bool overwrite);

// Both exist and agree on consent signals, diagnostics, services, DMA region
// and "_npa" (absent counts as 0 against a present one).
bool QZMBundlesShareConsentContext(const QZMPBMeasurementBundle* bundle, const QZMPBMeasurementBundle* otherBundle);
// One of its events is the first open.
bool QZMBundleContainsFirstOpen(const QZMPBMeasurementBundle& bundle);

// Removes or shortens the fields of the named groups ("app_instance_id",
// "user_id", "os_version", "device_model", "device_info",
// "enhanced_user_id") and records the groups. The app instance ID gives way
// to the ephemeral one unless the bundle's signals deny analytics storage.
void QZMRedactBundleFields(QZMPBMeasurementBundle& bundle, const std::vector<std::string>& fieldGroups,
                           const std::optional<std::string>& ephemeralAppInstanceID);
