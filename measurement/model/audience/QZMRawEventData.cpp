#include "measurement/model/audience/QZMRawEventData.h"

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

using foundation::Object;
using foundation::Result;
using foundation::Status;

namespace {

using Param = QZMPBEventParam;

const Object* columnOf(const QZMDatabase::Record& row, std::string_view column) {
  auto found = row.find(column);
  return found == row.end() || found->second.isNull() ? nullptr : &found->second;
}

std::vector<std::shared_ptr<Param>> childrenOf(const NANOMessageBase* message, std::int32_t field) {
  return NANOGetArray<Param>(message, field).value_or(std::vector<std::shared_ptr<Param>>{});
}

// One parameter as name -> value; nested (an item's or its children's)
// parameters may be unnamed, and an item gathers its named children.
Result<QZMDictionary> parameterDictionary(const Param* param, bool nested) {
  if (!param) return qzm_errorWithCode(1, "Failed to parse empty event params data");
  if (!nested && !NANOHasField(param, Param::kName)) return qzm_errorWithCode(1, "Event parameter name is empty");
  const std::string name = NANOGetString(param, Param::kName).value_or("");
  const auto children = childrenOf(param, Param::kParamValue);

  if (NANOHasField(param, Param::kStringValue)) {
    auto text = NANOGetString(param, Param::kStringValue);
    auto value = text ? QZMValue::initWithString(*text) : std::nullopt;
    if (!value) return qzm_errorWithCode(2, "Failed to parse invalid event params data");
    return QZMDictionary{{name, *value}};
  }
  if (NANOHasField(param, Param::kIntValue))
    return QZMDictionary{{name, QZMValue::initWithInt64(NANOGetInt64(param, Param::kIntValue))}};
  if (NANOHasField(param, Param::kDoubleValue))
    return QZMDictionary{{name, QZMValue::initWithDouble(NANOGetDouble(param, Param::kDoubleValue))}};
  if (children.empty()) return qzm_errorWithCode(2, "Failed to parse invalid event params data");

  if (!nested) {
    QZMArray items;
    for (const auto& item : children) {
      auto converted = parameterDictionary(item.get(), true);
      if (!converted) continue;
      // A plain value without a name is no item.
      if (converted->size() == 1 && converted->begin()->first.empty() && converted->begin()->second.value()) continue;
      items.emplace_back(std::move(*converted));
    }
    return QZMDictionary{{name, QZMValue::initWithArray(std::move(items))}};
  }
  QZMDictionary item;
  for (const auto& child : children) {
    auto converted = parameterDictionary(child.get(), true);
    if (!converted || converted->empty()) continue;
    const std::string childName = NANOGetString(child.get(), Param::kName).value_or("");
    if (converted->begin()->first == childName) item.insert_or_assign(childName, converted->begin()->second);
  }
  return item;
}

}  // namespace

std::optional<QZMRawEventData> QZMRawEventData::initWithRawEvent(std::shared_ptr<const QZMEvent> rawEvent,
                                                                 std::int64_t rowID,
                                                                 std::int64_t metadataFingerprint) {
  if (!rawEvent) {
    QZMMeasurementBase::monitor()->logWithLevel(4, 28000,
                                                "Failed to create raw event data. Received invalid raw event.");
    return std::nullopt;
  }
  if (rowID < 0) {
    QZMMeasurementBase::monitor()->logWithLevel(
        4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID", rowID);
    return std::nullopt;
  }
  return QZMRawEventData(std::move(rawEvent), rowID, metadataFingerprint);
}

Result<QZMRawEventData> QZMRawEventDataFromDictionary(const QZMDatabase::Record& row) {
  if (row.empty()) return qzm_errorWithCode(1, "Received empty dictionary for getting raw event data");
  const Object* rowID = columnOf(row, "rowid");
  if (!rowID) return qzm_errorWithCode(1, "Unable to find row ID in the database dictionary");
  const Object* data = columnOf(row, "data");
  if (!data) return qzm_errorWithCode(1, "Unable to find event data in the database dictionary");
  const Object* fingerprint = columnOf(row, "metadata_fingerprint");
  if (!fingerprint) return qzm_errorWithCode(1, "Unable to find event metadata in the database dictionary");
  std::unique_ptr<QZMPBEvent> message = data->data() ? QZMPBEvent::initWithBuffer(*data->data()) : nullptr;
  if (!message) return qzm_errorWithCode(3, "Failed to parse event from data");

  const Object* nameColumn = columnOf(row, "name");
  const std::string name = nameColumn && nameColumn->string() ? *nameColumn->string() : "";
  const Object* timestampColumn = columnOf(row, "timestamp");
  const double timestamp = timestampColumn ? timestampColumn->doubleValue() : 0;
  const double previousTimestamp =
      static_cast<double>(NANOGetInt64(message.get(), QZMPBEvent::kPreviousTimestampMillis)) / 1000.0;

  std::optional<std::string> origin;
  QZMDictionary parameters;
  for (const auto& param : childrenOf(message.get(), QZMPBEvent::kParams)) {
    if (NANOGetString(param.get(), Param::kName) == "_o") {
      if (!NANOHasField(param.get(), Param::kStringValue))
        return qzm_errorWithCode(2, "Cannot create an event from database. Origin parameter is not a string");
      origin = NANOGetString(param.get(), Param::kStringValue);
      continue;
    }
    auto converted = parameterDictionary(param.get(), false);
    const std::string paramName = NANOGetString(param.get(), Param::kName).value_or("");
    if (!converted || !converted->count(paramName)) {
      return qzm_errorWithCode(2, "Failed to parse event params from data");
    }
    auto entry = converted->find(paramName);
    parameters.insert_or_assign(paramName, entry->second);
  }
  if (!origin || origin->empty())
    return qzm_errorWithCode(2, "Cannot create an event from database. Missing origin parameter");

  std::shared_ptr<const QZMEvent> event =
      QZMEvent::initWithOrigin(*origin, false, name, timestamp, previousTimestamp, parameters);
  auto rawEventData =
      QZMRawEventData::initWithRawEvent(std::move(event), rowID->int64Value(), fingerprint->int64Value());
  if (!rawEventData) return qzm_errorWithCode(2, "Failed to initialize raw event data from dictionary");
  return *rawEventData;
}

Status QZMInsertRawEvent(QZMDatabase& database, const QZMEvent* event, std::int64_t metadataFingerprint,
                         bool isRealtime) {
  if (!event) return qzm_errorWithCode(1, "Received empty event for inserting in the database");
  auto message = event->protoEvent();
  return database.insertRawEvent(event->name(), event->timestamp(), message.get(), metadataFingerprint, isRealtime);
}

Status QZMUpdateRawEvent(QZMDatabase& database, const QZMRawEventData& rawEventData) {
  const QZMEvent& event = *rawEventData.rawEvent();
  auto message = event.protoEvent();
  return database.updateRawEvent(rawEventData.rowID(), event.name(), event.timestamp(), message.get(),
                                 rawEventData.metadataFingerprint(), event.isRealtime());
}
