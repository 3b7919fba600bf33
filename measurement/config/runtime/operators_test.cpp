#include <gtest/gtest.h>

#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "command_test_support.h"

namespace {

class OperatorsTest : public QZMPRuntimeTest {};

struct Case {
  const char* program;
  const char* outcome;
};

void expectOutcomes(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(QZMPOutcomeOf({c.program}), c.outcome) << c.program;
}

TEST_F(OperatorsTest, Arithmetic) {
  expectOutcomes({
      {"(+ 1 2)", "3"},
      {"(+ \"1\" 2)", "\"12\""},
      {"(+ 1 \"2\")", "\"12\""},
      // Arrays, maps and functions next to anything are text.
      {"(+ (array 1 2) 3)", "\"1,23\""},
      {"(+ (map) 1)", "\"[object Object]1\""},
      {"(+ 1 (fn \"f\" (array)))", "\"1f\""},
      {"(+ true null)", "1"},
      {"(+ undefined 1)", "NaN"},
      {"(+ 1 2 3)", "error glint 9"},
      {"(+ 1)", "error glint 9"},
      // Controls convert to nothing.
      {"(+ (break) 1)", "error glint 4"},
      {"(+ (break) \"a\")", "error glint 5"},
      {"(- 5 \"2\")", "3"},
      {"(- \" 7 \" true)", "6"},
      {"(* 3 \"x\")", "NaN"},
      {"(* 1e300 1e300)", "Infinity"},
      {"(/ 1 0)", "Infinity"},
      {"(/ -1 0)", "-Infinity"},
      {"(/ 0 0)", "NaN"},
      {"(% 5.5 2)", "1.5"},
      {"(% -5 3)", "-2"},
      {"(% 5 0)", "NaN"},
      {"(% Infinity 3)", "NaN"},
      {"(% 3 Infinity)", "3"},
      // Negating zero gives negative zero, which divides to -Infinity.
      {"(/ 1 (neg 0))", "-Infinity"},
      {"(neg \"4\")", "-4"},
      {"(neg 1 2)", "error glint 9"},
      {"(first \"a\" 2)", "\"a\""},
      {"(first33 (array) 2)", "[]"},
      {"(pass null)", "null"},
      {"(pass35 1 2)", "error glint 9"},
  });
}

TEST_F(OperatorsTest, Equality) {
  expectOutcomes({
      {"(== undefined null)", "true"},
      {"(== null 0)", "false"},
      {"(== undefined false)", "false"},
      {"(== \"1\" 1)", "true"},
      {"(== 1 \"1\")", "true"},
      {"(== true 1)", "true"},
      {"(== true \"1\")", "true"},
      {"(== \"abc\" \"abc\")", "true"},
      {"(== NaN NaN)", "false"},
      // Objects equal only themselves, but a string compares with their text.
      {"(== (array 1) (array 1))", "false"},
      {"(== (array 1 2) \"1,2\")", "true"},
      {"(== \"1,2\" (array 1 2))", "true"},
      {"(== (array 2) 2)", "true"},
      {"(== (map) \"[object Object]\")", "true"},
      {"(== (break) (break))", "true"},
      {"(== (break) 1)", "error glint 4"},
      {"(!= null undefined)", "false"},
      {"(!= 1 2)", "true"},
      {"(=== 1 \"1\")", "false"},
      {"(=== NaN NaN)", "false"},
      {"(=== true true)", "true"},
      {"(=== \"ab\" \"ab\")", "true"},
      {"(=== null undefined)", "false"},
      {"(=== (array) (array))", "false"},
      {"(!== 1 2)", "true"},
      {"(!== \"a\" \"a\")", "false"},
      {"(=== 1 2 3)", "error glint 9"},
  });
  // The same object on both sides.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"a\") (assign \"a\" (array)) (== (get \"a\") (get \"a\"))"}), "true");
  EXPECT_EQ(QZMPOutcomeOf({"(var \"a\") (assign \"a\" (map)) (=== (get \"a\") (get \"a\"))"}), "true");
}

TEST_F(OperatorsTest, Ordering) {
  expectOutcomes({
      {"(> 2 1)", "true"},
      {"(< 2 1)", "false"},
      {"(>= 1 1)", "true"},
      {"(<= 1 1)", "true"},
      {"(<= 2 1)", "false"},
      {"(<= NaN NaN)", "false"},
      {"(>= NaN 1)", "false"},
      {"(< 1 NaN)", "false"},
      {"(< undefined 1)", "false"},
      {"(< null 1)", "true"},
      // Text against a number compares numbers; two texts compare as text.
      {"(> \"10\" 9)", "true"},
      {"(< \"10\" \"9\")", "true"},
      {"(< \"B\" \"a\")", "true"},
      {"(< \"a\" \"ab\")", "true"},
      {"(< (array 1 2) (array 1 3))", "true"},
      {"(> (array 10) 9)", "true"},
      {"(< (break) 1)", "error glint 4"},
      {"(< (array) (break))", "error glint 4"},
      {"(< 1)", "error glint 9"},
  });
}

TEST_F(OperatorsTest, ComparisonsCountTheirArgumentsBeforeEvaluatingThem) {
  EXPECT_EQ(QZMPOutcomeOf({"(var \"x\")", "(== (assign \"x\" 1) 2 3)", "(get \"x\")"}), "undefined");
  EXPECT_EQ(QZMPOutcomeOf({"(var \"x\")", "(< (assign \"x\" 1))", "(get \"x\")"}), "undefined");
  // Other eager commands evaluate everything, then count.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"x\")", "(+ (assign \"x\" 1) 2 3)", "(get \"x\")"}), "1");
  // The first failing argument stops the rest.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"x\")", "(+ (+ 1) (assign \"x\" 1))", "(get \"x\")"}), "undefined");
}

TEST_F(OperatorsTest, LogicalOperatorsShortCircuitAndYieldAnOperand) {
  expectOutcomes({
      // The failing second operand is never evaluated.
      {"(&& 0 (+ 1))", "0"},
      {"(&& \"\" (+ 1))", "\"\""},
      {"(&& 1 \"b\")", "\"b\""},
      {"(&& 1 (+ 1))", "error glint 9"},
      {"(|| \"x\" (+ 1))", "\"x\""},
      {"(|| 0 \"\")", "\"\""},
      {"(|| null (array))", "[]"},
      {"(! 0)", "true"},
      {"(! NaN)", "true"},
      {"(! (array))", "false"},
      {"(! \"\")", "true"},
      {"(&& 1)", "error glint 9"},
      {"(! 1 2)", "error glint 9"},
      {"(! (break))", "error glint 3"},
      {"(|| (return 1) 2)", "error glint 3"},
  });
}

TEST_F(OperatorsTest, BitwiseOperatorsWorkOnThirtyTwoBits) {
  expectOutcomes({
      {"(& 4294967295 1)", "1"},
      {"(& -1 4294967295)", "-1"},
      {"(~ 0)", "-1"},
      {"(~ -1)", "0"},
      {"(~ 2147483647.9)", "-2147483648"},
      {"(>>> -1 0)", "4294967295"},
      {"(>>> -8 1)", "2147483644"},
      {"(<< 1 31)", "-2147483648"},
      {"(<< 1 32)", "1"},
      {"(<< 1 -1)", "-2147483648"},
      {"(>> -8 1)", "-4"},
      {"(>> -1 31)", "-1"},
      {"(>> 1 -1)", "0"},
      {"(^ 5 3)", "6"},
      {"(| -1.5 0)", "-1"},
      {"(| 1e20 0)", "1661992960"},
      {"(| -1e20 0)", "-1661992960"},
      {"(| 4294967296 0)", "0"},
      {"(& NaN 1)", "0"},
      {"(| Infinity -Infinity)", "0"},
      {"(<< \"2\" \"1\")", "4"},
      {"(& (break) 1)", "error glint 4"},
      {"(~ 1 2)", "error glint 9"},
      {"(& 1)", "error glint 9"},
  });
}

}  // namespace
