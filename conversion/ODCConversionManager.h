// The ads side's door to the conversion service: the aggregate fetch only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "conversion/ODCConversionService.h"

class ODCConversionManager {
 public:
  static std::shared_ptr<ODCConversionManager> sharedInstance();

  std::string versionString() const;
  void setFirstLaunchTime(const std::optional<foundation::Date>& date);
  void fetchAggregateConversionInfoForInteraction(ODCInteractionType interaction,
                                                  ODCConversionInfoCompletion completion);
};
