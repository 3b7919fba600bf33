#include "base/module_initializer.h"

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include <absl/synchronization/mutex.h>

#include "base/check.h"
#include "base/log.h"

namespace base {
namespace {

struct InitializerData {
  ModuleInitializer* initializer_obj = nullptr;
  bool initializer_obj_constructed = false;
};

struct TypeData {
  bool have_executed = false;
  std::map<std::string, InitializerData, std::less<>> by_name;
  std::vector<ModuleInitializer*> in_order;
};

// Never destroyed: registrations and runs may happen while the program ends.
absl::Mutex& RegistryMutex() {
  static auto* mutex = new absl::Mutex;
  return *mutex;
}

std::map<std::string, TypeData, std::less<>>& Registry() ABSL_EXCLUSIVE_LOCKS_REQUIRED(RegistryMutex()) {
  static auto* registry = new std::map<std::string, TypeData, std::less<>>;
  return *registry;
}

std::atomic<bool> g_doing_flags_parsing{false};
std::atomic<bool> g_after_flags_parsing{false};

}  // namespace

ModuleInitializer::ModuleInitializer(const char* type, const char* name, Function function)
    : type_(type), name_(name), function_(function) {
  ModuleInitializer* init = this;
  absl::MutexLock lock(&RegistryMutex());
  TypeData& type_data = Registry()[type_];
  if (type_data.have_executed) {
    LogMessage(absl::LogSeverity::kWarning, __FILE__, __LINE__,
               std::string("Registering initializer '") + name_ + "' too late: some initializers of type '" + type_ +
                   "' have executed");
  }
  InitializerData* idata = &type_data.by_name[name_];
  if (idata->initializer_obj != nullptr) {
    BASE_CHECK(idata->initializer_obj == init,
               std::string("There is more than one initializer with name '") + name_ + "'");
  }
  idata->initializer_obj = init;
  BASE_CHECK(!idata->initializer_obj_constructed,
             std::string(": Multiple occurrences of initializer '") + name_ + "'");
  idata->initializer_obj_constructed = true;
  type_data.in_order.push_back(init);
}

void RunModuleInitializers(std::string_view type) {
  std::vector<ModuleInitializer*> pending;
  {
    absl::MutexLock lock(&RegistryMutex());
    auto found = Registry().find(type);
    if (found == Registry().end()) {
      Registry()[std::string(type)].have_executed = true;
      return;
    }
    found->second.have_executed = true;
    for (ModuleInitializer* init : found->second.in_order) {
      if (init->done_) continue;
      init->done_ = true;
      pending.push_back(init);
    }
  }
  // Unlocked: an initializer may register or run others.
  for (ModuleInitializer* init : pending) {
    if (init->function_ != nullptr) init->function_();
  }
}

void SetDoingCommandLineFlagsParsing(bool doing) { g_doing_flags_parsing.store(doing); }
void SetAfterCommandLineFlagsParsing(bool after) { g_after_flags_parsing.store(after); }
bool DoingCommandLineFlagsParsing() { return g_doing_flags_parsing.load(); }
bool AfterCommandLineFlagsParsing() { return g_after_flags_parsing.load(); }

}  // namespace base
