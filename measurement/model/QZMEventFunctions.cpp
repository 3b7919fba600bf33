#include "measurement/model/QZMEventFunctions.h"

#include <mutex>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Strings.h"

namespace {

void logInvalidValue(std::string_view eventName, std::string_view paramName) {
  QZMMeasurementBase::monitor()->logWithLevel(2, 16005, "Invalid event param value. Event name, param name",
                                              QZMEventNameForLogging(eventName),
                                              QZMParameterNameForLogging(paramName));
}

std::unique_ptr<QZMPBEventParam> newParam() { return QZMPBEventParam::initWithMessageInfo(nullptr); }

struct ProviderSlot {
  std::mutex mutex;
  QZMScreenParametersProvider provider;
};

ProviderSlot& providerSlot() {
  static auto* slot = new ProviderSlot;
  return *slot;
}

QZMDictionary currentScreenParameters() {
  QZMScreenParametersProvider provider;
  {
    ProviderSlot& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    provider = slot.provider;
  }
  return provider ? provider() : QZMDictionary{};
}

}  // namespace

// ---- Conversions ----

std::vector<std::shared_ptr<QZMPBEventParam>> QZMEventParamMessagesFromParameters(const QZMDictionary& parameters,
                                                                                  std::string_view eventName,
                                                                                  bool isNested) {
  std::vector<std::shared_ptr<QZMPBEventParam>> messages;
  for (const auto& [name, object] : parameters) {
    const QZMValue* value = object.value();
    if (value == nullptr) {
      logInvalidValue(eventName, name);
      continue;
    }
    std::shared_ptr<QZMPBEventParam> message = newParam();
    if (!message) continue;
    if (value->isArray() && value->arrayValue() != nullptr) {
      if (isNested) {
        QZMMeasurementBase::monitor()->logWithLevel(2, 16007,
                                                    "Nested params cannot have more than 1 level. Event name, "
                                                    "param name",
                                                    QZMEventNameForLogging(eventName),
                                                    QZMParameterNameForLogging(name));
        continue;
      }
      NANOObjectArray items;
      for (const QZMObject& element : *value->arrayValue()) {
        const QZMDictionary* entries = element.dictionary();
        if (entries == nullptr) {
          logInvalidValue(eventName, name);
          continue;
        }
        std::shared_ptr<QZMPBEventParam> item = newParam();
        if (!item) continue;
        NANOObjectArray children;
        for (auto& child : QZMEventParamMessagesFromParameters(*entries, eventName, true)) children.emplace_back(child);
        NANOSetArray(item.get(), QZMPBEventParam::kParamValue, &children);
        items.emplace_back(std::move(item));
      }
      NANOSetString(message.get(), QZMPBEventParam::kName, name);
      NANOSetArray(message.get(), QZMPBEventParam::kParamValue, &items);
      messages.push_back(std::move(message));
      continue;
    }
    NANOSetString(message.get(), QZMPBEventParam::kName, name);
    const std::string* text = value->stringValue();
    if (value->isDouble() && std::holds_alternative<double>(value->storage())) {
      NANOSetDouble(message.get(), QZMPBEventParam::kDoubleValue, value->doubleValue());
    } else if (value->isInt64() && std::holds_alternative<std::int64_t>(value->storage())) {
      NANOSetInt64(message.get(), QZMPBEventParam::kIntValue, value->int64Value());
    } else if (text != nullptr && foundation::isValidUTF8(*text)) {
      NANOSetString(message.get(), QZMPBEventParam::kStringValue, *text);
    } else {
      logInvalidValue(eventName, name);
      continue;
    }
    messages.push_back(std::move(message));
  }
  return messages;
}

std::vector<std::shared_ptr<QZMPBEventParam>> QZMEventParamMessagesFromParameters(const QZMParameters& parameters,
                                                                                  std::string_view eventName,
                                                                                  bool isNested) {
  return QZMEventParamMessagesFromParameters(QZMDictionaryFromParameters(parameters), eventName, isNested);
}

