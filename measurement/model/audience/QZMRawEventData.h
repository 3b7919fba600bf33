// A stored raw event as it is read back for bundling: the event, the row it
// lives in and the key of the metadata it shares, with the conversions
// between events and "raw_events" rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMEvent.h"
#include "platform/foundation/Error.h"

class QZMRawEventData {
 public:
  // nullopt (logged) without an event or for a negative row ID; row ID 0 is
  // an event that is not stored.
  static std::optional<QZMRawEventData> initWithRawEvent(std::shared_ptr<const QZMEvent> rawEvent,
                                                         std::int64_t rowID, std::int64_t metadataFingerprint);

  const std::shared_ptr<const QZMEvent>& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  QZMRawEventData(std::shared_ptr<const QZMEvent> rawEvent, std::int64_t rowID, std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  std::shared_ptr<const QZMEvent> rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};

// One "raw_events" row (with its "rowid") as an event: the name from its
// column, the origin from the "_o" parameter, never public. An array
// parameter becomes an array of dictionaries, one per item; an item with a
// plain value and no name has nowhere to go and is left out.
foundation::Result<QZMRawEventData> QZMRawEventDataFromDictionary(const QZMDatabase::Record& row);

// Stores the event in a new row.
foundation::Status QZMInsertRawEvent(QZMDatabase& database, const QZMEvent* event, std::int64_t metadataFingerprint,
                                     bool isRealtime);
// Rewrites the row of the data with its event, whose flag gives "is_realtime".
foundation::Status QZMUpdateRawEvent(QZMDatabase& database, const QZMRawEventData& rawEventData);
