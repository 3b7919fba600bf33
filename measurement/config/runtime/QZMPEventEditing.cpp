#include "measurement/config/runtime/QZMPEventEditing.h"

#include <cstdint>

#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

// Results that drop an edit callback's changes: a failed call, and any
// result that is not a number.
constexpr std::uint32_t kCallbackFailed = 2;
constexpr std::uint32_t kCallbackGaveNoNumber = 0xFFFFFFFFu;

template <class T, class... Args>
QZMPRef<T> makeTracked(QZMPScope& scope, Args&&... args) {
  QZMPRef<T> object = QZMPMake<T>(std::forward<Args>(args)...);
  QZMPObjectManager::track(object.get(), scope);
  return object;
}

// Text handed to the host, charged as text the run writes out.
std::string utf8Of(const QZMPRuntimeValue& value, QZMPScope& scope, QZMPError& error) {
  const QZMPRef<QZMPStringValue> text = QZMPTextOperand(value, scope, error);
  return error ? std::string() : text->utf8();
}

// ---- The event handler's functions, on the output event ----

using EventRoutine = QZMPRuntimeValue (*)(QZMPEventContext& context, QZMPArguments values, QZMPScope& scope,
                                          QZMPError& error);

QZMPRuntimeValue getEventName(QZMPEventContext& context, QZMPArguments, QZMPScope&, QZMPError&) {
  return QZMPRuntimeValue::stringFromUTF8(context.outputEvent().name());
}

QZMPRuntimeValue getParamValue(QZMPEventContext& context, QZMPArguments values, QZMPScope& scope,
                               QZMPError& error) {
  const std::string name = utf8Of(values[0], scope, error);
  if (error) return QZMPRuntimeValue();
  const foundation::Object* value = context.outputEvent().parameterForName(name);
  if (value == nullptr) return QZMPRuntimeValue::null();
  return QZMPRuntimeEntityConverter::runtimeValueFromNSObject(*value, scope, error);
}

QZMPRuntimeValue getParams(QZMPEventContext& context, QZMPArguments, QZMPScope& scope, QZMPError& error) {
  return QZMPRuntimeEntityConverter::runtimeValueFromNSObject(
      foundation::Object(context.outputEvent().parameters()), scope, error);
}

QZMPRuntimeValue getTimestamp(QZMPEventContext& context, QZMPArguments, QZMPScope&, QZMPError&) {
  return QZMPRuntimeValue::number(context.outputEvent().timestamp());
}

QZMPRuntimeValue setEventName(QZMPEventContext& context, QZMPArguments values, QZMPScope& scope, QZMPError& error) {
  if (values[0].isUndefinedOrNull()) {
    error.set(QZMPGlintErrorArgumentKind);
    return QZMPRuntimeValue();
  }
  QZMPRef<QZMPStringValue> name = QZMPTextOperand(values[0], scope, error);
  if (error) return QZMPRuntimeValue();
  context.setOutputName(name->utf8());
  return QZMPRuntimeValue(std::move(name));
}

QZMPRuntimeValue setParamValue(QZMPEventContext& context, QZMPArguments values, QZMPScope& scope,
                               QZMPError& error) {
  const std::string name = utf8Of(values[0], scope, error);
  if (error) return QZMPRuntimeValue();
  foundation::Object value = QZMPRuntimeEntityConverter::objectFromRuntimeValue(values[1], scope, error);
  if (error) return QZMPRuntimeValue();
  context.setOutputParameter(std::move(value), name);
  return values[1];
}

struct EventFunction {
  std::u16string_view name;
  EventRoutine routine;
  std::size_t argumentCount;
};

constexpr EventFunction kEventFunctions[] = {
    {u"getEventName", &getEventName, 0}, {u"getParamValue", &getParamValue, 1},
    {u"getParams", &getParams, 0},       {u"getTimestamp", &getTimestamp, 0},
    {u"setEventName", &setEventName, 1}, {u"setParamValue", &setParamValue, 2},
};

// ---- The editing modules ----

class RegisterCallback final : public QZMPNativeFunction {
 public:
  explicit RegisterCallback(QZMPRef<QZMPEditingCallbackHandler> handler)
      : QZMPNativeFunction("internal.registerCallback", Arguments::used, QZMPArity::exactly(3)),
        handler_(std::move(handler)) {}

  void clearForCollection() override {
    QZMPNativeFunction::clearForCollection();
    handler_ = nullptr;
  }

