// The on-device conversion component's entry point. The measurement engine
// asks it for the measurement info and the ads side (through the manager)
// for the aggregate conversion info; both are answered by the installation
// lookup, on the global queue. Public methods may be called from any thread:
// they hop to the service's serial queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "conversion/ODCConversionStore.h"
#include "conversion/ODCInstallationConversionService.h"
#include "conversion/ODCPSMClient.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/utilities/DRKNetwork.h"

using ODCInteractionType = std::int64_t;
// The only interaction served.
inline constexpr ODCInteractionType ODCInteractionTypeInstallation = 0;

inline constexpr const char* kODCConversionServiceQueueLabel = "ODCConversionService";
inline constexpr std::int64_t kODCVersionNumber = 20000;

// What callers of the service rely on.
class ODCConversionServiceProtocol {
 public:
  virtual ~ODCConversionServiceProtocol() = default;
  // A date replaces the stored first launch; nullopt changes nothing.
  virtual void setFirstLaunchTime(const std::optional<foundation::Date>& date) = 0;
  virtual void fetchAggregateConversionInfoForInteraction(ODCInteractionType interaction,
                                                          ODCConversionInfoCompletion completion) = 0;
  virtual void fetchMeasurementInfoForInteraction(ODCInteractionType interaction,
                                                  ODCConversionInfoCompletion completion) = 0;
  virtual std::string versionString() const = 0;
  virtual std::int64_t versionNumber() const = 0;
};

class ODCConversionService : public ODCConversionServiceProtocol,
                             public std::enable_shared_from_this<ODCConversionService> {
 public:
  static std::shared_ptr<ODCConversionService> sharedInstance();
  // Replaces the shared instance; nullptr makes the next call create one.
  static void setSharedInstance(std::shared_ptr<ODCConversionService> service);

  // Records the process start date, the first launch of an installation that
  // has none. Runs when the program loads; tests call it again.
  static void load();
  static foundation::Date processStartDate();

  // The store under the data home; a first launch is set from the process
  // start when none is stored.
  static std::shared_ptr<ODCConversionService> create(ODCPSMClientFactory PSMClientFactory = ODCDefaultPSMClientFactory(),
                                                      std::shared_ptr<DRKNetwork> network = nullptr);

  void setFirstLaunchTime(const std::optional<foundation::Date>& date) override;
  // An interaction other than the installation is answered with an error.
  void fetchAggregateConversionInfoForInteraction(ODCInteractionType interaction,
                                                  ODCConversionInfoCompletion completion) override;
  void fetchMeasurementInfoForInteraction(ODCInteractionType interaction,
                                          ODCConversionInfoCompletion completion) override;
  std::string versionString() const override { return kODCSDKVersion; }
  std::int64_t versionNumber() const override { return kODCVersionNumber; }

  void setFirstLaunchTimeOnWorkerQueue(const std::optional<foundation::Date>& date);
  void fetchAggregateConversionInfoOnWorkerQueueWithCompletion(ODCConversionInfoCompletion completion);
  void fetchMeasurementInfoOnWorkerQueueWithCompletion(ODCConversionInfoCompletion completion);

  const std::shared_ptr<dispatch::Queue>& serialQueue() const { return serialQueue_; }
  const std::shared_ptr<ODCConversionStore>& conversionStore() const { return conversionStore_; }
  const std::shared_ptr<ODCInstallationConversionService>& installationConversionService() const {
    return installationConversionService_;
  }

 private:
  ODCConversionService(ODCPSMClientFactory PSMClientFactory, std::shared_ptr<DRKNetwork> network);

  std::shared_ptr<dispatch::Queue> serialQueue_;
  std::shared_ptr<ODCConversionStore> conversionStore_;
  std::shared_ptr<ODCInstallationConversionService> installationConversionService_;
};
