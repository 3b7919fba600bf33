#include "conversion/ODCConversionService.h"

#include <atomic>
#include <mutex>

#include "conversion/ODCError.h"
#include "platform/foundation/Clock.h"

using foundation::Date;
using foundation::Error;

namespace {

std::atomic<double> gProcessStartDate{0};

std::mutex& sharedMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::shared_ptr<ODCConversionService>& sharedService() {
  static auto* service = new std::shared_ptr<ODCConversionService>;
  return *service;
}

// The process start is taken as the program loads.
const bool gLoaded = (ODCConversionService::load(), true);

void answerUnknownInteraction(std::int64_t code, const char* what, ODCInteractionType interaction,
                              ODCConversionInfoCompletion completion) {
  Error error = ODCErrorWithCode(code, std::string("Skipping ") + what + " fetch. Unknown ODCInteractionType value " +
                                           std::to_string(interaction) + ".");
  if (!completion) return;
  dispatch::Queue::global()->async([completion = std::move(completion), error] { completion(std::nullopt, error); });
}

}  // namespace

void ODCConversionService::load() { gProcessStartDate = foundation::now(); }

Date ODCConversionService::processStartDate() { return Date{gProcessStartDate.load()}; }

std::shared_ptr<ODCConversionService> ODCConversionService::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  auto& service = sharedService();
  if (!service) service = create();
  return service;
}

void ODCConversionService::setSharedInstance(std::shared_ptr<ODCConversionService> service) {
  std::lock_guard lock(sharedMutex());
  sharedService() = std::move(service);
}

std::shared_ptr<ODCConversionService> ODCConversionService::create(ODCPSMClientFactory PSMClientFactory,
                                                                   std::shared_ptr<DRKNetwork> network) {
  return std::shared_ptr<ODCConversionService>(new ODCConversionService(std::move(PSMClientFactory), std::move(network)));
}

ODCConversionService::ODCConversionService(ODCPSMClientFactory PSMClientFactory, std::shared_ptr<DRKNetwork> network)
    : serialQueue_(dispatch::Queue::create(kODCConversionServiceQueueLabel)),
      conversionStore_(ODCConversionStore::create()) {
  (void)gLoaded;
  if (conversionStore_ && !conversionStore_->firstLaunchTimestamp()) {
    conversionStore_->setFirstLaunchTimestamp(processStartDate());
  }
  installationConversionService_ = ODCInstallationConversionService::create(
      serialQueue_, conversionStore_, std::move(PSMClientFactory), std::move(network));
}

void ODCConversionService::setFirstLaunchTime(const std::optional<Date>& date) {
  auto self = shared_from_this();
  serialQueue_->async([self, date] { self->setFirstLaunchTimeOnWorkerQueue(date); });
}

void ODCConversionService::setFirstLaunchTimeOnWorkerQueue(const std::optional<Date>& date) {
  if (date && conversionStore_) conversionStore_->setFirstLaunchTimestamp(date);
}

void ODCConversionService::fetchAggregateConversionInfoForInteraction(ODCInteractionType interaction,
                                                                      ODCConversionInfoCompletion completion) {
  auto self = shared_from_this();
  serialQueue_->async([self, interaction, completion = std::move(completion)]() mutable {
    if (interaction != ODCInteractionTypeInstallation) {
      answerUnknownInteraction(kODCErrorUnknownAggregateInteraction, "aggregate", interaction, std::move(completion));
      return;
    }
    self->fetchAggregateConversionInfoOnWorkerQueueWithCompletion(std::move(completion));
  });
}

void ODCConversionService::fetchMeasurementInfoForInteraction(ODCInteractionType interaction,
                                                              ODCConversionInfoCompletion completion) {
  auto self = shared_from_this();
  serialQueue_->async([self, interaction, completion = std::move(completion)]() mutable {
    if (interaction != ODCInteractionTypeInstallation) {
      answerUnknownInteraction(kODCErrorUnknownMeasurementInteraction, "measurement", interaction,
                               std::move(completion));
      return;
    }
    self->fetchMeasurementInfoOnWorkerQueueWithCompletion(std::move(completion));
  });
}

void ODCConversionService::fetchAggregateConversionInfoOnWorkerQueueWithCompletion(
    ODCConversionInfoCompletion completion) {
  installationConversionService_->fetchAggregateConversionInfoWithCompletion(std::move(completion));
}

void ODCConversionService::fetchMeasurementInfoOnWorkerQueueWithCompletion(ODCConversionInfoCompletion completion) {
  installationConversionService_->fetchMeasurementInfoWithCompletion(std::move(completion));
}
