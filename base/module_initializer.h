// Named module initializers. A static ModuleInitializer registers a function
// under a type and a unique name at process start; RunModuleInitializers runs
// those of one type. Registering a name twice stops the process; registering
// after its type has run is reported as too late.
#pragma once

#include <string_view>

namespace base {

class ModuleInitializer {
 public:
  using Function = void (*)();

  ModuleInitializer(const char* type, const char* name, Function function);
  ModuleInitializer(const ModuleInitializer&) = delete;
  ModuleInitializer& operator=(const ModuleInitializer&) = delete;

  const char* type() const { return type_; }
  const char* name() const { return name_; }
  bool done() const { return done_; }

 private:
  friend void RunModuleInitializers(std::string_view type);

  const char* type_;
  const char* name_;
  Function function_;
  bool done_ = false;
};

// Runs, in registration order, every initializer of the type not yet run.
// From then on the type counts as executed.
void RunModuleInitializers(std::string_view type);

// Process-wide marks for whoever parses the command line. The modules
// "command_line_flags_parsing" and "command_line_flags_parsed" require them.
void SetDoingCommandLineFlagsParsing(bool doing);
void SetAfterCommandLineFlagsParsing(bool after);
bool DoingCommandLineFlagsParsing();
bool AfterCommandLineFlagsParsing();

}  // namespace base
