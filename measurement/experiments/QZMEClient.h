// An SDK's handle on the experiments manager: it reads the SDK's flag values
// (activated, then launched, then default) and activates the snapshot the
// last fetch brought. The SDK observes new snapshots and fetch errors
// through its delegate.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/experiments/QZMEExperiment.h"
#include "measurement/experiments/QZMESDKProperty.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class QZMEClient;
class QZMEManager;

// Every method is optional: one counts as offered when its implements...
// answers true, as the platform asks whether an object responds to a method.
class QZMEExperimentObserverDelegate {
 public:
  virtual ~QZMEExperimentObserverDelegate() = default;

  virtual bool implementsClientDidReceiveNewSnapshot() const { return false; }
  // A fetched snapshot waits for the client to activate it.
  virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<QZMEClient>& /*client*/) {}

  virtual bool implementsClientDidReceiveFetchError() const { return false; }
  virtual void clientDidReceiveFetchError(const std::shared_ptr<QZMEClient>& /*client*/,
                                          const foundation::Error& /*error*/) {}

  virtual bool implementsClientDidLoadStoredSnapshots() const { return false; }
  // The snapshots an earlier run stored arrived after the client registered:
  // what it read at registration may be out of date, and a snapshot it was
  // told of but did not activate may wait.
  virtual void clientDidLoadStoredSnapshots(const std::shared_ptr<QZMEClient>& /*client*/) {}

  virtual bool implementsShouldFetchExperimentsForClient() const { return false; }
  virtual bool shouldFetchExperimentsForClient(const std::shared_ptr<QZMEClient>& /*client*/) { return true; }

  // Where new-snapshot and loaded-snapshot notices arrive; nullptr for the
  // main queue.
  virtual std::shared_ptr<dispatch::Queue> queue() const { return nullptr; }
};

class QZMEClient : public std::enable_shared_from_this<QZMEClient> {
 public:
  // nullptr, logged, without a property or without default flags.
  static std::shared_ptr<QZMEClient> initWithSDKProperty(std::shared_ptr<QZMESDKProperty> property,
                                                         std::optional<std::vector<QZMEFlag>> defaultFlags,
                                                         std::weak_ptr<QZMEManager> withManager);

  // The flag's value in force; nullopt when none (an empty name is logged).
  std::optional<foundation::Object> valueForFlag(std::string_view flagName) const;
  // The same for a key of any kind; a key that is no string is logged.
  std::optional<foundation::Object> objectForKeyedSubscript(const foundation::Object& key) const;
  // true once activated; false without an error when nothing waits (or the
  // manager is gone); an error for a bad SDK name.
  foundation::Result<bool> activateLatestSnapshot();
  // The activated snapshot is older than three days.
  bool hasStaleSnapshot() const;
  void resetToDefaults();

  std::string SDKName() const { return property_->name(); }
  const std::vector<QZMEFlag>& defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<QZMESDKProperty>& SDKProperty() const { return property_; }
  std::shared_ptr<QZMEExperimentObserverDelegate> delegate() const;
  void setDelegate(std::weak_ptr<QZMEExperimentObserverDelegate> delegate);

  QZMEClient(std::shared_ptr<QZMESDKProperty> property, std::vector<QZMEFlag> defaultFlags,
             std::weak_ptr<QZMEManager> manager);

 private:
  const std::shared_ptr<QZMESDKProperty> property_;
  const std::vector<QZMEFlag> defaultFlags_;
  const std::weak_ptr<QZMEManager> manager_;
  mutable std::mutex mutex_;
  std::weak_ptr<QZMEExperimentObserverDelegate> delegate_;
};
