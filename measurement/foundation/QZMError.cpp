#include "measurement/foundation/QZMError.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

foundation::Error qzm_errorWithCode(std::int64_t code, std::string description, std::string_view monitorContext) {
  std::optional<foundation::Object> context;
  if (!monitorContext.empty()) context = foundation::Object(monitorContext);
  return foundation::Error(kQZMErrorDomain, code, std::move(description), std::move(context));
}

std::string QZMMonitorContextOfError(const foundation::Error& error) {
  if (error.domain != kQZMErrorDomain || !error.monitorContext || !error.monitorContext->isString()) return {};
  return *error.monitorContext->string();
}

foundation::Status QZMCheckCondition(bool condition, std::int64_t code, std::string_view description) {
  if (condition) return {};
  return qzm_errorWithCode(code, std::string(description));
}

foundation::Status QZMCheckNonZero(std::uint64_t value, std::int64_t code, std::string_view description) {
  return QZMCheckCondition(value != 0, code, description);
}

foundation::Status QZMCheckPointer(const void* pointer, std::int64_t code, std::string_view description) {
  return QZMCheckCondition(pointer != nullptr, code, description);
}

namespace {

std::string demangled(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> readable(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
  return status == 0 && readable ? std::string(readable.get()) : std::string(name);
}

}  // namespace

QZMException QZMException::fromCurrentException() {
  try {
    throw;
  } catch (const QZMException& e) {
    return e;
  } catch (const std::exception& e) {
    return QZMException(demangled(typeid(e).name()), e.what());
  } catch (...) {
    std::type_info* type = abi::__cxa_current_exception_type();
    return QZMException(type ? demangled(type->name()) : "unknown exception", "");
  }
}
