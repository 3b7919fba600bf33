#include "conversion/ODCInstallationConversionService.h"

#include "conversion/ODCError.h"
#include "platform/foundation/Clock.h"

using foundation::Date;
using foundation::Error;

std::shared_ptr<ODCInstallationConversionService> ODCInstallationConversionService::create(
    std::shared_ptr<dispatch::Queue> serialQueue, std::shared_ptr<ODCConversionStore> conversionStore,
    ODCPSMClientFactory PSMClientFactory, std::shared_ptr<DRKNetwork> network) {
  if (!network) network = ODCInstallationConversionService::network();
  return std::shared_ptr<ODCInstallationConversionService>(new ODCInstallationConversionService(
      std::move(serialQueue), std::move(conversionStore), std::move(PSMClientFactory), std::move(network)));
}

std::shared_ptr<DRKNetwork> ODCInstallationConversionService::network() { return std::make_shared<DRKNetwork>(); }

ODCInstallationConversionService::ODCInstallationConversionService(std::shared_ptr<dispatch::Queue> serialQueue,
                                                                   std::shared_ptr<ODCConversionStore> conversionStore,
                                                                   ODCPSMClientFactory PSMClientFactory,
                                                                   std::shared_ptr<DRKNetwork> network)
    : serialQueue_(std::move(serialQueue)),
      conversionStore_(std::move(conversionStore)),
      network_(std::move(network)),
      context_(std::make_shared<ODCContext>(network_, serialQueue_, conversionStore_, std::move(PSMClientFactory))),
      configFetcher_(std::make_shared<ODCConfigFetcher>(context_)),
      candidateFetcher_(std::make_shared<ODCCandidateFetcher>(context_)),
      matchValidator_(std::make_shared<ODCMatchValidator>(context_)) {
  configFetcher_->setNextTask(candidateFetcher_);
  candidateFetcher_->setNextTask(matchValidator_);
}

void ODCInstallationConversionService::fetchAggregateConversionInfoWithCompletion(
    ODCConversionInfoCompletion completion) {
  fetchWithCompletion(std::move(completion), false);
}

void ODCInstallationConversionService::fetchMeasurementInfoWithCompletion(ODCConversionInfoCompletion completion) {
  fetchWithCompletion(std::move(completion), true);
}

void ODCInstallationConversionService::fetchWithCompletion(ODCConversionInfoCompletion completion, bool measurement) {
  if (completion) {
    (measurement ? measurementInfoCompletions_ : aggregateConversionInfoCompletions_).push_back(std::move(completion));
  }
  // A run in progress keeps the source it started with.
  if (!isMatching_) context_->setIsSourceQVZ4F(measurement);
  retrievePSMValue();
}

void ODCInstallationConversionService::retrievePSMValue() {
  if (isMatching_) return;
  if (shouldStartPSMMatching()) {
    isMatching_ = true;
    std::weak_ptr<ODCInstallationConversionService> weakSelf = weak_from_this();
    configFetcher_->startTaskWithCompletion([weakSelf](const std::optional<Error>& error) {
      if (auto self = weakSelf.lock()) self->completePSMMatchingWithError(error);
    });
    return;
  }
  completePSMMatchingWithError(std::nullopt);
}

bool ODCInstallationConversionService::shouldStartPSMMatching() {
  if (conversionStore_ && conversionStore_->matchFoundTimestamp()) {
    ODCLogDebug(kODCLogMatchAlreadyFound, "Skipping aggregate fetch. Match already found.");
    return false;
  }
  std::optional<Date> firstLaunch = conversionStore_ ? conversionStore_->firstLaunchTimestamp() : std::nullopt;
  if (!firstLaunch) {
    ODCLogDebug(kODCLogNoFirstLaunch, "Skipping aggregate fetch. No first launch timestamp found.");
    return false;
  }
  if (foundation::now() - firstLaunch->secondsSince1970 < kODCLookupWindow) return true;
  ODCLogDebug(kODCLogFirstLaunchTooOld, "Skipping aggregate fetch. First launch timestamp is too old.");
  return false;
}

void ODCInstallationConversionService::completePSMMatchingWithError(const std::optional<Error>& error) {
  if (!error) persistPSMValue();
  removeExpiredPSMValue();
  notifyCompletionsWithError(error);
  resetPSMMatchingMembers();
}

void ODCInstallationConversionService::persistPSMValue() {
  if (!conversionStore_) return;
  if (conversionStore_->matchFoundTimestamp()) {
    ODCLogDebug(kODCLogPSMValuesAlreadyStored, "Skip persisting PSM values. Already stored.");
    return;
  }
  conversionStore_->setMatchFoundTimestamp(Date{foundation::now()});
  conversionStore_->setAggregateConversionInfo(context_->aggregateConversionInfo());
  conversionStore_->setMeasurementInfo(context_->measurementInfo());
}

void ODCInstallationConversionService::removeExpiredPSMValue() {
  if (!conversionStore_) return;
  if (!conversionStore_->aggregateConversionInfo() && !conversionStore_->measurementInfo()) return;
  std::optional<Date> matchFound = conversionStore_->matchFoundTimestamp();
  if (matchFound && foundation::now() - matchFound->secondsSince1970 <= kODCResultLifetime) return;
  conversionStore_->setAggregateConversionInfo(std::nullopt);
  conversionStore_->setMeasurementInfo(std::nullopt);
}

void ODCInstallationConversionService::notifyCompletionsWithError(const std::optional<Error>& error) {
  std::optional<std::string> aggregateInfo = conversionStore_ ? conversionStore_->aggregateConversionInfo() : std::nullopt;
  std::vector<ODCConversionInfoCompletion> aggregateCompletions;
  aggregateCompletions.swap(aggregateConversionInfoCompletions_);
  std::optional<std::string> measurementInfo = conversionStore_ ? conversionStore_->measurementInfo() : std::nullopt;
  std::vector<ODCConversionInfoCompletion> measurementCompletions;
  measurementCompletions.swap(measurementInfoCompletions_);
  if (aggregateCompletions.empty() && measurementCompletions.empty()) return;
  dispatch::Queue::global()->async([aggregateInfo, aggregateCompletions = std::move(aggregateCompletions),
                                    measurementInfo, measurementCompletions = std::move(measurementCompletions),
                                    error] {
    for (const auto& completion : aggregateCompletions) completion(aggregateInfo, error);
    for (const auto& completion : measurementCompletions) completion(measurementInfo, error);
  });
}

void ODCInstallationConversionService::resetPSMMatchingMembers() {
  context_->setPSMClient(nullptr);
  context_->setPSMRequest(std::nullopt);
  context_->setExtensionData(std::nullopt);
  context_->setCandidateRequestPayload(std::nullopt);
  context_->setMatchRequestPayload(std::nullopt);
  context_->setAggregateConversionInfo(std::nullopt);
  context_->setMeasurementInfo(std::nullopt);
  isMatching_ = false;
}
