#include "measurement/config/runtime/QZMPModules.h"

#include <cmath>

#include "measurement/config/runtime/QZMPCommandSupport.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"

namespace {

// Modules nest natives at most this deep ("internal.logger" then "silent"
// then "log").
constexpr int kMaxModuleDepth = 4;

// Tracks the module and the natives it holds, so that the collector can
// break cycles a program closes through them.
void adopt(const QZMPRuntimeValue& value, QZMPObjectManager& manager, int depth) {
  QZMPPropertyMap* properties = nullptr;
  if (QZMPFunctionValue* function = value.asFunction()) {
    manager.addObject(function);
    properties = &function->propertyMap();
  } else if (QZMPMapValue* map = value.asMap()) {
    manager.addObject(map);
    properties = &map->propertyMap();
  }
  if (properties == nullptr || depth >= kMaxModuleDepth) return;
  properties->forEach(
      [&](const QZMPStringValue&, const QZMPRuntimeValue& member) { adopt(member, manager, depth + 1); });
}

QZMPRef<QZMPStringValue> nameValue(std::string_view name) { return QZMPStringValue::withUTF8(name); }

}  // namespace

// ---- Provider and require ----

void QZMPDynamicProvider::setModuleCreator(QZMPModuleCreator creator, std::string name) {
  creators_.insert_or_assign(std::move(name), std::move(creator));
}

QZMPRuntimeValue QZMPDynamicProvider::moduleForName(std::string_view name, QZMPScope& scope, QZMPError& error) const {
  const auto found = creators_.find(name);
  if (found == creators_.end() || !found->second) return QZMPRuntimeValue();
  QZMPRuntimeValue module = found->second();
  if (module.isUndefined()) {
    error.set(QZMPGlintErrorNoModule);
    return QZMPRuntimeValue();
  }
  if (QZMPObjectManager* manager = scope.objectManager()) adopt(module, *manager, 0);
  return module;
}

QZMPNativeFunction::QZMPNativeFunction(std::string_view name, Arguments arguments, QZMPArity arity)
    : QZMPFunctionValue(nameValue(name)), arguments_(arguments), arity_(arity) {}

