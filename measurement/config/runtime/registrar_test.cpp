#include <gtest/gtest.h>

#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "test_commands.h"

namespace {

using V = QZMPRuntimeValue;

class RegistrarTest : public QZMPRuntimeTest {
 protected:
  void SetUp() override { QZMPTestLog().clear(); }

  void define(const char* name, std::vector<const char*> parameters, std::vector<const char*> body) {
    define(runtime_, name, std::move(parameters), std::move(body));
  }
  static void define(QZMPRuntime& runtime, const char* name, std::vector<const char*> parameters,
                     std::vector<const char*> body) {
    std::vector<QZMPRef<QZMPStringValue>> names;
    for (const char* parameter : parameters) names.push_back(QZMPStringValue::withASCII(parameter));
    std::vector<V> statements;
    for (const char* statement : body) statements.push_back(QZMPValueOf(statement));
    runtime.globalScope().addValue(
        V(QZMPObjectManager::functionValueWithFunctionName(QZMPStringValue::withASCII(name), std::move(names),
                                                           std::move(statements),
                                                           QZMPRef<QZMPScope>(&runtime.globalScope()))),
        *QZMPStringValue::withASCII(name));
  }

  std::string log() const {
    std::string joined;
    for (const std::string& line : QZMPTestLog()) joined += (joined.empty() ? "" : " | ") + line;
    return joined;
  }

