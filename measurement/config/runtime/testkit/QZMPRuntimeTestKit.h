// Helpers for the interpreter's tests: running assembled text, describing
// values in the assembler's notation, and a fixture that checks every test
// frees every runtime object it made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "measurement/config/runtime/QZMPError.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"
#include "measurement/config/runtime/QZMPScope.h"

struct QZMPOutcome {
  QZMPRuntimeValue value;
  QZMPError error;

  // The value in assembler notation, or the error as "error <domain
  // suffix> <code>" ("error glint 9", "error editing 4").
  std::string describe() const;
};

// Runs the text's top-level statements with the runtime's executeStatements.
// A text that does not assemble fails the test.
QZMPOutcome QZMPRun(QZMPRuntime& runtime, std::string_view text);
// Converts one form and evaluates it in the scope.
QZMPOutcome QZMPEvaluateIn(QZMPScope& scope, std::string_view text);
// One form as a value (nothing evaluated).
QZMPRuntimeValue QZMPValueOf(std::string_view text);

// Values in the assembler's notation: undefined, null, true, 1.5, "text",
// [1, <hole>, "name": 2], {"a": 1}, <function f>, <break>, <return 5>, (22 true 1).
std::string QZMPDescribe(const QZMPRuntimeValue& value);
std::string QZMPDescribe(const QZMPError& error);

// Keys that all share one 32-bit FNV-1a hash over their code units, the hash
// names once had, which a program could aim at: the prefix, then three units
// chosen so that the last multiplication lands on one value.
std::vector<std::u16string> QZMPFNVCollidingKeys(const std::u16string& prefix, std::size_t count);
std::uint32_t QZMPFNV1a(std::u16string_view text);

// Fails the test when runtime objects outlive it (checked once the derived
// fixture's members, runtimes included, are gone).
class QZMPRuntimeTest : public ::testing::Test {
 protected:
  ~QZMPRuntimeTest() override;
};
