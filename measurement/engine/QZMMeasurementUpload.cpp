// The one road by which measurement data leaves the device: pending raw
// events become bundles, the oldest bundles that may travel together are
// stamped and posted as one batch, and the answer either deletes them or
// records the failure for the schedule. One request at a time.
#include <algorithm>
#include <cmath>

#include "absl/strings/str_cat.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/consent/QZMConsentSettingsUtil.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/QZMMeasurementConsentFields.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Clock.h"

namespace {

using Bundle = QZMPBMeasurementBundle;

std::string stringField(const Bundle& bundle, std::int32_t field) {
  return NANOGetString(&bundle, field).value_or("");
}

// The stored "_npa" property as a bundle carries it; nullptr when absent or
// unreadable.
std::unique_ptr<QZMPBUserAttribute> storedNPAAttribute(QZMDatabase& database) {
  auto stored = database.userAttributeWithName("_npa");
  if (!stored || !*stored) return nullptr;
  auto attribute = QZMUserAttribute::fromStored(**stored);
  return attribute ? attribute->protoUserAttribute() : nullptr;
}

void addHeaders(DRKHTTPHeaders& headers, const std::optional<foundation::Dictionary>& dictionary) {
  if (!dictionary) return;
  for (const auto& [name, value] : *dictionary) {
    if (const std::string* text = value.string()) headers[name] = *text;
  }
}

}  // namespace

