#include "conversion/ODCAsyncTask.h"

#include "conversion/ODCError.h"
#include "platform/foundation/URL.h"

ODCAsyncTask::ODCAsyncTask(std::shared_ptr<ODCContext> context) : context_(std::move(context)) {}

ODCAsyncTask::~ODCAsyncTask() {
  if (retryTimer_) retryTimer_->cancel();
}

void ODCAsyncTask::startTaskWithCompletion(ODCTaskChainCompletion completion) {
  // A retry left from an earlier run must not run beside this one.
  if (retryTimer_) retryTimer_->cancel();
  retryTimer_ = nullptr;
  completion_ = std::move(completion);
  retryCount_ = 0;
  executeTask();
}

void ODCAsyncTask::executeTask() { finishTaskWithError(std::nullopt); }

void ODCAsyncTask::finishTaskWithError(const std::optional<foundation::Error>& error) {
  if (!error && nextTask_) {
    nextTask_->startTaskWithCompletion(completion_);
    return;
  }
  if (error && retryCount_ < kODCMaxRetries) {
    double delay = kODCFirstRetryDelay * static_cast<double>(std::int64_t{1} << retryCount_);
    std::weak_ptr<ODCAsyncTask> weakSelf = weak_from_this();
    retryTimer_ = context_->serialQueue()->asyncAfter(delay, [weakSelf] {
      if (auto self = weakSelf.lock()) {
        self->retryTimer_ = nullptr;
        self->executeTask();
      }
    });
    ++retryCount_;
    return;
  }
  finishTaskChainWithError(error);
}

void ODCAsyncTask::finishTaskChainWithError(const std::optional<foundation::Error>& error) {
  // The block may start a new run that replaces it.
  ODCTaskChainCompletion completion = completion_;
  if (completion) completion(error);
}

std::string ODCAsyncTask::commonQueryParameters() const {
  std::optional<std::int64_t> storedCount;
  if (const auto& store = context_->conversionStore()) storedCount = store->odm2RetryCount();
  return foundation::queryString({
      {"version", "1.1"},
      {"bundle_id", context_->bundleID()},
      {"app_version", context_->appVersion()},
      {"sdk_version", "odm-sdk-i-v" + context_->SDKVersion()},
      {"retry_count", std::to_string(retryCount_)},
      {"odm2_count", std::to_string(storedCount.value_or(0))},
      {"source", context_->isSourceQVZ4F() ? "qvz4f" : "aaps"},
  });
}

std::optional<foundation::Error> ODCAsyncTask::checkHTTPResponse(const DRKHTTPURLResponse& response) {
  if (response.statusCode == kDRKNetworkHTTPStatusOK || response.statusCode == kDRKNetworkHTTPStatusNoContent) {
    return std::nullopt;
  }
  return ODCErrorWithCode(kODCErrorHTTPStatus, "HTTP status code is not OK or NO_CONTENT.");
}

std::optional<foundation::Deadline> ODCAsyncTask::pendingRetryDeadline() const {
  if (!retryTimer_ || retryTimer_->isCancelled() || retryTimer_->hasFired()) return std::nullopt;
  return retryTimer_->deadline();
}

void ODCAsyncTask::sendRequest(const std::string& url, const std::optional<foundation::Data>& payload,
                               ResponseHandler handler) {
  std::weak_ptr<ODCAsyncTask> weakSelf = weak_from_this();
  auto completion = [weakSelf, handler = std::move(handler)](const DRKHTTPURLResponse& response,
                                                             const foundation::Data& body,
                                                             const std::optional<foundation::Error>& error) {
    if (auto self = weakSelf.lock()) handler(*self, response, body, error);
  };
  const auto& network = context_->network();
  std::string session;
  if (network) {
    session = payload ? network->postURL(url, {}, *payload, context_->serialQueue(), false, std::move(completion))
                      : network->getURL(url, {}, context_->serialQueue(), false, std::move(completion));
  }
  // No session means no completion will ever come: this attempt has failed.
  if (session.empty()) finishTaskWithError(ODCErrorWithCode(kODCErrorRequestNotAccepted, "Request was not sent: " + url));
}
