// The measurement event as the engine handles it between the public API and
// the database: origin, name, two timestamps and typed parameters. Making an
// event checks its origin and name and cleans its parameters, so an event
// always holds valid names and typed values. Its flags (conversion,
// realtime, debug), screen and error information live in reserved "_"
// parameters. It converts to and from the QZMPBEvent message and the form
// event editing works on.
//
// Events are not locked: the engine uses them on its worker queue and hands
// another queue a copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/QZMEditEvent.h"
#include "measurement/model/QZMValue.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Object.h"

class QZMEvent {
 public:
  // nullptr when the origin (an internal name of at most 32 characters, or
  // one followed by "+qrl") or the name (public rules too when isPublic) is
  // refused. The parameters are cleaned, "_o" is set to the origin, and a
  // conversion or ad impression whose "value" and "currency" do not agree
  // loses "_c".
  static std::unique_ptr<QZMEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                  double timestamp, double previousTimestamp,
                                                  const QZMDictionary& parameters);
  static std::unique_ptr<QZMEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                  double timestamp, double previousTimestamp,
                                                  const QZMParameters& parameters);
  // The message's name, times and parameters; "_o" gives the origin (an
  // event without one is refused). Item arrays are not read back.
  static std::unique_ptr<QZMEvent> initWithEventProto(const QZMPBEvent* proto);
  // An edited event: a public name becomes its internal name, the origin is
  // the "_o" parameter when it is text, else "app".
  static std::unique_ptr<QZMEvent> eventFromEditEvent(const QZMEditEvent& editEvent);

  QZMEvent(const QZMEvent&) = delete;
  QZMEvent& operator=(const QZMEvent&) = delete;

  const QZMParameters& parameters() const { return parameters_; }
  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  // Seconds since 1970; a previous timestamp of 0 means none.
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }

  // A conversion, "ad_impression" or "_ai" needs a valid value and currency.
  bool shouldValidateParams() const;
  bool isConversion() const;
  bool isDebug() const;
  // "_r" of another type than int64 is logged (16006) and reads as NO.
  bool isRealtime() const;
  void setRealtime(bool realtime);
  void setDebug(bool debug);
  // YES sets "_c" when value and currency pass, and drops an "_err" of 10;
  // NO removes "_c" and records "_err" 10 unless an error is present.
  void setConversion(bool conversion);

  // Cleans the dictionary (no event name) and adds what survives; a
  // parameter the event has keeps its value.
  void applyParameters(const QZMDictionary& parameters, bool isPublic);
  // Adds "_si" (required, int64) with "_sc" and "_sn" (text) when the event
  // has none of them yet and all pass; answers whether it did.
  bool addScreenParameters(const QZMDictionary& parameters);

  // Copies remade through the initialiser with internal rules ("_o" reset).
  std::unique_ptr<QZMEvent> copy() const;
  std::unique_ptr<QZMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
  std::unique_ptr<QZMEvent> copyWithParameters(const QZMDictionary& parameters) const;
  std::unique_ptr<QZMEvent> copyWithParameters(const QZMParameters& parameters) const;

  // Parameters, name, time and previous time (only when set) in milliseconds.
  std::unique_ptr<QZMPBEvent> protoEvent() const;
  // The public name when it has one, the time and plain parameters.
  QZMEditEvent editEvent() const;

 private:
  QZMEvent() = default;

  QZMParameters parameters_;
  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
};

// Per-name counters that the engine keeps in the database.
class QZMEventAggregates {
 public:
  // nullopt for a name the internal rules refuse or a negative count (17000).
  static std::optional<QZMEventAggregates> initWithName(std::string name, std::int32_t lifetimeCount,
                                                        std::int32_t currentBundleCount,
                                                        std::int32_t currentSessionCount, double lastFireTimestamp);

  const std::string& name() const { return name_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  const std::optional<std::int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }

  // A count at the int32 maximum rolls over to 0 with a logged line; stored
  // counts rely on it.
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
  void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
  void setLastSampledComplexEventID(std::optional<std::int64_t> eventID) { lastSampledComplexEventID_ = eventID; }
  void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }

 private:
  QZMEventAggregates() = default;

  std::string name_;
  std::int32_t lifetimeCount_ = 0;
  std::int32_t currentBundleCount_ = 0;
  std::int32_t currentSessionCount_ = 0;
  double lastFireTimestamp_ = 0;
  double lastBundledTimestamp_ = 0;
  std::optional<std::int64_t> lastSampledComplexEventID_;
  std::int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  std::int32_t lastBundledDay_ = 0;
};
