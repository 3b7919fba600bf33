// The records in which audience definitions and their evaluation state are
// kept: event and property filters (each with its encoded filter message and
// the flags read from it) and an audience's filter results, with the bit
// words in which results record each filter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/QZMDatabase.h"
#include "platform/foundation/Object.h"

class QZMPBResultData;

// What both kinds of filter share.
class QZMAudienceFilter {
 public:
  virtual ~QZMAudienceFilter() = default;
  virtual std::int32_t audienceID() const = 0;
  virtual std::int32_t filterID() const = 0;
  virtual bool isSessionScoped() const = 0;
  virtual bool isDynamic() const = 0;
  virtual bool isSequence() const = 0;
};

// A filter over events of one (internal) name; data is the encoded
// QZMPBEventFilter.
class QZMEventFilter final : public QZMAudienceFilter {
 public:
  QZMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName, foundation::Data data,
                 bool sessionScoped, bool dynamic, bool sequence)
      : audienceID_(audienceID),
        filterID_(filterID),
        eventName_(std::move(eventName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence) {}
  // The flags come from the message; data that does not decode gives none.
  static QZMEventFilter fromStored(const QZMStoredAudienceFilter& stored);
  QZMStoredAudienceFilter stored() const;

  std::int32_t audienceID() const override { return audienceID_; }
  std::int32_t filterID() const override { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  const foundation::Data& data() const { return data_; }
  bool isSessionScoped() const override { return sessionScoped_; }
  bool isDynamic() const override { return dynamic_; }
  bool isSequence() const override { return sequence_; }

  bool operator==(const QZMEventFilter& other) const = default;

 private:
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string eventName_;
  foundation::Data data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};

// A filter over one (internal) user property; data is the encoded
// QZMPBPropertyFilter.
class QZMPropertyFilter final : public QZMAudienceFilter {
 public:
  QZMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName, foundation::Data data,
                    bool sessionScoped, bool dynamic, bool sequence)
      : audienceID_(audienceID),
        filterID_(filterID),
        propertyName_(std::move(propertyName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence) {}
  static QZMPropertyFilter fromStored(const QZMStoredAudienceFilter& stored);
  QZMStoredAudienceFilter stored() const;

  std::int32_t audienceID() const override { return audienceID_; }
  std::int32_t filterID() const override { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  const foundation::Data& data() const { return data_; }
  bool isSessionScoped() const override { return sessionScoped_; }
  bool isDynamic() const override { return dynamic_; }
  bool isSequence() const override { return sequence_; }

  bool operator==(const QZMPropertyFilter& other) const = default;

 private:
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string propertyName_;
  foundation::Data data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};

// An audience's evaluation state: the encoded QZMPBResultData of its latest
// evaluation, and the one last handed to a bundle (empty when never).
class QZMFilterResult {
 public:
  QZMFilterResult(std::int32_t audienceID, foundation::Data currentResults, foundation::Data previousResults)
      : audienceID_(audienceID),
        currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}
  static QZMFilterResult fromStored(const QZMStoredFilterResult& stored) {
    return {stored.audienceID, stored.currentResults, stored.previousResults};
  }
  QZMStoredFilterResult stored() const { return {audienceID_, currentResults_, previousResults_}; }

  std::int32_t audienceID() const { return audienceID_; }
  const foundation::Data& currentResults() const { return currentResults_; }
  const foundation::Data& previousResults() const { return previousResults_; }

  bool operator==(const QZMFilterResult& other) const = default;

 private:
  std::int32_t audienceID_;
  foundation::Data currentResults_;
  foundation::Data previousResults_;
};

// The status and result words of a QZMPBResultData: filter F owns bit F mod 64
// of word F div 64 in both. A filter counts as true only when it has been
// evaluated (status) and found true (result). The two lists keep one length.
class QZMFilterResultWords {
 public:
  // Filter IDs from 0 below this have a bit; no configuration may number its
  // filters beyond it.
  static constexpr std::int32_t kMaxFilterID = 64 * 64;

  QZMFilterResultWords() = default;
  // A missing message has no words; a word beyond the end of a list is zero.
  static QZMFilterResultWords fromResultData(const QZMPBResultData* resultData);
  // Writes the two lists into the message.
  bool writeTo(QZMPBResultData* resultData) const;

  bool isEvaluated(std::int32_t filterID) const;
  bool isTrue(std::int32_t filterID) const;
  // Records an evaluation; false (and nothing changes) for an ID without a bit.
  bool setResult(std::int32_t filterID, bool value);
  // Forgets the filter's evaluation: both bits cleared, no list grows.
  void clearResult(std::int32_t filterID);
  // Whether no filter has been evaluated.
  bool isEmpty() const;

  const std::vector<std::uint64_t>& status() const { return status_; }
  const std::vector<std::uint64_t>& results() const { return results_; }

 private:
  static bool bit(const std::vector<std::uint64_t>& words, std::int32_t filterID);

  std::vector<std::uint64_t> status_;
  std::vector<std::uint64_t> results_;
};
