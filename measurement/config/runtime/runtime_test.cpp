#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "testing/LogCapture.h"
#include "test_commands.h"

namespace {

class RuntimeTest : public QZMPRuntimeTest {
 protected:
  void SetUp() override { QZMPTestLog().clear(); }
  QZMPRuntime runtime_{{.registrar = &QZMPTestRegistrar()}};
};

TEST_F(RuntimeTest, StartsWithAGlobalScopeUnderTheInitialScope) {
  EXPECT_EQ(QZMPRuntime::runtimeVersion(), 0);
  EXPECT_EQ(runtime_.initScope().parentScope(), nullptr);
  EXPECT_EQ(runtime_.globalScope().parentScope(), &runtime_.initScope());
  EXPECT_EQ(runtime_.getRunScope()->parentScope(), &runtime_.globalScope());
  EXPECT_EQ(runtime_.globalScope().runtime(), &runtime_);
  EXPECT_EQ(runtime_.getInstructionCount(), 0u);
}

TEST_F(RuntimeTest, ExecutesAProgramStatementByStatement) {
  const struct {
    const char* program;
    std::string result;
    std::string log;
  } cases[] = {
      {"", "undefined", ""},
      {"1 2 3", "3", ""},
      // A control value does not stop the top level.
      {"(107 1) (100 2)", "2", "2"},
      {"(100 1) (107 5)", "<return 5>", "1"},
      // An evaluation error ends the run; what ran before stays done.
      {"(100 1) (101 10) (100 2)", "error glint 10", "1"},
      // So does an entity that does not convert: later statements never run.
      {"(100 1) {type=9} (100 2)", "error glint 12", "1"},
      {"(100 1) {type=4} (100 2)", "error glint 14", "1"},
      // Assignments at the top level land in the global scope.
      {"(104 \"g\" 5) (103 \"g\")", "5", ""},
  };
  for (const auto& c : cases) {
    QZMPTestLog().clear();
    EXPECT_EQ(QZMPRun(runtime_, c.program).describe(), c.result) << c.program;
    std::string log;
    for (const std::string& line : QZMPTestLog()) log += (log.empty() ? "" : " | ") + line;
    EXPECT_EQ(log, c.log) << c.program;
  }
  EXPECT_EQ(QZMPDescribe(runtime_.globalScope().contents().valueForName(u"g")), "5");
}

TEST_F(RuntimeTest, ProgramsCannotReachTheInstructionCounter) {
  EXPECT_EQ(QZMPRun(runtime_, "(103 \"runtime.counter\")").describe(), "undefined");
  runtime_.resetInstructionCount();
  EXPECT_EQ(QZMPRun(runtime_, "(104 \"runtime.counter\" 0) (104 \"runtime.counter\" -1000000)").describe(),
            "-1000000");
  EXPECT_EQ(runtime_.getInstructionCount(), 6u);
  runtime_.resetInstructionCount();
  EXPECT_EQ(runtime_.getInstructionCount(), 0u);
}

// Work that grows with the data rather than with the statements run is
// charged to the run, so a run's time stays bounded by its budget.
class RuntimeBudgetTest : public QZMPRuntimeTest {
 protected:
  // "s": 16384 units of x; "b": as long, differing in the last unit; "a": 64
  // copies of s, each its own string.
  static constexpr std::string_view kTexts = R"(
      (var "s" "b" "a")
      (assign "s" "x")
      (while (< (prop (get "s") "length") 16384) 1 false (list (assign "s" (+ (get "s") (get "s")))))
      (assign "b" (+ (call (get "s") "slice" (array 1)) "y"))
      (assign "a" (array))
      (while (< (prop (get "a") "length") 64) 1 false
        (list (call (get "a") "push" (array (call (get "s") "slice" (array 0)))))))";
  // "f": a closure 1000 scopes deep, each made in a call of the one before.
  static constexpr std::string_view kClosures = R"(
      (var "f" "L" "i")
      (assign "L" (list (return (fn "" (array) (run (get "L"))))))
      (assign "f" (fn "" (array) (run (get "L"))))
      (assign "i" 0)
      (while (< (get "i") 1000) (assign "i" (+ (get "i") 1)) false (list (assign "f" ($f)))))";
};