foundation::Dictionary QZMEventParametersForEditing(const QZMDictionary& parameters, bool isNested) {
  foundation::Dictionary plain;
  for (const auto& [name, object] : parameters) {
    const QZMValue* value = object.value();
    if (value == nullptr) continue;
    if (value->isDouble()) {
      plain.emplace(name, value->doubleValue());
    } else if (value->isInt64()) {
      plain.emplace(name, value->int64Value());
    } else if (const std::string* text = value->stringValue()) {
      plain.emplace(name, *text);
    } else if (const QZMArray* elements = value->arrayValue(); elements && !isNested) {
      foundation::Array items;
      for (const QZMObject& element : *elements) {
        if (const QZMDictionary* entries = element.dictionary()) {
          items.emplace_back(QZMEventParametersForEditing(*entries, true));
        }
      }
      plain.emplace(name, std::move(items));
    }
  }
  return plain;
}

foundation::Dictionary QZMEventParametersForEditing(const QZMParameters& parameters, bool isNested) {
  return QZMEventParametersForEditing(QZMDictionaryFromParameters(parameters), isNested);
}

bool QZMEventParamsContainName(const std::vector<std::shared_ptr<QZMPBEventParam>>& params, std::string_view name) {
  for (const auto& param : params) {
    if (NANOGetString(param.get(), QZMPBEventParam::kName) == name) {
      QZMMeasurementBase::monitor()->logWithLevel(4, 23156, "Event parameter already exists. Parameter name",
                                                  QZMParameterNameForLogging(name));
      return true;
    }
  }
  return false;
}

// ---- Classification ----

bool QZMIsErrorEvent(const QZMEvent* event) {
  if (event == nullptr || event->name().empty()) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 18004, "Cannot check the event name. Name is empty");
    return false;
  }
  return event->name() == "_err";
}

bool QZMIsNonErrorEventName(std::string_view name) { return name != "_err"; }

bool QZMIsSubscriptionEvent(const QZMEvent* event) {
  if (event == nullptr) return false;
  const std::string& name = event->name();
  if (name == "_assc" || name == "_assr") return true;
  if (name != "_iap") return false;
  auto subscription = event->parameters().find("subscription");
  return subscription != event->parameters().end() && subscription->second.isInt64() &&
         subscription->second.int64Value() == 1;
}

bool QZMIsDefaultConversionEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" || name == "refund";
}

bool QZMIsPurchaseEventName(std::string_view name) {
  return name == "_iap" || name == "purchase" || name == "ecommerce_purchase";
}

std::int64_t QZMEventArrayItemCount(const QZMEvent* event) {
  if (event == nullptr) return 0;
  std::int64_t count = 0;
  for (const auto& entry : event->parameters()) {
    if (const QZMArray* items = entry.second.arrayValue()) count += static_cast<std::int64_t>(items->size());
  }
  return count;
}

// ---- Session start ----

QZMScreenParametersProvider QZMSetScreenParametersProvider(QZMScreenParametersProvider provider) {
  ProviderSlot& slot = providerSlot();
  std::lock_guard lock(slot.mutex);
  std::swap(slot.provider, provider);
  return provider;
}

std::unique_ptr<QZMEvent> QZMSessionStartEvent(const QZMObject& sessionNumber, bool appInBackground,
                                               double timestamp) {
  QZMDictionary parameters;
  // The session ID is the start time in whole seconds.
  parameters.emplace("_sid", QZMValue::initWithInt64(foundation::Object(timestamp).int64Value()));
  if (std::optional<QZMValue> number = QZMValue::valueFromObject(&sessionNumber)) {
    parameters.emplace("_sno", std::move(*number));
  }
  if (appInBackground) {
    parameters.emplace("_aib", QZMValue::initWithInt64(1));
  } else {
    for (auto& [name, value] : currentScreenParameters()) parameters.insert_or_assign(name, std::move(value));
  }
  return QZMEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
}