 protected:
  QZMPRuntimeValue call(QZMPArguments values, QZMPScope& scope, QZMPError& error) override {
    QZMPFunctionValue* callback = values[1].asFunction();
    const QZMPMapValue* options = values[2].asMap();
    if (callback == nullptr || options == nullptr) {
      error.set(QZMPGlintErrorArgumentKind);
      return QZMPRuntimeValue();
    }
    const QZMPRuntimeValue* type = options->propertyMap().find(u"type");
    if (type == nullptr) {
      error.set(QZMPEditingErrorNoRuleType);
      return QZMPRuntimeValue();
    }
    const std::string ruleType = utf8Of(*type, scope, error);
    if (error) return QZMPRuntimeValue();
    std::int32_t priority = kQZMPDefaultCallbackPriority;
    if (const QZMPRuntimeValue* given = options->propertyMap().find(u"priority")) {
      const double number = given->doubleValueOrError(error);
      if (error) return QZMPRuntimeValue();
      // Priorities of 2^31 and above run before all others.
      priority = static_cast<std::int32_t>(QZMPToUint32(number));
    }
    if (handler_) handler_->registerWithPriority(priority, QZMPRef<QZMPFunctionValue>(callback), ruleType, error);
    return QZMPRuntimeValue();
  }

 private:
  QZMPRef<QZMPEditingCallbackHandler> handler_;
};

class EventLogger final : public QZMPNativeFunction {
 public:
  explicit EventLogger(std::shared_ptr<QZMPEventContext> context)
      : QZMPNativeFunction("internal.eventLogger", Arguments::used, QZMPArity::exactly(3)),
        context_(std::move(context)) {}

 protected:
  QZMPRuntimeValue call(QZMPArguments values, QZMPScope& scope, QZMPError& error) override {
    std::string name = utf8Of(values[0], scope, error);
    if (error) return QZMPRuntimeValue();
    const double timestamp = QZMPIntegerPart(values[1].doubleValueOrError(error));
    if (error) return QZMPRuntimeValue();
    const QZMPMapValue* parameters = values[2].asMap();
    if (parameters == nullptr) {
      error.set(QZMPGlintErrorArgumentKind);
      return QZMPRuntimeValue();
    }
    foundation::Dictionary converted = QZMPRuntimeEntityConverter::dictionaryFromMapValue(*parameters, scope, error);
    if (error) return QZMPRuntimeValue();
    if (context_) context_->logEventWithName(std::move(name), timestamp, std::move(converted));
    return QZMPRuntimeValue();
  }

 private:
  std::shared_ptr<QZMPEventContext> context_;
};

}  // namespace

QZMPRef<QZMPFunctionValue> QZMPRegisterCallbackNativeFunctionValue(QZMPRef<QZMPEditingCallbackHandler> handler) {
  return QZMPMake<RegisterCallback>(std::move(handler));
}

QZMPRef<QZMPFunctionValue> QZMPEventLogger(std::shared_ptr<QZMPEventContext> eventContext) {
  return QZMPMake<EventLogger>(std::move(eventContext));
}

// ---- Event handler object ----

QZMPRuntimeValue QZMPEventNativeFunctions::applyWithName(std::u16string_view name, QZMPArguments arguments,
                                                         QZMPScope& scope, QZMPError& error) {
  for (const EventFunction& function : kEventFunctions) {
    if (function.name != name) continue;
    const QZMPRef<QZMPEventNativeFunctions> self(this);
    QZMPValueList values;
    if (!QZMPEvaluator::evaluateArguments(arguments, scope, values, error)) return QZMPRuntimeValue();
    if (values.size() != function.argumentCount) {
      error.set(QZMPGlintErrorArgumentCount);
      return QZMPRuntimeValue();
    }
    // Emptied by the collector: nothing left to read or change.
    if (!eventContext_) return QZMPRuntimeValue();
    QZMPRuntimeValue result = function.routine(*eventContext_, values, scope, error);
    return error ? QZMPRuntimeValue() : result;
  }
  return QZMPMapValue::applyWithName(name, arguments, scope, error);
}

void QZMPEventNativeFunctions::clearForCollection() {
  QZMPMapValue::clearForCollection();
  eventContext_ = nullptr;
}

// ---- Callback handler ----

