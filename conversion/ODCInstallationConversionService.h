// One installation's conversion lookup. A lookup may start within 7 days of
// the first launch and closes for good once it has run to its end (also when
// it was refused or found nothing); its results are kept for 90 days. At most
// one run at a time: callers who arrive during a run wait for its end, and
// every caller is answered from the store, on the global queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conversion/ODCCandidateFetcher.h"
#include "conversion/ODCConfigFetcher.h"
#include "conversion/ODCContext.h"
#include "conversion/ODCConversionStore.h"
#include "conversion/ODCMatchValidator.h"
#include "conversion/ODCPSMClient.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/utilities/DRKNetwork.h"

using ODCConversionInfoCompletion =
    std::function<void(const std::optional<std::string>& info, const std::optional<foundation::Error>& error)>;

inline constexpr double kODCLookupWindow = 604800;        // 7 days
inline constexpr double kODCResultLifetime = 7776000;     // 90 days

class ODCInstallationConversionService : public std::enable_shared_from_this<ODCInstallationConversionService> {
 public:
  // The network is a new one unless given.
  static std::shared_ptr<ODCInstallationConversionService> create(
      std::shared_ptr<dispatch::Queue> serialQueue, std::shared_ptr<ODCConversionStore> conversionStore,
      ODCPSMClientFactory PSMClientFactory = ODCDefaultPSMClientFactory(), std::shared_ptr<DRKNetwork> network = nullptr);
  static std::shared_ptr<DRKNetwork> network();

  // On the serial queue.
  void fetchAggregateConversionInfoWithCompletion(ODCConversionInfoCompletion completion);
  void fetchMeasurementInfoWithCompletion(ODCConversionInfoCompletion completion);

  void retrievePSMValue();
  bool shouldStartPSMMatching();
  void completePSMMatchingWithError(const std::optional<foundation::Error>& error);
  void persistPSMValue();
  void removeExpiredPSMValue();
  void notifyCompletionsWithError(const std::optional<foundation::Error>& error);
  void resetPSMMatchingMembers();

  bool isMatching() const { return isMatching_; }
  const std::shared_ptr<ODCContext>& context() const { return context_; }
  const std::shared_ptr<ODCConfigFetcher>& configFetcher() const { return configFetcher_; }
  const std::shared_ptr<ODCCandidateFetcher>& candidateFetcher() const { return candidateFetcher_; }
  const std::shared_ptr<ODCMatchValidator>& matchValidator() const { return matchValidator_; }

 private:
  ODCInstallationConversionService(std::shared_ptr<dispatch::Queue> serialQueue,
                                   std::shared_ptr<ODCConversionStore> conversionStore,
                                   ODCPSMClientFactory PSMClientFactory, std::shared_ptr<DRKNetwork> network);
  void fetchWithCompletion(ODCConversionInfoCompletion completion, bool measurement);

  std::shared_ptr<dispatch::Queue> serialQueue_;
  std::shared_ptr<ODCConversionStore> conversionStore_;
  std::shared_ptr<DRKNetwork> network_;
  std::shared_ptr<ODCContext> context_;
  std::shared_ptr<ODCConfigFetcher> configFetcher_;
  std::shared_ptr<ODCCandidateFetcher> candidateFetcher_;
  std::shared_ptr<ODCMatchValidator> matchValidator_;
  std::vector<ODCConversionInfoCompletion> aggregateConversionInfoCompletions_;
  std::vector<ODCConversionInfoCompletion> measurementInfoCompletions_;
  bool isMatching_ = false;
};
