// The state the three tasks of a conversion run share: the network, the
// serial queue, the store, the app's identity, and what each task hands the
// next (client, request, payloads, results). Touched only on the serial queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "conversion/ODCConversionStore.h"
#include "conversion/ODCPSMClient.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/utilities/DRKNetwork.h"

inline constexpr const char* kODCSDKVersion = "2.0.0";

class ODCContext {
 public:
  // The factory makes the membership client of each run.
  ODCContext(std::shared_ptr<DRKNetwork> network, std::shared_ptr<dispatch::Queue> serialQueue,
             std::shared_ptr<ODCConversionStore> conversionStore,
             ODCPSMClientFactory PSMClientFactory = ODCDefaultPSMClientFactory());

  const std::shared_ptr<DRKNetwork>& network() const { return network_; }
  const std::shared_ptr<dispatch::Queue>& serialQueue() const { return serialQueue_; }
  // nullptr when the component has no store.
  const std::shared_ptr<ODCConversionStore>& conversionStore() const { return conversionStore_; }
  const ODCPSMClientFactory& PSMClientFactory() const { return PSMClientFactory_; }
  const std::string& SDKVersion() const { return SDKVersion_; }
  const std::string& bundleID() const { return bundleID_; }
  const std::string& appVersion() const { return appVersion_; }

  // The context owns the client; a new one (or nullptr) destroys the old.
  ODCPSMClient* PSMClient() const { return PSMClient_.get(); }
  void setPSMClient(std::unique_ptr<ODCPSMClient> client) { PSMClient_ = std::move(client); }

  // Which consumer the run serves: measurement info (true) or aggregate
  // conversion info (false).
  bool isSourceQVZ4F() const { return isSourceQVZ4F_; }
  void setIsSourceQVZ4F(bool value) { isSourceQVZ4F_ = value; }

  const std::optional<std::string>& extensionData() const { return extensionData_; }
  void setExtensionData(std::optional<std::string> value) { extensionData_ = std::move(value); }
  const std::optional<std::string>& PSMRequest() const { return PSMRequest_; }
  void setPSMRequest(std::optional<std::string> value) { PSMRequest_ = std::move(value); }
  const std::optional<foundation::Data>& candidateRequestPayload() const { return candidateRequestPayload_; }
  void setCandidateRequestPayload(std::optional<foundation::Data> value) { candidateRequestPayload_ = std::move(value); }
  const std::optional<foundation::Data>& matchRequestPayload() const { return matchRequestPayload_; }
  void setMatchRequestPayload(std::optional<foundation::Data> value) { matchRequestPayload_ = std::move(value); }
  const std::optional<std::string>& aggregateConversionInfo() const { return aggregateConversionInfo_; }
  void setAggregateConversionInfo(std::optional<std::string> value) { aggregateConversionInfo_ = std::move(value); }
  const std::optional<std::string>& measurementInfo() const { return measurementInfo_; }
  void setMeasurementInfo(std::optional<std::string> value) { measurementInfo_ = std::move(value); }

 private:
  std::unique_ptr<ODCPSMClient> PSMClient_;
  bool isSourceQVZ4F_ = true;
  const std::shared_ptr<DRKNetwork> network_;
  const std::shared_ptr<dispatch::Queue> serialQueue_;
  const std::shared_ptr<ODCConversionStore> conversionStore_;
  const ODCPSMClientFactory PSMClientFactory_;
  const std::string SDKVersion_;
  const std::string bundleID_;
  const std::string appVersion_;
  std::optional<std::string> extensionData_;
  std::optional<std::string> PSMRequest_;
  std::optional<foundation::Data> candidateRequestPayload_;
  std::optional<foundation::Data> matchRequestPayload_;
  std::optional<std::string> aggregateConversionInfo_;
  std::optional<std::string> measurementInfo_;
};
