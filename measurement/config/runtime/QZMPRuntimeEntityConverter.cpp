#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"

#include <cmath>
#include <cstdint>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/QZMPValueInternals.h"
#include "measurement/proto/NANOMessageInfo.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

enum EntityType : std::uint32_t { kStringEntity = 1, kNumberEntity = 2, kBooleanEntity = 3, kStatementEntity = 4 };

const void* slot(const NANOMessageInfo* record, int field) {
  return record != nullptr ? record->fields[field] : nullptr;
}

QZMPRuntimeValue numberOf(const NANOMessageInfo* record) {
  const void* cell = slot(record, QZMPBRuntimeEntity::kNumberValue);
  return QZMPRuntimeValue::number(cell ? NANOCellDouble(cell) : NAN);
}

QZMPRuntimeValue booleanOf(const NANOMessageInfo* record) {
  const void* cell = slot(record, QZMPBRuntimeEntity::kBooleanValue);
  return QZMPRuntimeValue::boolean(cell && NANOCellBool(cell));
}

// A map's entry: its name and value, and its share of the index.
constexpr std::size_t kMapEntryBytes = 2 * sizeof(QZMPRuntimeValue) + 4 * sizeof(std::uint32_t);

// Every entry taken across the host boundary, either way, makes an object
// or two: an instruction apiece, a few free, and a container large enough
// to need fresh memory pays for it too (`entryBytes` each). Charged before
// the work, which does not start once the charge spends the budget.
bool chargeEntries(QZMPRuntime* runtime, std::size_t entries, std::size_t entryBytes, QZMPError& error) {
  if (runtime == nullptr || entries < kQZMPElementsPerInstruction) return true;
  return runtime->chargeInstructions(entries + QZMPFreshMemoryInstructions(entries * entryBytes), error);
}

QZMPRuntime* runtimeOf(const QZMPScope* scope) { return scope ? scope->runtime() : nullptr; }

QZMPRuntimeValue hostToValue(const foundation::Object& object, QZMPScope& scope, int depth, QZMPError& error) {
  if (depth >= kQZMPMaxConversionDepth) {
    error.set(QZMPGlintErrorTooDeep);
    return QZMPRuntimeValue();
  }
  switch (object.kind()) {
    case foundation::Object::Kind::null:
      return QZMPRuntimeValue::null();
    case foundation::Object::Kind::boolean:
      return QZMPRuntimeValue::boolean(object.boolValue());
    case foundation::Object::Kind::integer:
    case foundation::Object::Kind::floating:
      return QZMPRuntimeValue::number(object.doubleValue());
    case foundation::Object::Kind::string:
      QZMPChargeTextWork(scope, object.string()->size());
      return QZMPRuntimeValue::stringFromUTF8(*object.string());
    case foundation::Object::Kind::dictionary: {
      if (!chargeEntries(runtimeOf(&scope), object.dictionary()->size(), kMapEntryBytes, error)) return QZMPRuntimeValue();
      QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(scope);
      for (const auto& [key, item] : *object.dictionary()) {
        QZMPRuntimeValue value = hostToValue(item, scope, depth + 1, error);
        if (error) return QZMPRuntimeValue();
        map->setValue(std::move(value), *QZMPStringValue::withUTF8(key));
      }
      return map;
    }
    case foundation::Object::Kind::array: {
      if (!chargeEntries(runtimeOf(&scope), object.array()->size(), sizeof(QZMPRuntimeValue), error)) return QZMPRuntimeValue();
      std::vector<QZMPRuntimeValue> elements;
      elements.reserve(object.array()->size());
      for (const foundation::Object& item : *object.array()) {
        elements.push_back(hostToValue(item, scope, depth + 1, error));
        if (error) return QZMPRuntimeValue();
      }
      return QZMPObjectManager::arrayValueWithArray(elements, scope);
    }
    case foundation::Object::Kind::data:
    case foundation::Object::Kind::date:
      break;
  }
  error.set(QZMPGlintErrorHostObjectKind);
  return QZMPRuntimeValue();
}

