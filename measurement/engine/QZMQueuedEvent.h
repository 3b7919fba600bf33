// An event accepted from the facade and waiting for the worker queue. A busy
// disk can leave many such events queued, so each is kept small: its texts
// and parameters are packed into one buffer and unpacked on the worker queue,
// exactly as they were given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/model/QZMValue.h"

class QZMQueuedEvent {
 public:
  QZMQueuedEvent(std::string_view origin, bool isPublicEvent, std::string_view name, const QZMDictionary& parameters,
                 double timestamp, bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                 QZMLogEventInterceptor interceptor, const QZMDictionary& addedScreenParameters);

  std::string origin() const;
  std::string name() const;
  QZMDictionary parameters() const;
  QZMDictionary addedScreenParameters() const;
  double timestamp() const { return timestamp_; }
  bool isPublicEvent() const { return flags_ & kPublic; }
  bool enabled() const { return flags_ & kEnabled; }
  bool ignoreEnabled() const { return flags_ & kIgnoreEnabled; }
  bool ignoreInterceptor() const { return flags_ & kIgnoreInterceptor; }
  // Empty when none was given.
  const QZMLogEventInterceptor& interceptor() const;
  // The bytes the packed texts and parameters take.
  std::size_t packedSize() const { return packed_.size(); }

 private:
  enum Flag : std::uint8_t { kPublic = 1, kEnabled = 2, kIgnoreEnabled = 4, kIgnoreInterceptor = 8 };

  double timestamp_;
  std::uint32_t originEnd_ = 0;
  std::uint32_t nameEnd_ = 0;
  std::uint32_t parametersEnd_ = 0;
  std::uint8_t flags_ = 0;
  // Origin, name, parameters, screen parameters, one after the other.
  std::string packed_;
  // Rarely set: kept out of line so that an event without one pays a pointer.
  std::unique_ptr<QZMLogEventInterceptor> interceptor_;
};

// A dictionary packed into bytes and back, every kind and nesting kept.
void QZMPackDictionary(const QZMDictionary& dictionary, std::string& out);
// nullopt when the bytes were not made by QZMPackDictionary.
std::optional<QZMDictionary> QZMUnpackDictionary(std::string_view packed);