QZMPRuntimeValue QZMPNativeFunction::invokeWithArguments(QZMPArguments arguments, QZMPScope& scope,
                                                         QZMPError& error) {
  const QZMPRef<QZMPNativeFunction> self(this);  // host code may drop every other reference
  if (arguments_ == Arguments::ignored) return call({}, scope, error);
  if (!arity_.accepts(arguments.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  QZMPValueList values;
  if (!QZMPEvaluator::evaluateArguments(arguments, scope, values, error)) return QZMPRuntimeValue();
  QZMPRuntimeValue result = call(values, scope, error);
  return error ? QZMPRuntimeValue() : result;
}

QZMPRuntimeValue QZMPNativeFunction::invokeWithEvaluatedArguments(QZMPArguments arguments, QZMPError& error) {
  const QZMPRef<QZMPNativeFunction> self(this);
  if (arguments_ == Arguments::used && !arity_.accepts(arguments.size())) {
    error.set(QZMPGlintErrorArgumentCount);
    return QZMPRuntimeValue();
  }
  // What the call makes belongs to this function's runtime.
  QZMPRuntime* runtime = owningRuntime();
  QZMPRef<QZMPScope> scope =
      runtime ? QZMPRef<QZMPScope>(&runtime->globalScope()) : QZMPScope::initWithParentScope(nullptr);
  QZMPRuntimeValue result =
      call(arguments_ == Arguments::ignored ? QZMPArguments() : arguments, *scope, error);
  return error ? QZMPRuntimeValue() : result;
}

QZMPRuntime* QZMPNativeFunction::owningRuntime() const {
  return objectManager() ? objectManager()->runtime() : nullptr;
}

void QZMPNativeFunction::addFunction(const QZMPRef<QZMPFunctionValue>& function) {
  setValue(QZMPRuntimeValue(function), function->functionName());
}

QZMPRequire::QZMPRequire(std::shared_ptr<const QZMPDynamicProvider> provider, QZMPRuntime* runtime)
    : QZMPNativeFunction("require", Arguments::used, QZMPArity::exactly(1)),
      provider_(std::move(provider)),
      runtime_(runtime) {}

QZMPRuntimeValue QZMPRequire::call(QZMPArguments values, QZMPScope& scope, QZMPError& error) {
  const QZMPRef<QZMPStringValue> name = QZMPTextOperand(values[0], scope, error);
  if (error) return QZMPRuntimeValue();
  if (const QZMPRuntimeValue* cached = modules_.find(*name)) return *cached;
  if (!provider_) return QZMPRuntimeValue();
  QZMPRuntimeValue module = provider_->moduleForName(name->utf8(), scope, error);
  if (error || module.isUndefined()) return QZMPRuntimeValue();
  modules_.setValue(module, *name);
  return module;
}

void QZMPRequire::traceReferences(QZMPMarker& marker) {
  QZMPNativeFunction::traceReferences(marker);
  modules_.traceReferences(marker);
}

void QZMPRequire::clearForCollection() {
  QZMPNativeFunction::clearForCollection();
  modules_.clear();
}

// ---- Module objects ----

namespace {

// A module object: members only; invoking it ignores its arguments (or
// evaluates them, as "internal.remoteConfig" does) and yields undefined.
class ModuleObject final : public QZMPNativeFunction {
 public:
  ModuleObject(std::string_view name, Arguments arguments) : QZMPNativeFunction(name, arguments) {}

 protected:
  QZMPRuntimeValue call(QZMPArguments, QZMPScope&, QZMPError&) override { return QZMPRuntimeValue(); }
};

class FunctionGetVersion final : public QZMPNativeFunction {
 public:
  FunctionGetVersion() : QZMPNativeFunction("getVersion", Arguments::ignored) {}

 protected:
  QZMPRuntimeValue call(QZMPArguments, QZMPScope&, QZMPError&) override {
    return QZMPRuntimeValue::number(static_cast<double>(QZMPRuntime::runtimeVersion()));
  }
};

class KeyValueStoreGetValue final : public QZMPNativeFunction {
 public:
  explicit KeyValueStoreGetValue(QZMPGetValueBlock block)
      : QZMPNativeFunction("getValue", Arguments::used, QZMPArity::exactly(2)), block_(std::move(block)) {}

 protected:
  QZMPRuntimeValue call(QZMPArguments values, QZMPScope& scope, QZMPError& error) override {
    const QZMPRef<QZMPStringValue> key = QZMPTextOperand(values[0], scope, error);
    if (error) return QZMPRuntimeValue();
    std::optional<std::string> text = block_ ? block_(key->utf8()) : std::nullopt;
    if (!text) return values[1];
    return QZMPRuntimeValue::stringFromUTF8(*text);
  }

 private:
  QZMPGetValueBlock block_;
};

class ObjectProvider final : public QZMPNativeFunction {
 public:
  explicit ObjectProvider(QZMPObjectProviderBlock block)
      : QZMPNativeFunction("internal.appMetadata", Arguments::ignored), block_(std::move(block)) {}

 protected:
  QZMPRuntimeValue call(QZMPArguments, QZMPScope& scope, QZMPError& error) override {
    const foundation::Object object(block_ ? block_() : foundation::Dictionary());
    return QZMPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope, error);
  }

 private:
  QZMPObjectProviderBlock block_;
};

// The level as an integer; one too large for any logger reads as 0, which
// the logger treats like every level it does not know.
std::int64_t clampedLevel(double number) {
  const double level = QZMPIntegerPart(number);
  if (!(level >= -1e18 && level <= 1e18)) return 0;
  return static_cast<std::int64_t>(level);
}

class FunctionLog final : public QZMPNativeFunction {
 public:
  FunctionLog(std::shared_ptr<QZMPLoggerDelegate> logger, bool silent, bool monitored)
      : QZMPNativeFunction("log", Arguments::used, QZMPArity::atLeast(1)),
        logger_(std::move(logger)),
        silent_(silent),
        monitored_(monitored) {}

 protected:
  QZMPRuntimeValue call(QZMPArguments values, QZMPScope& scope, QZMPError& error) override {
    std::int64_t level = 4;
    std::size_t messageAt = 0;
    if (values.size() >= 2) {
      const double number = values[0].doubleValueOrError(error);
      if (error) return QZMPRuntimeValue();
      level = clampedLevel(number);
      messageAt = 1;
    }
    const QZMPRef<QZMPStringValue> message = QZMPTextOperand(values[messageAt], scope, error);
    if (error) return QZMPRuntimeValue();
    std::vector<std::string> context;
    for (std::size_t i = 2; i < values.size() && i < 5; ++i) {
      const QZMPRef<QZMPStringValue> text = QZMPTextOperand(values[i], scope, error);
      if (error) return QZMPRuntimeValue();
      context.push_back(text->utf8());
    }
    if (logger_) logger_->logWithLevel(level, message->utf8(), context, silent_, monitored_);
    return QZMPRuntimeValue();
  }

 private:
  std::shared_ptr<QZMPLoggerDelegate> logger_;
  bool silent_;
  bool monitored_;
};

}  // namespace

QZMPRef<QZMPFunctionValue> QZMPRuntimePlatform() {
  QZMPRef<QZMPNativeFunction> module = QZMPMake<ModuleObject>("internal.platform", ModuleObject::Arguments::ignored);
  module->addFunction(QZMPMake<FunctionGetVersion>());
  return module;
}

QZMPRef<QZMPFunctionValue> QZMPKeyValueStore(QZMPGetValueBlock getValueBlock) {
  QZMPRef<QZMPNativeFunction> module = QZMPMake<ModuleObject>("internal.remoteConfig", ModuleObject::Arguments::used);
  module->addFunction(QZMPMake<KeyValueStoreGetValue>(std::move(getValueBlock)));
  return module;
}

QZMPRef<QZMPFunctionValue> QZMPObjectProvider(QZMPObjectProviderBlock objectProviderBlock) {
  return QZMPMake<ObjectProvider>(std::move(objectProviderBlock));
}

QZMPRef<QZMPFunctionValue> QZMPMessageLogger(std::shared_ptr<QZMPLoggerDelegate> logger) {
  QZMPRef<QZMPNativeFunction> module = QZMPMake<ModuleObject>("internal.logger", ModuleObject::Arguments::ignored);
  module->addFunction(QZMPMake<FunctionLog>(logger, false, true));
  QZMPRef<QZMPNativeFunction> silent = QZMPMake<ModuleObject>("silent", ModuleObject::Arguments::ignored);
  silent->addFunction(QZMPMake<FunctionLog>(logger, true, true));
  module->addFunction(silent);
  QZMPRef<QZMPNativeFunction> unmonitored = QZMPMake<ModuleObject>("unmonitored", ModuleObject::Arguments::ignored);
  unmonitored->addFunction(QZMPMake<FunctionLog>(logger, false, false));
  module->addFunction(unmonitored);
  return module;
}

std::optional<std::string> QZMPSettingText(const foundation::Object& setting) {
  if (const std::string* text = setting.string()) return *text;
  if (setting.isBool() || setting.isInteger()) return std::to_string(setting.int64Value());
  if (setting.isFloating()) return QZMPNumberToString(setting.doubleValue());
  return std::nullopt;
}
