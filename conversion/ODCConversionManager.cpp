#include "conversion/ODCConversionManager.h"

using foundation::Date;

std::shared_ptr<ODCConversionManager> ODCConversionManager::sharedInstance() {
  static auto* manager = new std::shared_ptr<ODCConversionManager>(std::make_shared<ODCConversionManager>());
  return *manager;
}

std::string ODCConversionManager::versionString() const {
  return ODCConversionService::sharedInstance()->versionString();
}

void ODCConversionManager::setFirstLaunchTime(const std::optional<Date>& date) {
  ODCConversionService::sharedInstance()->setFirstLaunchTime(date);
}

void ODCConversionManager::fetchAggregateConversionInfoForInteraction(ODCInteractionType interaction,
                                                                      ODCConversionInfoCompletion completion) {
  ODCConversionService::sharedInstance()->fetchAggregateConversionInfoForInteraction(interaction,
                                                                                     std::move(completion));
}
