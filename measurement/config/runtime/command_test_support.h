// Running assembled programs with the standard commands, for the command
// families' tests. Each call uses a runtime of its own, so rows of a table
// never see each other's names.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"

// A program prepended to every row that needs to record what ran:
// ($note value) appends the value to the global array "seen".
inline constexpr std::string_view kQZMPNotePrelude =
    "(var \"seen\") (assign \"seen\" (array))"
    "(function \"note\" (array \"x\") (call (get \"seen\") \"push\" (array (get \"x\"))))";

// Runs the programs in order in one runtime (an error ends only its own
// program) and describes the last one's outcome.
inline std::string QZMPOutcomeOf(std::initializer_list<std::string_view> programs) {
  QZMPRuntime runtime;
  std::string described;
  for (std::string_view program : programs) described = QZMPRun(runtime, program).describe();
  return described;
}

// Runs the row after the note prelude; gives the outcome and what was noted.
inline std::string QZMPOutcomeAndNotes(std::string_view program) {
  QZMPRuntime runtime;
  if (QZMPRun(runtime, kQZMPNotePrelude).error) return "prelude failed";
  const QZMPOutcome outcome = QZMPRun(runtime, program);
  const QZMPOutcome seen = QZMPRun(runtime, "(get \"seen\")");
  return outcome.describe() + " seen " + seen.describe();
}
