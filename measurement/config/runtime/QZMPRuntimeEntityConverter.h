// Conversions at the runtime's edges: program entities (QZMPBRuntimeEntity
// trees from the configuration) into values, and host objects into values
// and back. Programs come from a server, so every conversion is bounded in
// depth, and a value that contains itself is refused where it would have to
// be written out whole.
#pragma once

#include <string>

#include <absl/container/flat_hash_map.h>

#include "measurement/config/runtime/QZMPRuntimeValue.h"
#include "platform/foundation/Object.h"

class QZMPBRuntimeEntity;
class QZMPMapValue;
class QZMPScope;
struct NANOMessageInfo;

// Entity nesting a program may have, as deep as evaluation goes; deeper
// trees set code 19.
inline constexpr int kQZMPMaxEntityDepth = 1000;

class QZMPRuntimeEntityConverter {
 public:
  // Entity types: 1 string (tag 4), 2 number (tag 6), 3 Boolean (tag 5),
  // 4 statement (tag 3 names it, tag 2 holds its arguments). An absent
  // literal reads as the empty string, NaN or false; any other type sets
  // code 12, a statement without a name code 14. Nothing is evaluated.
  static QZMPRuntimeValue runtimeValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity, QZMPError& error);
  static QZMPRuntimeValue stringValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity);
  static QZMPRuntimeValue numberValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity);
  static QZMPRuntimeValue booleanValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity);
  static QZMPRuntimeValue statementValueFromRuntimeEntity(const QZMPBRuntimeEntity& entity, QZMPError& error);

  // Host objects: null gives null, Booleans the Boolean values, other
  // numbers number values, strings string values, dictionaries and arrays
  // new maps and arrays tracked in the scope's runtime, which is charged
  // for the entries and texts made. Data and dates set code 13.
  static QZMPRuntimeValue runtimeValueFromNSObject(const foundation::Object& object, QZMPScope& scope,
                                                   QZMPError& error);
  // Values as host objects: null gives none (a null object), undefined the
  // empty string, maps dictionaries and arrays arrays (null elements and
  // properties left out, holes as empty strings). Any other value becomes a
  // floating number when its number conversion is not NaN, else its string;
  // empty and blank strings stay strings. A map or array found inside
  // itself sets code 19. With a scope, the scope's runtime is charged for
  // the entries and texts written out.
  static foundation::Object objectFromRuntimeValue(const QZMPRuntimeValue& value, QZMPError& error);
  static foundation::Object objectFromRuntimeValue(const QZMPRuntimeValue& value, QZMPScope& scope,
                                                   QZMPError& error);
  static foundation::Dictionary dictionaryFromMapValue(const QZMPMapValue& map, QZMPError& error);
  static foundation::Dictionary dictionaryFromMapValue(const QZMPMapValue& map, QZMPScope& scope, QZMPError& error);

  // A converter for many entities of one program, which share the string
  // objects of equal literals and names.
  QZMPRuntimeValue convert(const QZMPBRuntimeEntity& entity, QZMPError& error);

 private:
  QZMPRuntimeValue convertRecord(const NANOMessageInfo* record, int depth, QZMPError& error);
  QZMPRuntimeValue statementFromRecord(const NANOMessageInfo* record, int depth, QZMPError& error);
  QZMPRef<QZMPStringValue> text(const void* string);

  absl::flat_hash_map<std::string, QZMPRef<QZMPStringValue>> interned_;
};
