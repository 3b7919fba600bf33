// First step of a run: fetches the membership configuration, makes the
// membership client and its request, and prepares the candidate request body.
// An empty configuration ends the run at once, successfully and without
// results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "conversion/ODCAsyncTask.h"

class ODCConfigFetcher : public ODCAsyncTask {
 public:
  using ODCAsyncTask::ODCAsyncTask;

  // <endpoint>/odm/config?<common query>
  std::string configRequestURL() const;
  void executeTask() override;
  // No count stored gives 0; otherwise one more than stored.
  void updateODM2RetryCount();
  void handlePSMConfigResponse(const DRKHTTPURLResponse& response, const foundation::Data& body,
                               const std::optional<foundation::Error>& error);
  std::optional<foundation::Error> parsePSMConfigData(const foundation::Data& data);
  std::optional<foundation::Error> createPSMRequestWithData(const foundation::Data& data);
  void finishWithoutConversionInfoAndMeasurementInfo();

  const std::string& matchingID() const { return matchingID_; }
  const std::string& bucketizedDate() const { return bucketizedDate_; }
  std::int32_t prefixLength() const { return prefixLength_; }
  const std::optional<std::string>& extensionData() const { return extensionData_; }

 private:
  std::string matchingID_;
  std::string bucketizedDate_;
  std::int32_t prefixLength_ = 0;
  std::optional<std::string> extensionData_;
};