// Writing values out is charged to the runtime of the scope, when one is
// given.
foundation::Object valueToHost(const QZMPRuntimeValue& value, int depth, QZMPScope* scope, QZMPError& error);

foundation::Dictionary mapToHost(const QZMPMapValue& map, int depth, QZMPScope* scope, QZMPError& error) {
  foundation::Dictionary dictionary;
  if (depth >= kQZMPMaxConversionDepth || !map.beginVisit()) {
    error.set(QZMPGlintErrorTooDeep);
    return dictionary;
  }
  if (!chargeEntries(runtimeOf(scope), map.propertyMap().count(), sizeof(foundation::Dictionary::value_type), error)) {
    map.endVisit();
    return dictionary;
  }
  map.propertyMap().forEach([&](const QZMPStringValue& name, const QZMPRuntimeValue& item) {
    if (error || item.isNull()) return;
    foundation::Object object = valueToHost(item, depth + 1, scope, error);
    if (!error) dictionary[name.utf8()] = std::move(object);
  });
  map.endVisit();
  if (error) dictionary.clear();
  return dictionary;
}

foundation::Object valueToHost(const QZMPRuntimeValue& value, int depth, QZMPScope* scope, QZMPError& error) {
  if (scope != nullptr && value.isString()) QZMPChargeTextWork(*scope, value.asString()->length());
  switch (value.kind()) {
    case QZMPValueKind::null:
      return foundation::Object();
    case QZMPValueKind::undefined:
    case QZMPValueKind::hole:
      return foundation::Object(std::string());
    case QZMPValueKind::map:
      return foundation::Object(mapToHost(*value.asMap(), depth, scope, error));
    case QZMPValueKind::array: {
      const QZMPArrayValue& array = *value.asArray();
      if (depth >= kQZMPMaxConversionDepth || !array.beginVisit()) {
        error.set(QZMPGlintErrorTooDeep);
        return foundation::Object();
      }
      foundation::Array elements;
      if (chargeEntries(runtimeOf(scope), array.count(), sizeof(foundation::Object), error)) elements.reserve(array.count());
      for (std::size_t i = 0; i < array.count() && !error; ++i) {
        const QZMPRuntimeValue& slot = array.slotAt(i);
        if (!slot.isNull()) elements.push_back(valueToHost(slot, depth + 1, scope, error));
      }
      array.endVisit();
      if (error) return foundation::Object();
      return foundation::Object(std::move(elements));
    }
    case QZMPValueKind::string:
      // Blank text would read as 0; it stays text.
      if (value.asString()->isBlank()) return foundation::Object(value.asString()->utf8());
      break;
    default:
      break;
  }
  const double number = value.doubleValueOrError(error);
  if (error) return foundation::Object();
  if (!std::isnan(number)) return foundation::Object(number);
  const QZMPRef<QZMPStringValue> text = value.stringValueOrError(error);
  if (error) return foundation::Object();
  return foundation::Object(text->utf8());
}

}  // namespace

