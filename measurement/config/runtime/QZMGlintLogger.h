// Where the programs' "log" calls land: one monitor line each, with the
// runtime logger's message code, at a level chosen from the program's level
// and the function's silent and monitored flags.
#pragma once

#include <cstdint>

#include "measurement/config/runtime/QZMPModules.h"

inline constexpr std::int64_t kQZMGlintLogMessageCode = 24005;

class QZMGlintLogger final : public QZMPLoggerDelegate {
 public:
  void logWithLevel(std::int64_t level, std::string_view message, const std::vector<std::string>& context,
                    bool silent, bool monitored) override;

  static std::int64_t monitorLevel(std::int64_t level, bool silent, bool monitored);
};
