// How programs reach the host: "require" in the global scope hands out a
// module object by name, made on first use by the creator registered for
// that name and kept for the life of the runtime. Modules and their member
// functions are native function values whose invocation runs host code;
// programs call the members as methods of the module object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "platform/foundation/Object.h"

class QZMPRuntime;

// Makes a module; undefined means it could not.
using QZMPModuleCreator = std::function<QZMPRuntimeValue()>;

class QZMPDynamicProvider {
 public:
  // Stores or replaces the creator for the name.
  void setModuleCreator(QZMPModuleCreator creator, std::string name);
  // Undefined without an error when no creator has the name; code 15 when
  // the creator makes nothing. The module and the natives it holds are
  // tracked by the runtime of the scope.
  QZMPRuntimeValue moduleForName(std::string_view name, QZMPScope& scope, QZMPError& error) const;

 private:
  std::map<std::string, QZMPModuleCreator, std::less<>> creators_;
};

// A function whose body is host code. Unless it ignores its arguments, a
// call checks their number first (code 9, nothing evaluated) and then
// evaluates them in order in the caller's scope.
class QZMPNativeFunction : public QZMPFunctionValue {
 public:
  QZMPRuntimeValue invokeWithArguments(QZMPArguments arguments, QZMPScope& scope, QZMPError& error) override;
  QZMPRuntimeValue invokeWithEvaluatedArguments(QZMPArguments arguments, QZMPError& error) override;

  // Stores a member function under its own name.
  void addFunction(const QZMPRef<QZMPFunctionValue>& function);

  enum class Arguments : unsigned char { ignored, used };

 protected:
  QZMPNativeFunction(std::string_view name, Arguments arguments, QZMPArity arity = QZMPArity::any());

  // The host code, with the evaluated arguments (none when ignored). Values
  // it makes belong to the runtime of the scope.
  virtual QZMPRuntimeValue call(QZMPArguments values, QZMPScope& scope, QZMPError& error) = 0;
  // The runtime a call without a caller's scope works in: that of the
  // collector tracking this function, if any.
  virtual QZMPRuntime* owningRuntime() const;

 private:
  Arguments arguments_;
  QZMPArity arity_;
};

// Looks modules up by name and caches them.
class QZMPRequire final : public QZMPNativeFunction {
 public:
  QZMPRequire(std::shared_ptr<const QZMPDynamicProvider> provider, QZMPRuntime* runtime);

  void traceReferences(QZMPMarker& marker) override;
  void clearForCollection() override;

 protected:
  QZMPRuntimeValue call(QZMPArguments values, QZMPScope& scope, QZMPError& error) override;
  // Untracked, so it knows its runtime itself.
  QZMPRuntime* owningRuntime() const override { return runtime_; }

 private:
  std::shared_ptr<const QZMPDynamicProvider> provider_;
  QZMPRuntime* runtime_;
  QZMPPropertyMap modules_;
};

// Where the "log" functions of "internal.logger" write.
class QZMPLoggerDelegate {
 public:
  virtual ~QZMPLoggerDelegate() = default;
  virtual void logWithLevel(std::int64_t level, std::string_view message, const std::vector<std::string>& context,
                            bool silent, bool monitored) = 0;
};

// The host's side of a key-value store: the text under a key, or nothing.
using QZMPGetValueBlock = std::function<std::optional<std::string>(std::string_view key)>;
// The host's side of an object provider: a dictionary for the program.
using QZMPObjectProviderBlock = std::function<foundation::Dictionary()>;

// Module objects, each made fresh for one runtime:
// "internal.platform": "getVersion" gives the runtime version.
QZMPRef<QZMPFunctionValue> QZMPRuntimePlatform();
// "internal.remoteConfig": "getValue(key, default)" gives the block's text
// for the key, else the default as it is.
QZMPRef<QZMPFunctionValue> QZMPKeyValueStore(QZMPGetValueBlock getValueBlock);
// "internal.appMetadata": invoking it gives the block's dictionary as a map.
QZMPRef<QZMPFunctionValue> QZMPObjectProvider(QZMPObjectProviderBlock objectProviderBlock);
// "internal.logger": "log", "silent.log" and "unmonitored.log".
QZMPRef<QZMPFunctionValue> QZMPMessageLogger(std::shared_ptr<QZMPLoggerDelegate> logger);

// A configuration setting as getValue hands it out: text as it is, a number
// in its text form, nothing for anything else.
std::optional<std::string> QZMPSettingText(const foundation::Object& setting);
