// Last step of a run: sends the matched values for validation and keeps the
// two results the server answers.
#pragma once

#include <optional>
#include <string>

#include "conversion/ODCAsyncTask.h"

class ODCMatchValidator : public ODCAsyncTask {
 public:
  using ODCAsyncTask::ODCAsyncTask;

  // <endpoint>/odm/validate?<common query>
  std::string validationRequestURL() const;
  void executeTask() override;
  void handleValidateResponse(const DRKHTTPURLResponse& response, const foundation::Data& body,
                              const std::optional<foundation::Error>& error);
  // Both results or neither.
  std::optional<foundation::Error> storeValidatedPSMValue(const foundation::Data& data);
};