TEST_F(RuntimeBudgetTest, WorkThatGrowsWithTheDataIsCharged) {
  std::string manyCases;
  for (int i = 0; i < 64; ++i) manyCases += " (get \"s\")";
  const struct {
    std::string statement;
    std::string outcome;
    std::uint64_t charge;  // at least
  } cases[] = {
      // 192 comparisons of texts equal over 16384 units.
      {"(call (get \"a\") \"sort\" (array))", "[", 192 * 16384 / 64},
      // 64 comparisons of texts that differ only at their end.
      {"(call (get \"a\") \"indexOf\" (array (get \"b\")))", "-1", 64 * 16384 / 64},
      {"(call (get \"a\") \"lastIndexOf\" (array (get \"b\")))", "-1", 64 * 16384 / 64},
      {"(switch (get \"b\") (list" + manyCases + ") (list))", "undefined", 64 * 16384 / 64},
      // A lookup from the deepest closure walks its 1000 scopes.
      {"($f)", "<function", 1000 / 4},
  };
  for (const auto& c : cases) {
    QZMPRuntime runtime;
    ASSERT_EQ(QZMPRun(runtime, kTexts).describe(), "undefined");
    ASSERT_EQ(QZMPRun(runtime, kClosures).describe(), "undefined");
    const std::uint64_t before = runtime.getInstructionCount();
    EXPECT_EQ(QZMPRun(runtime, c.statement).describe().substr(0, c.outcome.size()), c.outcome) << c.statement;
    EXPECT_GE(runtime.getInstructionCount() - before, c.charge) << c.statement;
  }
}

TEST_F(RuntimeBudgetTest, ALongSortStopsWhenItSpendsTheBudget) {
  std::uint64_t prelude = 0;
  {
    QZMPRuntime measured;
    ASSERT_EQ(QZMPRun(measured, kTexts).describe(), "undefined");
    prelude = measured.getInstructionCount();
  }
  // Sorting needs some 49000 instructions' worth of comparing.
  const std::uint64_t limit = prelude + 20'000;
  QZMPRuntime runtime({.instructionLimit = limit});
  ASSERT_EQ(QZMPRun(runtime, kTexts).describe(), "undefined");
  EXPECT_EQ(QZMPRun(runtime, "(call (get \"a\") \"sort\" (array))").describe(), "error glint 18");
  EXPECT_LE(runtime.getInstructionCount(), limit + 16384 / 64);
}

}  // namespace

namespace {

// Arbitrary bytes from the server: every mutation of a valid program either
// fails to decode, fails with an error, or runs to an end within the limits,
// and leaves nothing alive behind.
TEST(HostilePrograms, MutatedProgramBytesEndCleanly) {
  const char* seeds[] = {
      "(105 \"f\" (106 \"f\" \"n\" (114 (113 (103 \"n\") 5) ($f (108 (103 \"n\") 1)) (107 (112 (103 \"n\"))))))"
      " ($f 0) (109 \"a\" (112 1 2) \"b\" (109))",
      "(102 (100 (108 1 2))) (101 3)",
      "(105 \"x\" (112)) (104 \"x\" (112 (103 \"x\") (103 \"x\"))) (100 (103 \"x\"))",
  };
  std::mt19937 random(5);
  const testkit::LogCapture quiet;  // the decoder reports every refusal
  for (const char* seed : seeds) {
    const auto bytes = QZMPAssembleProgramBytes(seed);
    ASSERT_TRUE(bytes) << bytes.error().description;
    for (int round = 0; round < 400; ++round) {
      std::string mutated = *bytes;
      for (int edits = 1 + random() % 4; edits > 0; --edits) {
        const std::size_t at = random() % mutated.size();
        switch (random() % 3) {
          case 0: mutated[at] = static_cast<char>(random()); break;
          case 1: mutated.erase(at, 1); break;
          default: mutated.insert(at, 1, static_cast<char>(random())); break;
        }
      }
      auto program =
          QZMPBProgram::initWithBuffer({reinterpret_cast<const std::uint8_t*>(mutated.data()), mutated.size()});
      if (!program) continue;
      auto statements = NANOGetArray<QZMPBRuntimeEntity>(program.get(), QZMPBProgram::kInstructions);
      if (!statements) continue;
      QZMPTestLog().clear();
      {
        QZMPRuntime runtime({.instructionLimit = 20000, .registrar = &QZMPTestRegistrar()});
        QZMPError error;
        runtime.executeStatements(*statements, error);
        EXPECT_LE(runtime.getInstructionCount(), 20000u);
        runtime.collectGarbage();
      }
      ASSERT_EQ(QZMPObject::liveCount(), 0) << "round " << round;
    }
  }
}

}  // namespace