bool QZMPEditingCallbackHandler::registerWithPriority(std::int32_t priority,
                                                      const QZMPRef<QZMPFunctionValue>& callback,
                                                      std::string_view ruleType, QZMPError& error) {
  if (callbackCount() >= kQZMPMaxCallbacks) {
    error.set(QZMPEditingErrorTooManyCallbacks);
    return false;
  }
  if (ruleType == "create") {
    addCallback(callback, createCallbacks_, priority);
  } else if (ruleType == "edit") {
    addCallback(callback, editCallbacks_, priority);
  } else {
    error.set(QZMPEditingErrorUnknownRuleType);
    return false;
  }
  return true;
}

void QZMPEditingCallbackHandler::addCallback(const QZMPRef<QZMPFunctionValue>& callback, Callbacks& callbacks,
                                             std::int64_t priority) {
  if (callbacks.contains(priority)) priority = callbacks.rbegin()->first + 1;
  callbacks.emplace(priority, QZMPRuntimeValue(callback));
}

std::vector<std::int64_t> QZMPEditingCallbackHandler::editPriorities() const {
  std::vector<std::int64_t> priorities;
  for (const auto& entry : editCallbacks_) priorities.push_back(entry.first);
  return priorities;
}

std::vector<std::int64_t> QZMPEditingCallbackHandler::createPriorities() const {
  std::vector<std::int64_t> priorities;
  for (const auto& entry : createCallbacks_) priorities.push_back(entry.first);
  return priorities;
}

std::uint32_t QZMPEditingCallbackHandler::invokeCallbackWithScope(QZMPScope& scope, QZMPFunctionValue& function,
                                                                  const QZMPRuntimeValue& eventHandler,
                                                                  QZMPError& error) {
  const QZMPRuntimeValue result = function.invokeWithArguments({&eventHandler, 1}, scope, error);
  if (QZMPRuntime* runtime = scope.runtime()) runtime->endRun(error);
  if (error) return kCallbackFailed;
  return result.isNumber() ? QZMPToUint32(result.asNumber()) : kCallbackGaveNoNumber;
}

bool QZMPEditingCallbackHandler::triggerCallbacksWithScope(QZMPScope& scope,
                                                           const std::shared_ptr<QZMPEventContext>& eventContext,
                                                           QZMPError& error) {
  const QZMPRef<QZMPEditingCallbackHandler> self(this);
  const QZMPRuntimeValue eventHandler(makeTracked<QZMPEventNativeFunctions>(scope, eventContext));
  // The walks go over copies taken now: a callback may register others.
  const auto copyOf = [](const Callbacks& callbacks) {
    std::vector<QZMPRuntimeValue> copy;
    copy.reserve(callbacks.size());
    for (const auto& entry : callbacks) copy.push_back(entry.second);
    return copy;
  };

  for (const QZMPRuntimeValue& callback : copyOf(editCallbacks_)) {
    eventContext->beginEdits();
    const std::uint32_t code = invokeCallbackWithScope(scope, *callback.asFunction(), eventHandler, error);
    if (error || code == kCallbackFailed || code == kCallbackGaveNoNumber) {
      eventContext->undoEdits();
    } else {
      eventContext->endEdits();
    }
    if (error) return false;
  }
  for (const QZMPRuntimeValue& callback : copyOf(createCallbacks_)) {
    invokeCallbackWithScope(scope, *callback.asFunction(), eventHandler, error);
    if (error) return false;
  }
  return true;
}

void QZMPEditingCallbackHandler::removeAllCallbacks() {
  Callbacks edit;
  Callbacks create;
  edit.swap(editCallbacks_);
  create.swap(createCallbacks_);
}

void QZMPEditingCallbackHandler::traceReferences(QZMPMarker& marker) {
  // A tree node per callback: its links, key and value.
  constexpr std::size_t kNodeBytes = 4 * sizeof(void*) + sizeof(Callbacks::value_type);
  marker.countObject(sizeof(QZMPEditingCallbackHandler));
  marker.countBytes(callbackCount() * (kQZMPAllocationBytes + kNodeBytes));
  for (const auto& entry : editCallbacks_) marker.mark(entry.second);
  for (const auto& entry : createCallbacks_) marker.mark(entry.second);
}

// ---- The editing instance ----

QZMPEventEditing::QZMPEventEditing() : QZMPEventEditing(QZMPRuntime::Options()) {}