  QZMPRuntime runtime_{{.instructionLimit = 1000, .registrar = &QZMPTestRegistrar()}};
};

TEST_F(RegistrarTest, DispatchCountsEveryEvaluationAndEvaluatesAsTheCommandAsks) {
  const struct {
    const char* program;
    std::string result;
    std::string log;
    std::uint64_t instructions;
  } cases[] = {
      {"5", "5", "", 1},
      {"\"text\"", "\"text\"", "", 1},
      {"(100 1 2)", "2", "1 2", 3},
      // Left to right; the first failure stops the rest.
      {"(100 (100 1) (101 9) (100 3))", "error glint 9", "1", 5},
      // Counted before anything is evaluated.
      {"(110 (100 1) (100 2) (100 3))", "error glint 9", "", 1},
      // Counted after everything is evaluated.
      {"(108 (100 1) (100 2) (100 3))", "error glint 9", "1 | 2 | 3", 7},
      {"(111 (100 1))", "(100 1)", "", 1},
      // No command owns these names: the script function of that name, if any.
      {"(99 (100 1))", "undefined", "", 1},
      {"(\"022\" 1)", "undefined", "", 1},
      {"($nothing 1)", "undefined", "", 1},
      {"($number)", "undefined", "", 1},
      {"($twice 4)", "8", "", 7},
      {"($twice)", "NaN", "", 6},
      {"($early)", "5", "", 3},
      {"(108 ($twice 1) ($twice 2))", "6", "", 15},
  };
  runtime_.globalScope().addValue(V::number(1), u"number");
  define("twice", {"a"}, {"(108 (103 \"a\") (103 \"a\"))"});
  define("early", {}, {"(107 5)", "(100 \"never\")"});
  for (const auto& c : cases) {
    QZMPTestLog().clear();
    runtime_.resetInstructionCount();
    EXPECT_EQ(QZMPEvaluateIn(runtime_.globalScope(), c.program).describe(), c.result) << c.program;
    EXPECT_EQ(log(), c.log) << c.program;
    EXPECT_EQ(runtime_.getInstructionCount(), c.instructions) << c.program;
  }
}

TEST_F(RegistrarTest, TheInstructionLimitStopsAtTheNextEvaluation) {
  // 999 evaluations, then the 1000th succeeds and the next one fails.
  for (int i = 0; i < 999; ++i) ASSERT_EQ(QZMPEvaluateIn(runtime_.globalScope(), "1").describe(), "1");
  EXPECT_EQ(QZMPEvaluateIn(runtime_.globalScope(), "1").describe(), "1");
  EXPECT_EQ(runtime_.getInstructionCount(), 1000u);
  EXPECT_EQ(QZMPEvaluateIn(runtime_.globalScope(), "1").describe(), "error glint 18");

  // A tight loop ends at the first evaluation past the limit: the log call
  // whose argument could not be evaluated never ran.
  runtime_.resetInstructionCount();
  EXPECT_EQ(QZMPEvaluateIn(runtime_.globalScope(), "(102 (100 1))").describe(), "error glint 18");
  EXPECT_EQ(runtime_.getInstructionCount(), 1000u);
  EXPECT_EQ(QZMPTestLog().size(), 499u);

  // Bulk work charged to the count is felt by the next evaluation.
  runtime_.resetInstructionCount();
  runtime_.chargeInstructions(999);
  EXPECT_EQ(QZMPEvaluateIn(runtime_.globalScope(), "1").describe(), "1");
  EXPECT_EQ(QZMPEvaluateIn(runtime_.globalScope(), "1").describe(), "error glint 18");
  runtime_.chargeInstructions(UINT64_MAX);
  EXPECT_EQ(runtime_.getInstructionCount(), UINT64_MAX);
}

TEST(InstructionLimit, IsAMillionEvaluationsByDefault) {
  QZMPRuntime runtime({.registrar = &QZMPTestRegistrar()});
  EXPECT_EQ(QZMPRun(runtime, "(102 0)").describe(), "error glint 18");
  EXPECT_EQ(runtime.getInstructionCount(), 1'000'000u);
  runtime.resetInstructionCount();
  EXPECT_EQ(QZMPRun(runtime, "7").describe(), "7");
}

TEST_F(RegistrarTest, RecursionEndsAtTheDepthLimitNotTheStack) {
  QZMPRuntime roomy({.instructionLimit = 100'000'000, .registrar = &QZMPTestRegistrar()});
  define(roomy, "forever", {"n"}, {"($forever (108 (103 \"n\") 1))"});
  EXPECT_EQ(QZMPEvaluateIn(roomy.globalScope(), "($forever 0)").describe(), "error glint 19");
  EXPECT_LT(roomy.getInstructionCount(), 10'000u);
  // The depth is given back: the runtime runs normally afterwards.
  EXPECT_EQ(QZMPEvaluateIn(roomy.globalScope(), "(108 1 2)").describe(), "3");
}

TEST_F(RegistrarTest, MethodTablesEvaluateTheirArguments) {
  const V list = QZMPEvaluateIn(runtime_.globalScope(), "(112 7 8)").value;
  QZMPOutcome outcome;
  runtime_.resetInstructionCount();
  const V arguments[] = {QZMPValueOf("(100 1)")};
  outcome.value = V::string(u"abc").applyWithName(u"size", arguments, runtime_.globalScope(), outcome.error);
  EXPECT_EQ(outcome.describe(), "3");
  EXPECT_EQ(log(), "1");
  EXPECT_EQ(runtime_.getInstructionCount(), 2u);
  outcome.value = list.applyWithName(u"first", {}, runtime_.globalScope(), outcome.error);
  EXPECT_EQ(outcome.describe(), "7");
}

QZMPRuntimeValue yieldOne(QZMPArguments, QZMPScope&, QZMPError&) { return V::number(1); }
QZMPRuntimeValue yieldTwo(QZMPArguments, QZMPScope&, QZMPError&) { return V::number(2); }

TEST_F(RegistrarTest, ALaterRegistrationReplacesAnOpcode) {
  QZMPCommandRegistrar registrar;
  registrar.registerEvaluator(QZMPCommandEvaluator("first", {{5, &yieldOne, QZMPDispatch::raw, QZMPArity::any()},
                                                             {6, &yieldOne, QZMPDispatch::raw, QZMPArity::any()}}));
  registrar.registerEvaluator(QZMPCommandEvaluator("second", {{6, &yieldTwo, QZMPDispatch::raw, QZMPArity::any()}}));
  EXPECT_EQ(registrar.evaluatorForCommand("5")->name(), "first");
  EXPECT_EQ(registrar.evaluatorForCommand("6")->name(), "second");
  EXPECT_EQ(registrar.evaluatorForCommand("7"), nullptr);
  EXPECT_EQ(registrar.evaluatorForCommand("06"), nullptr);
  EXPECT_EQ(registrar.evaluatorForCommand("6")->allSupportedCommands(), std::vector<std::string>{"6"});

  QZMPRuntime runtime({.registrar = &registrar});
  EXPECT_EQ(QZMPRun(runtime, "(5) (6)").describe(), "2");
  // An evaluator asked for an opcode it lacks gives undefined, no error.
  QZMPError error;
  const V result = registrar.evaluatorForCommand("5")->evaluateCommand("9", {}, runtime.globalScope(), error);
  EXPECT_TRUE(result.isUndefined());
  EXPECT_FALSE(error);
}

// The standard families with none of the registrar's direct paths: every
// statement goes through its command's handler.
const QZMPCommandRegistrar& handlersOnlyRegistrar() {
  static const QZMPCommandRegistrar* const registrar = [] {
    auto* made = new QZMPCommandRegistrar();
    made->registerEvaluator(QZMPBitwiseCommandEvaluator());
    made->registerEvaluator(QZMPComparisonCommandEvaluator());
    made->registerEvaluator(QZMPControlCommandEvaluator());
    made->registerEvaluator(QZMPLogicalCommandEvaluator());
    made->registerEvaluator(QZMPLoopCommandEvaluator());
    made->registerEvaluator(QZMPMathCommandEvaluator());
    made->registerEvaluator(QZMPVariableCommandEvaluator());
    made->registerArrayMethods(QZMPArrayMethods());
    made->registerStringMethods(QZMPStringMethods());
    return made;
  }();
  return *registrar;
}

struct Outcome {
  std::string outcome;
  std::uint64_t instructions;
};

Outcome runUnder(const QZMPCommandRegistrar& registrar, std::uint64_t limit, const std::string& program) {
  QZMPRuntime runtime({.instructionLimit = limit, .registrar = &registrar});
  const std::string outcome = QZMPRun(runtime, program).describe();
  return {outcome, runtime.getInstructionCount()};
}

// Blocks nested `depth` deep around the statement, so that a name of the
// global scope is that many scopes away.
std::string nested(int depth, const std::string& statement) {
  std::string text = statement;
  for (int i = 0; i < depth; ++i) text = "(block " + text + ")";
  return text;
}

// The direct paths (names resolved once per statement, operands read in
// place, a body's return handed back without its value) must be invisible:
// every program gives the same value or error and the same count as through
// the handlers alone, also when the limit stops it at any one evaluation.
TEST(DirectPaths, ChangeNoResultErrorOrCount) {
  const std::string programs[] = {
      // Shadowing: a name the statement found in the global scope is later
      // declared nearer, then the nearer scope is gone again.
      "(var \"x\" \"r\") (assign \"x\" \"outer\") (assign \"r\" (array))"
      "(function \"read\" (array) (return (get \"x\")))"
      "(function \"h\" (array \"n\") (call (get \"r\") \"push\" (array (get \"x\")))"
      "  (var \"x\") (assign \"x\" (get \"n\")) (call (get \"r\") \"push\" (array (get \"x\" ) ($read))))"
      "($h 1) ($h 2) (call (get \"r\") \"push\" (array ($read) (get \"x\")))"
      "(call (get \"r\") \"join\" (array \",\"))",
      // The same statement finds the name globally, then in the call's scope
      // once the body has declared it there.
      "(var \"x\" \"r\" \"i\") (assign \"x\" \"g\") (assign \"r\" \"\") (assign \"i\" 0)"
      "(function \"h\" (array) (while (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1)) false"
      "  (list (assign \"r\" (+ (get \"r\") (get \"x\"))) (var \"x\") (assign \"x\" (get \"i\")))))"
      "($h) (array (get \"r\") (get \"x\"))",
      // Closures over the fresh binding of each iteration.
      "(var \"fs\" \"i\" \"s\" \"f\") (assign \"fs\" (array)) (assign \"s\" 0) (assign \"i\" 0)"
      "(for (array \"i\") (< (get \"i\") 4) (assign \"i\" (+ (get \"i\") 1))"
      "  (list (call (get \"fs\") \"push\" (array (fn \"\" (array) (return (* (get \"i\") 2)))))))"
      "(forof \"f\" (get \"fs\") (list (assign \"s\" (+ (* (get \"s\") 10) ($f)))))"
      "(get \"s\")",
      // Constants keep their value; an undeclared name cannot be assigned.
      "(const \"k\" 1) (assign \"k\" 2) (get \"k\")",
      "(var \"a\") (assign \"a\" 1) (assign \"nope\" (+ (get \"a\") 1))",
      "(assign 5 1)",
      "(get 5)",
      "(var \"n\") (assign \"n\" \"a\") (get (+ (get \"n\") \"\"))",
      // Returns written in a body, and nested in its statements.
      "(function \"none\" (array) (return)) ($none)",
      "(function \"two\" (array) (return 1 2)) ($two)",
      "(function \"bad\" (array) (return (assign \"zz\" 1)) 5) ($bad)",
      "(function \"brk\" (array) (return (break))) (typeof ($brk))",
      "(function \"loose\" (array) (break) 7) (typeof ($loose))",
      "(function \"last\" (array \"v\") (+ (get \"v\") 1)) ($last 4)",
      "(function \"inner\" (array \"v\") (if (> (get \"v\") 2) (list (return \"big\")) (list (return \"small\"))) 9)"
      "(+ ($inner 1) ($inner 3))",
      "(function \"fib\" (array \"n\") (if (< (get \"n\") 2) (list (return (get \"n\"))))"
      "  (return (+ ($fib (- (get \"n\") 1)) ($fib (- (get \"n\") 2))))) ($fib 6)",
      // Operators on operands that are not both numbers, and wrong counts.
      "(var \"t\") (assign \"t\" \"10\") (array (+ (get \"t\") 1) (< (get \"t\") 9) (=== (get \"t\") \"10\")"
      "  (% (get \"t\") 4) (- (array) 1) (!== (get \"t\") (get \"t\")))",
      "(+ 1)",
      "(< 1 2 3)",
      "(var \"m\") (assign \"m\" (map \"a\" 1)) (+ (get \"m\") (prop (get \"m\") \"a\"))",
      // Method calls whose arguments are written as an array literal.
      "(var \"a\" \"o\") (assign \"a\" (array)) (call (get \"a\") \"push\" (array 1 (+ 1 1) \"3\"))"
      "(call (get \"a\") \"push\" (array 4 5 6 7 8 9 10 11 12))"
      "(assign \"o\" (map \"twice\" (fn \"\" (array \"v\") (return (* (get \"v\") 2)))))"
      "(array (call (get \"a\") \"join\" (array \"-\")) (call (get \"o\") \"twice\" (array (prop (get \"a\") 0)))"
      "  (call \"abc\" \"indexOf\" (array \"c\")) (call (get \"a\") \"indexOf\" (array)))",
      "(call (array 1) 5 (array 2))",
      "(call undefined \"push\" (array 1))",
      "(call (array) \"nothing\" (array 1))",
      "(call (array) \"push\" (array (assign \"nope\" 1)))",
      "(call (array) \"push\" 1)",
      "(var \"l\") (assign \"l\" (array 1 2)) (call (get \"l\") \"push\" (get \"l\")) (get \"l\")",
      // Branches: as values, as lists written in place or handed over, and
      // with wrong counts or conditions that are no Boolean.
      "(array (if true) (if false 1) (if true 5 6) (if 0 5 6) (if \"\" 1 (+ 2 3)) (if (array) \"yes\"))",
      "(var \"n\") (assign \"n\" 0) (if (< (get \"n\") 1) (list (assign \"n\" 1) (assign \"n\" (+ (get \"n\") 1))"
      "  1 2 3 4 5 6 7 8 (get \"n\")) (list 0))",
      "(if false 1 (pass (list 7 8)))",
      "(function \"f\" (array) (while true 1 false (list (if true (list (break)))))"
      "  (if true (list (return 3))) 4) ($f)",
      "(if (break) 1 2)",
      "(if true 1 2 3)",
      "(if)",
      "(if (assign \"nope\" 1) 1 2)",
      // Recursion up to the depth limit, each level inside a return.
      "(function \"down\" (array \"n\") (return ($down (+ (get \"n\") 1)))) ($down 0)",
      // A name many scopes away is charged for the walk.
      "(var \"far\" \"count\") (assign \"far\" 3) (assign \"count\" 0)" +
          nested(20,
                 "(while (< (get \"count\") 3) (assign \"count\" (+ (get \"count\") (get \"far\"))) false"
                 "  (list (assign \"count\" (+ (get \"count\") 1))))") +
          "(get \"count\")",
      "(var \"v\") (assign \"v\" 2)" + nested(40, "(var \"w\") (assign \"w\" (* (get \"v\") (get \"v\")))"),
  };
  for (const std::string& program : programs) {
    const Outcome whole = runUnder(handlersOnlyRegistrar(), 1'000'000, program);
    const Outcome wholeDirect = runUnder(QZMPCommandRegistrar::sharedInstance(), 1'000'000, program);
    ASSERT_EQ(wholeDirect.outcome, whole.outcome) << program;
    ASSERT_EQ(wholeDirect.instructions, whole.instructions) << program;
    // Every stopping point of the shorter programs.
    if (whole.instructions > 1000) continue;
    for (std::uint64_t limit = 0; limit <= whole.instructions + 1; ++limit) {
      const Outcome expected = runUnder(handlersOnlyRegistrar(), limit, program);
      const Outcome direct = runUnder(QZMPCommandRegistrar::sharedInstance(), limit, program);
      ASSERT_EQ(direct.outcome, expected.outcome) << "limit " << limit << ": " << program;
      ASSERT_EQ(direct.instructions, expected.instructions) << "limit " << limit << ": " << program;
    }
  }
}

TEST(SharedRegistrar, IsWhatARuntimeUsesByDefault) {
  QZMPRuntime runtime;
  EXPECT_EQ(&runtime.registrar(), &QZMPCommandRegistrar::sharedInstance());
}

}  // namespace
