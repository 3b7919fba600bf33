// The fetch schedule, the request and the handling of the answer.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/experiments/QZMEExperimentRequestBuilder.h"
#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/experiments/QZMETaskManager.h"
#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Clock.h"
#include "platform/utilities/Endpoints.h"
#include "platform/utilities/Gzip.h"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// An answer holds a snapshot for each SDK that registered, a handful; one
// with more is not read, as reading costs for every item.
constexpr std::size_t kMaxSnapshotsPerAnswer = 1000;

// The items of a message list; none when the list cannot be read.
template <class M>
std::vector<std::shared_ptr<M>> itemsOf(const NANOMessageBase* message, std::int32_t field) {
  return NANOGetArray<M>(message, field).value_or(std::vector<std::shared_ptr<M>>());
}

foundation::Error fetchStatusError(const std::string& SDKName, std::uint32_t status) {
  std::int64_t code = status == 1 ? -2 : status == 2 ? -3 : status == 3 ? -4 : -1;
  return foundation::Error(kQZMEErrorDomain, code,
                           "The experiments server refused SDK " + SDKName + " with status " + std::to_string(status));
}

}  // namespace

double QZMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp,
                                                             double lastFailedTimestamp) {
  double now = foundation::now();
  // A success stamped in the future (the clock was set back) counts as now
  // less the same distance.
  double base = now - std::fabs(lastSuccessfulTimestamp - now);
  double next = base + kQZMEFetchInterval;
  if (!hasMadeInitialFetch_.exchange(true)) return std::max(next, now + kQZMEFirstFetchDelay);
  if (lastFailedTimestamp <= 0) return next;
  double t = base != 0 ? next : initializationTimestamp_;
  double interval = kQZMEFirstRetryInterval;
  for (int retry = 0; retry < kQZMEMaxRetries; ++retry, interval *= 2) {
    t += interval;
    if (t > lastFailedTimestamp) return t;
  }
  return 0;
}

void QZMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  if (!QZMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue")) return;
  auto monitor = QZMEMonitor::shared();
  double t = fetchTimeFromLastSuccessfulTimestamp(persistedStorage_->doubleForKey(kQZMEFetchSuccessTimestampKey),
                                                  persistedStorage_->doubleForKey(kQZMEFetchFailureTimestampKey));
  if (std::fabs(t) < kEpsilon) {
    persistedStorage_->removeObjectForKey(kQZMEFetchSuccessTimestampKey);
    monitor->logWithLevel(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  double now = foundation::now();
  if (auto armed = alarm_->scheduledTimestamp();
      armed && armed->secondsSince1970 != 0 && armed->secondsSince1970 <= t) {
    monitor->logWithLevel(8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
                          armed->secondsSince1970 - now);
    return;
  }
  double backoff = persistedStorage_->doubleForKey(kQZMEFetchBackoffTimestampKey);
  if (std::fabs(backoff) >= kEpsilon && now - backoff < kQZMEBackoffInterval) {
    t = std::max(t, backoff + kQZMEBackoffInterval);
  }
  double delay = t - now;
  if (delay < 0 || std::fabs(delay) < kEpsilon) delay = 0.001;
  alarm_->runAfterDelay(delay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->fetchStep();
  });
}

void QZMETaskManager::fetchStep() {
  auto delegate = this->delegate();
  if (delegate && !delegate->taskManagerShouldFetchExperiments(*this)) {
    postponeFetchExperiments();
  } else {
    fetchExperiments();
  }
}

void QZMETaskManager::postponeFetchExperiments() {
  persistedStorage_->setDouble(foundation::now(), kQZMEFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kQZMEFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kQZMEFetchBackoffTimestampKey);
  scheduleFetchingExperimentsOnWorkerQueue();
}

void QZMETaskManager::fetchExperiments() {
  std::uint64_t fetch = ++fetchNumber_;
  fetchInFlight_ = true;
  if (fetchTimeout_) fetchTimeout_->cancel();

  std::unique_ptr<QZMPBExperimentRequest> request = QZMEExperimentRequestBuilder::sharedInstance()->request();
  std::optional<foundation::Data> bytes = request ? request->protoBuffer() : std::nullopt;
  if (!bytes) {
    finishFetch(fetch, {}, {}, qzm_errorWithCode(1, "Cannot encode the experiments request"));
    return;
  }
  QZMEMonitor::shared()->logWithLevel(
      8, 820001, "Fetching new experiments. Request",
      QZMLogContext::describing("QZMPBExperimentRequest of " + std::to_string(bytes->size()) + " bytes"));
  auto body = drk_dataByGzippingData(*bytes);
  if (!body) {
    finishFetch(fetch, {}, {}, body.error());
    return;
  }

  std::weak_ptr<QZMETaskManager> weak = weak_from_this();
  // The network's own time limit runs on the real clock; this one follows the
  // SDK's clock, so a fetch that never answers is always given up.
  fetchTimeout_ = workerQueue_->asyncAfter(kQZMEFetchTimeout, [weak, fetch] {
    if (auto self = weak.lock()) {
      self->finishFetch(fetch, {}, {}, qzm_errorWithCode(3, "The experiments server did not answer in time"));
    }
  });
  std::string url = utilities::Endpoints::baseURL(utilities::kEndpointExperiments) + kQZMEFetchPath;
  DRKHTTPHeaders headers{{"Content-Encoding", "gzip"}, {"Content-Type", "application/x-protobuf"}};
  std::string session =
      network_->postURL(url, headers, *body, workerQueue_, false,
                        [weak, fetch](const DRKHTTPURLResponse& response, const foundation::Data& data,
                                      const std::optional<foundation::Error>& error) {
                          if (auto self = weak.lock()) self->finishFetch(fetch, response, data, error);
                        });
  if (session.empty()) {
    finishFetch(fetch, {}, {}, qzm_errorWithCode(1, "The experiments request was refused: " + url));
  }
}

void QZMETaskManager::finishFetch(std::uint64_t fetch, const DRKHTTPURLResponse& response, const foundation::Data& body,
                                  const std::optional<foundation::Error>& error) {
  if (fetch != fetchNumber_ || !fetchInFlight_) return;
  fetchInFlight_ = false;
  if (fetchTimeout_) {
    fetchTimeout_->cancel();
    fetchTimeout_.reset();
  }
  std::optional<foundation::Data> data;
  if (!body.empty()) {
    auto inflated = drk_dataByInflatingGzippedData(body);
    if (inflated) {
      data = std::move(*inflated);
    } else {
      QZMEMonitor::shared()->logWithLevel(2, 820023, "Cannot inflate downloaded experiment data. Error",
                                          inflated.error());
    }
  }
  handleFetchingExperimentsResponse(response, data, error);
}

void QZMETaskManager::handleFetchingExperimentsResponse(const DRKHTTPURLResponse& response,
                                                        const std::optional<foundation::Data>& data,
                                                        const std::optional<foundation::Error>& error) {
  auto monitor = QZMEMonitor::shared();
  double now = foundation::now();
  std::int64_t status = response.statusCode;
  if (status != kDRKNetworkHTTPStatusOK && status != kDRKNetworkHTTPStatusNoContent) {
    persistedStorage_->setDouble(now, kQZMEFetchFailureTimestampKey);
    if (status == kDRKNetworkHTTPStatusCodeUnavailable || status == kDRKNetworkHTTPStatusCodeCannotAcceptTraffic) {
      persistedStorage_->setDouble(now, kQZMEFetchBackoffTimestampKey);
    }
    monitor->logWithLevel(1, 820002, "Network fetch failed. Will retry later. Code, error", status,
                          error ? QZMLogContext(*error) : QZMLogContext());
    scheduleFetchingExperimentsOnWorkerQueue();
    return;
  }

  // No body reads as an empty answer; bytes that do not decode as none.
  std::unique_ptr<QZMPBExperimentResponse> answer = QZMPBExperimentResponse::initWithBuffer(
      data ? std::span<const std::uint8_t>(*data) : std::span<const std::uint8_t>());
  if (answer) {
    std::size_t items = std::max(NANOGetArrayCount(answer.get(), QZMPBExperimentResponse::kSnapshots).value_or(0),
                                 NANOGetArrayCount(answer.get(), QZMPBExperimentResponse::kSdkResponses).value_or(0));
    if (items > kMaxSnapshotsPerAnswer) {
      monitor->logWithLevel(2, 820029, "Experiment answer has too many snapshots. It will not be used. Count",
                            static_cast<std::int64_t>(items));
      answer.reset();
    }
  }
  monitor->logWithLevel(8, 820003, "Successful fetch. Got network response. Code, data", status,
                        static_cast<std::int64_t>(data ? data->size() : 0));
  persistedStorage_->setDouble(now, kQZMEFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kQZMEFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kQZMEFetchBackoffTimestampKey);

  std::optional<std::vector<QZMESnapshot>> snapshots = experimentSnapshotsFromExperimentResponse(answer.get());
  std::optional<QZMESnapshotErrors> errors = errorsFromExperimentResponse(answer.get());
  if (snapshots) {
    // Stored rows of a name no one registered would be activated at every
    // start and never expire.
    auto builder = QZMEExperimentRequestBuilder::sharedInstance();
    std::size_t answered = snapshots->size();
    std::erase_if(*snapshots, [&](const QZMESnapshot& snapshot) { return !builder->hasSDKName(snapshot.SDKName()); });
    if (snapshots->size() != answered) {
      monitor->logWithLevel(2, 820028, "Dropped snapshots of SDKs that are not registered. Count",
                            static_cast<std::int64_t>(answered - snapshots->size()));
    }
  }
  if (snapshots && !snapshots->empty()) {
    auto database = openDatabase();
    foundation::Status stored =
        database ? (*database)->upsertPendingExperimentSnapshots(*snapshots) : foundation::Status(database.error());
    if (!stored) {
      monitor->logWithLevel(1, 820022, "Cannot upsert pending snapshots. Error, snapshots", stored.error(),
                            static_cast<std::int64_t>(snapshots->size()));
    }
  }
  if (auto delegate = this->delegate()) {
    delegate->taskManagerDidFinishFetching(*this, std::move(snapshots), std::move(errors));
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<std::vector<QZMESnapshot>> QZMETaskManager::experimentSnapshotsFromExperimentResponse(
    const QZMPBExperimentResponse* response) {
  auto monitor = QZMEMonitor::shared();
  if (!response) {
    monitor->logWithLevel(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  std::vector<std::shared_ptr<QZMPBSnapshot>> messages =
      itemsOf<QZMPBSnapshot>(response, QZMPBExperimentResponse::kSnapshots);
  if (messages.empty()) {
    auto answers = itemsOf<QZMPBSdkResponse>(response, QZMPBExperimentResponse::kSdkResponses);
    for (const auto& answer : answers) {
      std::shared_ptr<QZMPBSnapshot> snapshot =
          NANOGetMessage<QZMPBSnapshot>(answer.get(), QZMPBSdkResponse::kSnapshot);
      if (!snapshot) continue;
      std::optional<std::string> name = NANOGetString(answer.get(), QZMPBSdkResponse::kSdkName);
      if (name && !name->empty()) NANOSetString(snapshot.get(), QZMPBSnapshot::kSdkName, *name);
      messages.push_back(std::move(snapshot));
    }
  }
  std::vector<QZMESnapshot> snapshots;
  for (const auto& message : messages) {
    if (std::optional<QZMESnapshot> snapshot = QZMESnapshot::initWithProtobuf(*message)) {
      snapshots.push_back(std::move(*snapshot));
    } else {
      monitor->logWithLevel(2, 820016, "Cannot create a snapshot from the proto");
    }
  }
  return snapshots;
}

std::optional<QZMESnapshotErrors> QZMETaskManager::errorsFromExperimentResponse(
    const QZMPBExperimentResponse* response) {
  if (!response) return std::nullopt;
  auto answers = itemsOf<QZMPBSdkResponse>(response, QZMPBExperimentResponse::kSdkResponses);
  if (answers.empty()) return std::nullopt;
  QZMESnapshotErrors errors;
  for (const auto& answer : answers) {
    auto status = static_cast<std::uint32_t>(NANOGetInt32(answer.get(), QZMPBSdkResponse::kStatus));
    std::optional<std::string> name = NANOGetString(answer.get(), QZMPBSdkResponse::kSdkName);
    if (status == 0 || !name || name->empty()) continue;
    errors.insert_or_assign(*name, fetchStatusError(*name, status));
  }
  return errors;
}

std::optional<std::vector<QZMESnapshot>> QZMETaskManager::experimentSnapshotsFromData(const foundation::Data& data) {
  if (data.empty()) {
    QZMEMonitor::shared()->logWithLevel(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  std::unique_ptr<QZMPBExperimentResponse> response = QZMPBExperimentResponse::initWithBuffer(data);
  return experimentSnapshotsFromExperimentResponse(response.get());
}