QZMPEventEditing::QZMPEventEditing(QZMPRuntime::Options options)
    : runtime_(std::make_unique<QZMPRuntime>(options)),
      eventContext_(std::make_shared<QZMPEventContext>()),
      callbackHandler_(QZMPMake<QZMPEditingCallbackHandler>()),
      options_(options) {
  runtime_->addGarbageCollectionRoot(callbackHandler_);
  runtime_->setModuleCreator(
      [handler = callbackHandler_] { return QZMPRuntimeValue(QZMPRegisterCallbackNativeFunctionValue(handler)); },
      "internal.registerCallback");
  runtime_->setModuleCreator([context = eventContext_] { return QZMPRuntimeValue(QZMPEventLogger(context)); },
                             "internal.eventLogger");
}

bool QZMPEventEditing::loadProgram(const QZMPBProgram& program, QZMPError& error) {
  const auto run = [&] {
    const auto statements = NANOGetArray<QZMPBRuntimeEntity>(&program, QZMPBProgram::kInstructions);
    if (statements) {
      const QZMPRuntimeValue last = runtime_->executeStatements(*statements, error);
      if (error) return false;
      if (last.isControl()) {
        error.set(QZMPEditingErrorEndsInControl);
        return false;
      }
    }
    const std::unique_ptr<QZMPBOgtActivities> activities =
        NANOGetMessage<QZMPBOgtActivities>(&program, QZMPBProgram::kActivities);
    if (!activities) return true;
    const auto list = NANOGetArray<QZMPBOgtActivity>(activities.get(), QZMPBOgtActivities::kActivities);
    if (!list) return true;
    for (const std::shared_ptr<QZMPBOgtActivity>& activity : *list) {
      if (activity && !loadActivityData(*activity, error)) return false;
    }
    return true;
  };
  const bool loaded = run();
  runtime_->collectGarbage();
  return loaded && withinMemoryBudget(error);
}

bool QZMPEventEditing::withinMemoryBudget(QZMPError& error) const {
  if (runtime_->retainedBytes() <= kQZMPMaxRetainedBytes) return true;
  error.set(QZMPGlintErrorTooLarge);
  return false;
}

void QZMPEventEditing::unload() {
  unloaded_ = true;
  callbackHandler_->removeAllCallbacks();
  // A fresh runtime in its place; the old one's collector frees what the
  // program made, cycles included.
  runtime_ = std::make_unique<QZMPRuntime>(options_);
}

bool QZMPEventEditing::loadActivityData(const QZMPBOgtActivity& activity, QZMPError& error) {
  const std::u16string name = QZMPUTF16FromUTF8(NANOGetString(&activity, QZMPBOgtActivity::kName).value_or(""));
  const auto data = NANOGetArray<QZMPBRuntimeEntity>(&activity, QZMPBOgtActivity::kData);
  if (!data) return true;
  for (const std::shared_ptr<QZMPBRuntimeEntity>& statement : *data) {
    const QZMPRuntimeValue rule = runtime_->executeStatements({&statement, 1}, error);
    if (error) return false;
    if (!rule.isMap()) {
      error.set(QZMPEditingErrorActivityNotMap);
      return false;
    }
    if (!registerRuleWithName(name, rule, error)) return false;
  }
  return true;
}

bool QZMPEventEditing::registerRuleWithName(std::u16string_view name, const QZMPRuntimeValue& rule,
                                            QZMPError& error) {
  const QZMPRef<QZMPScope> scope = runtime_->getRunScope();
  const QZMPRuntimeValue function = scope->valueForName(name);
  if (!function.isFunction()) {
    error.set(QZMPEditingErrorRuleNotFunction);
    return false;
  }
  function.asFunction()->invokeWithArguments({&rule, 1}, *scope, error);
  return runtime_->endRun(error);
}

bool QZMPEventEditing::handleEvent(const QZMEditEvent& event, QZMPError& error) {
  eventContext_->setInputEvent(QZMPEvent(event));
  if (unloaded_) return false;
  runtime_->resetInstructionCount();
  {
    const QZMPRef<QZMPScope> scope = runtime_->getRunScope();
    callbackHandler_->triggerCallbacksWithScope(*scope, eventContext_, error);
  }
  runtime_->collectGarbage();
  if (!error && !withinMemoryBudget(error)) {
    QZMMeasurementBase::monitor()->logWithLevel(
        1, 29028, "Event editing program keeps more memory than allowed and is unloaded. Bytes kept",
        static_cast<std::int64_t>(runtime_->retainedBytes()));
    unload();
    eventContext_->setInputEvent(QZMPEvent(event));
  }
  if (error) return false;
  return hasEdits() || hasCreatedEvents();
}
