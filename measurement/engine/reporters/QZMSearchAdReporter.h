// Finds out once per installation whether the app was installed from a
// search ad in the app store and, when it was, logs the campaign event
// "_cmp" (source "Apple", medium "search"). The platform's attribution token
// is posted to the search-ads attribution service at most once a day and at
// most ten times over the installation's life, until the service gives an
// answer; the answer is kept in the persisted settings, so a later launch
// asks nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/store/AdServices.h"
#include "platform/utilities/DRKNetwork.h"

class QZMAlarm;
class QZMPersistedConfig;

inline constexpr const char* kQZMSearchAdReporterAlarmName = "Search Ad campaign report alarm";
inline constexpr const char* kQZMSearchAdAttributionPath = "/api/v1/";
// Attempts over the installation's life, and the pause between two.
inline constexpr std::int64_t kQZMSearchAdMaxRetries = 10;
inline constexpr double kQZMSearchAdRetryInterval = 86400;
inline constexpr double kQZMSearchAdRequestTimeout = 10;
// What the service answers to a test token; never a real attribution.
inline constexpr const char* kQZMSearchAdTestIdentifier = "1234567890";

class QZMSearchAdReporter : public std::enable_shared_from_this<QZMSearchAdReporter> {
 public:
  // nullptr without a queue or settings (logged), after ten attempts, or
  // once the answer is known (logged).
  static std::shared_ptr<QZMSearchAdReporter> initWithWorkerQueue(std::shared_ptr<dispatch::Queue> workerQueue,
                                                                   std::shared_ptr<QZMPersistedConfig> persistedConfig);
  ~QZMSearchAdReporter();

  // Worker queue, as every method below: schedules the first attempt when
  // the platform offers attribution tokens.
  void start();
  void setSearchAdReporterEnabled(bool enabled);
  bool isSearchAdReporterEnabled() const;

  // Arms the alarm for the next attempt, a day after the last one; stops
  // for good once the answer is known or the attempts are spent.
  void scheduleSearchAdReport();
  // The alarm fired: one attempt, then the next one is scheduled.
  void maybeLogIAdCampaignEvent();
  // Counts the attempt and asks the platform for a token to post.
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  // Keeps the service's answer (the first one only) and logs the campaign
  // event when the installation was attributed.
  void logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign, const std::string& term);
  // Stops the alarm and drops it: nothing is scheduled again.
  void cancelScheduling();

  // The platform's attribution service; nullptr when it has none.
  static std::shared_ptr<store::AAAttribution> adClientInstance();
  // nullptr once scheduling was cancelled.
  std::shared_ptr<QZMAlarm> searchAdReporterAlarm() const;

  struct Token {};
  QZMSearchAdReporter(Token, std::shared_ptr<dispatch::Queue> workerQueue,
                      std::shared_ptr<QZMPersistedConfig> persistedConfig);

 private:
  void handleAttributionResponse(const DRKHTTPURLResponse& response, const foundation::Data& body,
                                 const std::optional<foundation::Error>& error);

  const std::shared_ptr<dispatch::Queue> workerQueue_;
  const std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  // The reporter's own connection, so a request in flight ends with it.
  const std::shared_ptr<DRKNetwork> network_;
  // Read by the alarm's blocks and the engine's switch on other threads.
  mutable std::mutex mutex_;
  std::shared_ptr<QZMAlarm> alarm_;
  bool enabled_ = false;
  // Makes reading and storing the campaign value one step, so only one
  // "_cmp" is ever logged.
  std::mutex campaignMutex_;
};
