// One network step of a conversion run. Steps are chained: a step that
// succeeds starts the next; one that fails is run again, whole, up to five
// times, 60 s shifted left by the retries made so far (60, 120, 240, 480,
// 960 s); after that, or when the last step succeeds, the chain's completion
// gets the outcome. Everything runs on the context's serial queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "conversion/ODCContext.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/utilities/DRKNetwork.h"

using ODCTaskChainCompletion = std::function<void(const std::optional<foundation::Error>& error)>;

inline constexpr std::int64_t kODCMaxRetries = 5;
inline constexpr double kODCFirstRetryDelay = 60;

class ODCAsyncTask : public std::enable_shared_from_this<ODCAsyncTask> {
 public:
  explicit ODCAsyncTask(std::shared_ptr<ODCContext> context);
  virtual ~ODCAsyncTask();
  ODCAsyncTask(const ODCAsyncTask&) = delete;
  ODCAsyncTask& operator=(const ODCAsyncTask&) = delete;

  const std::shared_ptr<ODCContext>& context() const { return context_; }

  // Starts a run of this step with no retries made.
  void startTaskWithCompletion(ODCTaskChainCompletion completion);
  // Sends this step's request; the base step succeeds at once.
  virtual void executeTask();
  // The one exit of every attempt: next step, retry, or end of the chain.
  void finishTaskWithError(const std::optional<foundation::Error>& error);
  // Ends the chain here, whatever steps follow.
  void finishTaskChainWithError(const std::optional<foundation::Error>& error);

  // "version=1.1&bundle_id=…&app_version=…&sdk_version=odm-sdk-i-v…&retry_count=…&odm2_count=…&source=…",
  // every value percent-encoded.
  std::string commonQueryParameters() const;
  // Error 4000 unless the status is 200 or 204.
  static std::optional<foundation::Error> checkHTTPResponse(const DRKHTTPURLResponse& response);

  std::shared_ptr<ODCAsyncTask> nextTask() const { return nextTask_; }
  void setNextTask(std::shared_ptr<ODCAsyncTask> task) { nextTask_ = std::move(task); }

  std::int64_t retryCount() const { return retryCount_; }
  // When the pending retry runs; nullopt when none is pending.
  std::optional<foundation::Deadline> pendingRetryDeadline() const;

 protected:
  using ResponseHandler = std::function<void(ODCAsyncTask& task, const DRKHTTPURLResponse& response,
                                             const foundation::Data& body,
                                             const std::optional<foundation::Error>& error)>;
  // Sends the request (a POST when there is a payload) and hands the outcome
  // to the handler on the serial queue, unless this task is gone by then. A
  // request the network refuses at once fails the attempt.
  void sendRequest(const std::string& url, const std::optional<foundation::Data>& payload, ResponseHandler handler);

 private:
  const std::shared_ptr<ODCContext> context_;
  ODCTaskChainCompletion completion_;
  std::int64_t retryCount_ = 0;
  std::shared_ptr<ODCAsyncTask> nextTask_;
  std::shared_ptr<dispatch::Timer> retryTimer_;
};