void QZMMeasurement::uploadData() {
  QZMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  // What is stored waits for the next run; bundles cut short are not.
  if (isProcessExiting()) return;
  auto monitor = QZMMeasurement::monitor();
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  monitor->logWithLevel(8, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    monitor->logWithLevel(8, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    monitor->logWithLevel(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  auto database = this->database();
  auto config = remoteConfigInstance();
  if (!database || !config) return;

  if (!config->isExpired()) {
    std::int32_t limit = config->maxBundlesCreatedPerIteration();
    for (std::int32_t made = 0; made < limit && bundleRawEvents(); ++made) {
    }
  }

  auto queued = database->queryBundlesWithCountLimit(config->uploadMaxBundlesLimit(), config->uploadMaxSizeLimitBytes());
  if (!queued) {
    monitor->logWithLevel(1, 23036, "Failed to query bundles. Error", queued.error());
    terminateBackgroundTask();
    return;
  }
  if (queued->empty()) {
    config->activateNewSnapshot();
    monitor->logWithLevel(8, 23037, "No data to upload");
    if (config->isExpired()) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }

  DRKHTTPHeaders headers;
  std::string target = config->uploadURL();
  bool krpx = config->KRPXUploadEnabled();
  if (krpx) {
    std::optional<std::string> krpxTarget = config->KRPXUploadURL();
    if (!krpxTarget) {
      monitor->logWithLevel(1, 23263, "Unable to get a valid KRPX upload URL.");
      return;
    }
    target = *krpxTarget;
    addHeaders(headers, config->KRPXUploadHTTPHeaders());
    addHeaders(headers, QZMMeasurementBase::KRPXPreviewHeaders());
  }

  tcfClientSetConsentFromData();
  std::string consentSignals = QZMConsentSettingsUtil::consentSignals();
  bool attributionGate = config->gateIDFAOnATTMASEnabled();
  std::string consentDiagnostics = QZMConsentSettingsUtil::consentDiagnostics();
  bool adUserDataDenied = QZMConsentSettingsUtil::isAdUserDataDenied();
  std::unique_ptr<QZMPBUserAttribute> npa = storedNPAAttribute(*database);
  auto identity = this->identity();
  QZMBundleIdentifiers identifiers = identity ? QZMBundleIdentifiers::fromIdentity(*identity) : QZMBundleIdentifiers();
  bool isDMARegion = config->isDMARegion();
  std::set<std::string> corePlatformServices = config->corePlatformServices();

  // A denied state in the signals, or a first open, means the bundles get
  // today's consent rather than what they were stored with.
  bool overwrite = consentSignals.find('0') != std::string::npos;
  for (const QZMQueuedBundle& entry : *queued) {
    if (!overwrite) overwrite = QZMBundleContainsFirstOpen(*entry.bundle);
    QZMApplyConsentSignalsToBundle(*entry.bundle, consentSignals, attributionGate, identifiers, overwrite);
    QZMApplyConsentDiagnosticsToBundle(*entry.bundle, consentDiagnostics, adUserDataDenied, npa.get(), isDMARegion,
                                       corePlatformServices, overwrite);
  }

  double now = foundation::now();
  if (double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp(); lastSuccess != 0) {
    monitor->logWithLevel(8, 23038, "Uploading events. Elapsed time since last successful upload (s)",
                          std::fabs(now - lastSuccess));
  }

  std::string appID = stringField(*queued->front().bundle, Bundle::kAppId);
  std::string resettableDeviceID;
  std::string vendorDeviceID;
  for (const QZMQueuedBundle& entry : *queued) {
    std::string resettable = stringField(*entry.bundle, Bundle::kResettableDeviceId);
    std::string vendor = stringField(*entry.bundle, Bundle::kIdentifierForVendor);
    if (resettable.empty() && vendor.empty()) continue;
    if (!resettable.empty()) {
      resettableDeviceID = resettable;
    } else {
      vendorDeviceID = vendor;
    }
    break;
  }
  std::vector<QZMQueuedBundle> compatible =
      filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, *queued);

  std::int64_t nowMillis = QZMMillisecondsFromSeconds(now);
  std::vector<std::string> dataControls = config->dataControls();
  std::optional<std::string> ephemeralAppInstanceID = identity ? identity->ephemeralAppInstanceID() : std::nullopt;
  bool checksum = config->checksumEnabled();
  std::shared_ptr<Bundle> reference = compatible.size() >= 2 ? compatible.front().bundle : nullptr;
  NANOObjectArray batchBundles;
  std::vector<std::int64_t> bundleIDs;
  std::int64_t largestEnd = 0;
  for (const QZMQueuedBundle& entry : compatible) {
    Bundle& bundle = *entry.bundle;
    NANOSetInt64(&bundle, Bundle::kUploadLibraryVersion, QZMIdentity::kestrometerLibraryVersion());
    NANOSetInt64(&bundle, Bundle::kUploadTimestampMillis, nowMillis);
    QZMRedactBundleFields(bundle, dataControls, ephemeralAppInstanceID);
    if (checksum) {
      // Over every other field, itself unset.
      NANOClearField(&bundle, Bundle::kChecksum);
      if (std::optional<foundation::Data> bytes = bundle.protoBuffer()) {
        NANOSetInt64(&bundle, Bundle::kChecksum, qzm_64LSBMD5(*bytes));
      }
    }
    // The first bundle that cannot share the first one's consent waits for
    // a later batch, and so do all after it.
    if (reference && entry.bundle != reference && !QZMBundlesShareConsentContext(reference.get(), &bundle)) break;
    if (NANOHasField(&bundle, Bundle::kEndTimestampMillis)) {
      largestEnd = std::max(largestEnd, NANOGetInt64(&bundle, Bundle::kEndTimestampMillis));
    }
    batchBundles.emplace_back(std::static_pointer_cast<NANOMessageBase>(entry.bundle));
    bundleIDs.push_back(entry.rowID);
  }

  auto batch = QZMPBMeasurementBatch::initWithMessageInfo(nullptr);
  std::optional<foundation::Data> payload;
  if (batch && NANOSetArray(batch.get(), QZMPBMeasurementBatch::kBundles, &batchBundles)) {
    if (std::optional<std::string> subdomain = config->uploadSubdomain(); krpx && subdomain && !subdomain->empty()) {
      NANOSetString(batch.get(), QZMPBMeasurementBatch::kUploadSubdomain, *subdomain);
    }
    payload = batch->protoBuffer();
  }
  if (!payload) {
    // Nothing is sent; the bundles stay queued for the next try.
    monitor->logWithLevel(2, 23040, "Unable to create network session.",
                          std::string("the batch could not be encoded"));
    terminateBackgroundTask();
    return;
  }
  monitor->logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data", nowMillis,
                        absl::StrCat(bundleIDs.size(), " bundles, ", payload->size(), " bytes"));

  setUploadInProgressWithBundleIDs(bundleIDs);
  // Refused (an empty batch, or an answer still outstanding): nothing is posted.
  if (bundleIDs.empty() || uploadingBundleIDs_ != bundleIDs) return;
  uploadingEventEndTimestampMsec_ = largestEnd;

  // Counted as failed until the answer says otherwise, so an upload cut
  // short by the process ending is retried as a failure.
  persistedConfig_->setLastFailedUploadTimestamp(now);
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(config->networkTimeout());
  std::string session = network_->postURL(
      target, headers, *payload, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak = weak_from_this()](const DRKHTTPURLResponse& response, const foundation::Data&,
                                const std::optional<foundation::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        self->isNetworkRequestPending_ = false;
        self->networkUploadCompletionHandlerWithResponse(response, error);
      });
  if (session.empty()) {
    // A request that was not accepted never answers: it ends here as a
    // failed upload, or no upload would ever run again.
    monitor->logWithLevel(2, 23040, "Unable to create network session.");
    isNetworkRequestPending_ = false;
    networkUploadCompletionHandlerWithResponse(DRKHTTPURLResponse(),
                                               foundation::Error(kDRKNetworkErrorDomain, 0, "Request was not sent"));
  }
}

bool QZMMeasurement::isNetworkReadyForRequest() {
  bool networkUploading = network_ && network_->hasUploadInProgress();
  if (!isNetworkRequestPending_) return !networkUploading;
  if (!networkUploading) {
    monitor()->logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
  }
  return false;
}