QZMPRef<QZMPStringValue> QZMPRuntimeEntityConverter::text(const void* slotValue) {
  const auto* string = static_cast<const NANOString*>(slotValue);
  if (string == nullptr) return QZMPStringValue::empty();
  const std::string_view bytes(reinterpret_cast<const char*>(string->data), string->length);
  auto found = interned_.find(absl::string_view(bytes.data(), bytes.size()));
  if (found != interned_.end()) return found->second;
  QZMPRef<QZMPStringValue> value = QZMPStringValue::withUTF8(bytes);
  interned_.emplace(std::string(bytes), value);
  return value;
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::convertRecord(const NANOMessageInfo* record, int depth,
                                                           QZMPError& error) {
  const void* type = slot(record, QZMPBRuntimeEntity::kType);
  switch (type ? NANOCellUInt32(type) : 0) {
    case kStringEntity:
      return text(slot(record, QZMPBRuntimeEntity::kStringValue));
    case kNumberEntity:
      return numberOf(record);
    case kBooleanEntity:
      return booleanOf(record);
    case kStatementEntity:
      return statementFromRecord(record, depth, error);
    default:
      error.set(QZMPGlintErrorEntityType);
      return QZMPRuntimeValue();
  }
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::statementFromRecord(const NANOMessageInfo* record, int depth,
                                                                 QZMPError& error) {
  if (depth > kQZMPMaxEntityDepth) {
    error.set(QZMPGlintErrorTooDeep);
    return QZMPRuntimeValue();
  }
  const void* name = slot(record, QZMPBRuntimeEntity::kFunctionName);
  if (name == nullptr) {
    error.set(QZMPGlintErrorNoCommandName);
    return QZMPRuntimeValue();
  }
  std::vector<QZMPRuntimeValue> arguments;
  if (const auto* list = static_cast<const NANOArray*>(slot(record, QZMPBRuntimeEntity::kValue))) {
    arguments.reserve(list->count);
    for (std::uint32_t i = 0; i < list->count; ++i) {
      arguments.push_back(convertRecord(static_cast<const NANOMessageInfo*>(list->items[i]), depth + 1, error));
      if (error) return QZMPRuntimeValue();
    }
  }
  return QZMPStatementValue::withFunctionName(text(name), std::move(arguments));
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::convert(const QZMPBRuntimeEntity& entity, QZMPError& error) {
  QZMPRuntimeValue value = convertRecord(entity.messageInfo(), 1, error);
  return error ? QZMPRuntimeValue() : value;
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity,
                                                                           QZMPError& error) {
  QZMPRuntimeEntityConverter converter;
  return converter.convert(entity, error);
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity) {
  QZMPRuntimeEntityConverter converter;
  return converter.text(slot(entity.messageInfo(), QZMPBRuntimeEntity::kStringValue));
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity) {
  return numberOf(entity.messageInfo());
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity) {
  return booleanOf(entity.messageInfo());
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity,
                                                                             QZMPError& error) {
  QZMPRuntimeEntityConverter converter;
  QZMPRuntimeValue value = converter.statementFromRecord(entity.messageInfo(), 1, error);
  return error ? QZMPRuntimeValue() : value;
}

QZMPRuntimeValue QZMPRuntimeEntityConverter::runtimeValueFromNSObject(const foundation::Object& object,
                                                                      QZMPScope& scope, QZMPError& error) {
  QZMPRuntimeValue value = hostToValue(object, scope, 0, error);
  return error ? QZMPRuntimeValue() : value;
}

foundation::Object QZMPRuntimeEntityConverter::objectFromRuntimeValue(const QZMPRuntimeValue& value,
                                                                     QZMPError& error) {
  foundation::Object object = valueToHost(value, 0, nullptr, error);
  if (error) return foundation::Object();
  return object;  // moved out: a conditional expression would copy the whole tree
}

foundation::Object QZMPRuntimeEntityConverter::objectFromRuntimeValue(const QZMPRuntimeValue& value,
                                                                     QZMPScope& scope, QZMPError& error) {
  foundation::Object object = valueToHost(value, 0, &scope, error);
  if (error) return foundation::Object();
  return object;  // moved out: a conditional expression would copy the whole tree
}

foundation::Dictionary QZMPRuntimeEntityConverter::dictionaryFromMapValue(const QZMPMapValue& map, QZMPError& error) {
  return mapToHost(map, 0, nullptr, error);
}

foundation::Dictionary QZMPRuntimeEntityConverter::dictionaryFromMapValue(const QZMPMapValue& map, QZMPScope& scope,
                                                                          QZMPError& error) {
  return mapToHost(map, 0, &scope, error);
}
