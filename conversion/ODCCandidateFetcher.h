// Second step of a run: sends the membership request and turns the answer
// into the serialised matched values that the validation step sends.
#pragma once

#include <optional>
#include <string>

#include "conversion/ODCAsyncTask.h"

class ODCCandidateFetcher : public ODCAsyncTask {
 public:
  using ODCAsyncTask::ODCAsyncTask;

  // <endpoint>/odm/psm?<common query>&tfo=<first-launch minute>
  std::string PSMRequestURL() const;
  void executeTask() override;
  void handlePSMResponse(const DRKHTTPURLResponse& response, const foundation::Data& body,
                         const std::optional<foundation::Error>& error);
  // The decoded "psm_response" bytes of a response body.
  foundation::Result<std::string> PSMResponseFromData(const foundation::Data& data);
  std::optional<foundation::Error> findPSMMatchesWithData(const foundation::Data& data);
};

// The start of the minute after the first launch, in seconds since 1970: a
// launch on a whole minute still moves to the next one.
std::int64_t ODCFirstLaunchMinute(const std::optional<foundation::Date>& firstLaunch);