std::vector<QZMQueuedBundle> QZMMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
    const std::vector<QZMQueuedBundle>& bundlesToUpload) {
  if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) {
    monitor()->logWithLevel(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  bool byResettable = !resettableDeviceID.empty();
  const std::string& deviceID = byResettable ? resettableDeviceID : vendorDeviceID;
  std::int32_t field = byResettable ? Bundle::kResettableDeviceId : Bundle::kIdentifierForVendor;
  std::vector<QZMQueuedBundle> compatible;
  for (const QZMQueuedBundle& entry : bundlesToUpload) {
    std::string bundleDeviceID = stringField(*entry.bundle, field);
    if (!bundleDeviceID.empty() && !deviceID.empty() && bundleDeviceID != deviceID) break;
    if (stringField(*entry.bundle, Bundle::kAppId) != appID) break;
    compatible.push_back(entry);
  }
  return compatible;
}

void QZMMeasurement::setUploadInProgressWithBundleIDs(std::vector<std::int64_t> bundleIDs) {
  auto monitor = QZMMeasurement::monitor();
  if (bundleIDs.empty()) {
    monitor->logWithLevel(2, 23046, "Bundle list is empty. Cancelling upload");
    return;
  }
  if (!uploadingBundleIDs_.empty()) {
    monitor->logWithLevel(2, 23047, "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = std::move(bundleIDs);
}

void QZMMeasurement::networkUploadCompletionHandlerWithResponse(const DRKHTTPURLResponse& response,
                                                                const std::optional<foundation::Error>& error) {
  auto monitor = QZMMeasurement::monitor();
  std::int64_t status = response.statusCode;
  double now = foundation::now();
  if (status == kDRKNetworkHTTPStatusOK || status == kDRKNetworkHTTPStatusNoContent) {
    monitor->logWithLevel(7, 23044, "Successful upload. Got network response. Code, size", status,
                          response.expectedContentLength);
    persistedConfig_->setLastSuccessfulUploadTimestamp(now);
    persistedConfig_->setLastFailedUploadTimestamp(0);
    persistedConfig_->setLastBackoffTimestamp(0);
    // Only what the server took counts as uploaded.
    lastEventEndTimestampMsec_ = std::max(lastEventEndTimestampMsec_, uploadingEventEndTimestampMsec_);
    uploadingEventEndTimestampMsec_ = 0;
    persistedConfig_->setLastUploadedEventTimestampMillis(
        std::max(persistedConfig_->lastUploadedEventTimestampMillis(), lastEventEndTimestampMsec_));
    SKANRetryCount_ = 0;
    updateSchedule();
    if (!removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
      monitor->logWithLevel(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                            kQZMUploadSuspensionInterval);
      // Without a known uptime the suspension could never be measured, so
      // there is none.
      double suspendedAt = uptime();
      suspendedUploadTimestamp_ = suspendedAt > 0 ? suspendedAt : 0;
    } else {
      suspendedUploadTimestamp_ = 0;
    }
    uploadingBundleIDs_.clear();
    auto config = remoteConfigInstance();
    if ((network_ && network_->isNetworkConnected() && hasDataToUpload()) || (config && config->isExpired())) {
      uploadData();
    } else if (const auto& context = ODM1Context(); context && context->isPSMRequestPostponed) {
      // The lookup waited for this upload to free the request slot.
      context->isPSMRequestPostponed = false;
      retrievePSMResponse();
    } else {
      updateSchedule();
      scheduleSKANCVFetchAfterDataUpload();
    }
    return;
  }

  persistedConfig_->setLastFailedUploadTimestamp(now);
  if (status == kDRKNetworkHTTPStatusCodeUnavailable || status == kDRKNetworkHTTPStatusCodeCannotAcceptTraffic) {
    persistedConfig_->setLastBackoffTimestamp(now);
  }
  std::vector<QZMLogContext> contexts = {status};
  if (error) contexts.emplace_back(*error);
  monitor->logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error", contexts);
  incrementRetryCounter();
  uploadingBundleIDs_.clear();
  uploadingEventEndTimestampMsec_ = 0;
  updateSchedule();
}

void QZMMeasurement::incrementRetryCounter() {
  auto database = this->database();
  if (!database || uploadingBundleIDs_.empty()) return;
  if (auto raised = database->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_); !raised) {
    monitor()->logWithLevel(2, 23166, "Failed to update the bundles' retry counts. Error", raised.error());
  }
}

bool QZMMeasurement::hasDataToUpload() {
  auto database = this->database();
  if (!database) return false;
  auto monitor = QZMMeasurement::monitor();
  auto queueEmpty = database->isQueuedBundleTableEmpty();
  if (!queueEmpty) {
    monitor->logWithLevel(1, 23117, "Failed to check if queue table is empty. Error", queueEmpty.error());
    return false;
  }
  if (!*queueEmpty) return true;
  auto rawEventsEmpty = database->isRawEventsTableEmpty();
  if (!rawEventsEmpty) {
    monitor->logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error", rawEventsEmpty.error());
    return false;
  }
  return !*rawEventsEmpty;
}

bool QZMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs) {
  // Nothing was sent, so nothing is left to delete.
  if (bundleIDs.empty()) return true;
  auto database = this->database();
  foundation::Status deleted =
      database ? database->deleteBundlesWithRowIDs(bundleIDs) : foundation::Status(qzm_errorWithCode(2, "Database not open"));
  if (!deleted) {
    monitor()->logWithLevel(1, 23122, "Failed to delete bundles from database. Error", deleted.error());
    return false;
  }
  return true;
}
