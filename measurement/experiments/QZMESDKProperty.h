// What an SDK tells the experiments server about itself: its name, version,
// app ID, diversion key and custom properties. The owner may change it at
// any time; the request builder reads it on the experiments worker queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/proto/generated/QZMPBMessages.h"

class QZMESDKProperty;

class QZMESDKPropertyProviderDelegate {
 public:
  virtual ~QZMESDKPropertyProviderDelegate() = default;
  // Whether the delegate offers dynamic custom properties at all.
  virtual bool implementsDynamicCustomProperties() const { return false; }
  // Merged over the property's own custom properties at each request.
  virtual std::map<std::string, std::string> dynamicCustomPropertiesForSDKProperty(const QZMESDKProperty&) {
    return {};
  }
};

class QZMESDKProperty {
 public:
  using CustomProperties = std::map<std::string, std::string>;
  // Answers the installation's diversion key (five characters), kept by the
  // identity; the SDK installs it at start.
  using DiversionKeyProvider = std::function<std::optional<std::string>()>;

  static std::shared_ptr<QZMESDKProperty> initWithName(std::string name);

  const std::string& name() const { return name_; }
  std::int64_t version() const;
  void setVersion(std::int64_t version);
  std::optional<std::string> appID() const;
  void setAppID(std::optional<std::string> appID);
  std::optional<std::string> diversionKey() const;
  void setDiversionKey(std::optional<std::string> diversionKey);
  CustomProperties customProperties() const;
  void setCustomProperties(CustomProperties customProperties);
  std::shared_ptr<QZMESDKPropertyProviderDelegate> delegate() const;
  void setDelegate(std::weak_ptr<QZMESDKPropertyProviderDelegate> delegate);

  // The client property of a request; nullptr, logged, when neither the
  // property nor the identity has a diversion key.
  std::unique_ptr<QZMPBClientProperty> proto() const;

  // Where a property without its own key gets one; none makes such
  // properties stay out of requests.
  static void setIdentityDiversionKeyProvider(DiversionKeyProvider provider);

  explicit QZMESDKProperty(std::string name) : name_(std::move(name)) {}

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::int64_t version_ = 0;
  std::optional<std::string> appID_;
  std::optional<std::string> diversionKey_;
  CustomProperties customProperties_;
  std::weak_ptr<QZMESDKPropertyProviderDelegate> delegate_;
};
