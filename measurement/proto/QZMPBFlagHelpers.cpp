#include "measurement/proto/QZMPBFlagHelpers.h"

#include <mutex>
#include <string>

#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Log.h"

namespace {

using foundation::Object;

struct Hook {
  std::mutex mutex;
  QZMPBFlagLogHook hook;
};

// Never destroyed: a worker may still make flags while the program ends.
Hook& installed() {
  static auto* h = new Hook;
  return *h;
}

void logToSystemLog(int64_t level, int64_t code, std::string_view message, const foundation::Array& contexts) {
  std::string line = "level " + std::to_string(level) + ", code " + std::to_string(code) + ": ";
  line += message;
  for (size_t i = 0; i < contexts.size(); ++i) {
    line += i == 0 ? ": " : ", ";
    line += contexts[i].isNull() ? "(nil)" : contexts[i].description();
  }
  foundation::logLine(line);
}

void report(int64_t code, std::string_view message, const foundation::Array& contexts = {}) {
  QZMPBFlagLogHook hook;
  {
    Hook& h = installed();
    std::lock_guard lock(h.mutex);
    hook = h.hook;
  }
  constexpr int64_t kLevel = 1;
  if (hook) {
    hook(kLevel, code, message, contexts);
  } else {
    logToSystemLog(kLevel, code, message, contexts);
  }
}

// The class of a value as the monitor's context: its type name, or nothing for no value.
Object typeOf(const std::optional<Object>& value) {
  return value ? Object(NANOObjectTypeName(*value)) : Object();
}

}  // namespace

QZMPBFlagLogHook QZMPBSetFlagLogHook(QZMPBFlagLogHook hook) {
  Hook& h = installed();
  std::lock_guard lock(h.mutex);
  QZMPBFlagLogHook previous = std::move(h.hook);
  h.hook = std::move(hook);
  return previous;
}

std::unique_ptr<QZMPBFlag> QZMPBFlagCreate(const std::optional<Object>& name, const std::optional<Object>& value) {
  if (!name) {
    report(850000, "Flag name must not be nil");
    return nullptr;
  }
  if (!name->isString()) {
    report(850001, "Flag name must be a string", {typeOf(name)});
    return nullptr;
  }
  if (!value || !(value->isNumber() || value->isString())) {
    report(850002, "Flag value is invalid", {typeOf(value)});
    return nullptr;
  }
  std::unique_ptr<QZMPBFlag> flag = QZMPBFlag::initWithBuffer({});
  if (flag == nullptr) return nullptr;
  bool stored = NANOSetString(flag.get(), QZMPBFlag::kName, *name->string());
  if (value->isString()) {
    stored = stored && NANOSetString(flag.get(), QZMPBFlag::kStringValue, *value->string());
  } else if (value->isFloating()) {
    stored = stored && NANOSetDouble(flag.get(), QZMPBFlag::kDoubleValue, value->doubleValue());
  } else {
    stored = stored && NANOSetInt64(flag.get(), QZMPBFlag::kIntValue, value->int64Value());
  }
  // Only a text that is not UTF-8 is refused here, and that refusal is logged.
  return stored ? std::move(flag) : nullptr;
}

std::optional<Object> QZMPBFlagGetValue(const QZMPBFlag* flag) {
  if (flag == nullptr) return std::nullopt;
  if (NANOHasField(flag, QZMPBFlag::kIntValue)) return Object(NANOGetInt64(flag, QZMPBFlag::kIntValue));
  if (NANOHasField(flag, QZMPBFlag::kDoubleValue)) return Object(NANOGetDouble(flag, QZMPBFlag::kDoubleValue));
  if (NANOHasField(flag, QZMPBFlag::kStringValue)) {
    std::optional<std::string> text = NANOGetString(flag, QZMPBFlag::kStringValue);
    if (!text) return std::nullopt;
    return Object(std::move(*text));
  }
  if (NANOHasField(flag, QZMPBFlag::kBoolValue)) return Object(NANOGetBool(flag, QZMPBFlag::kBoolValue));
  return std::nullopt;
}
