#include <gtest/gtest.h>

#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "command_test_support.h"

namespace {

class ControlTest : public QZMPRuntimeTest {};

struct Case {
  const char* program;
  const char* outcome;
};

void expectOutcomes(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(QZMPOutcomeOf({c.program}), c.outcome) << c.program;
}

TEST_F(ControlTest, ListsBlocksSequencesAndBranches) {
  expectOutcomes({
      // A list holds its statements unevaluated.
      {"(list 1 (+ 1 2))", "[1, (0 1 2)]"},
      {"(list)", "[]"},
      {"(run (list 1 (+ 1 2)))", "3"},
      {"(run9 (list))", "undefined"},
      {"(run (list (return 3) 4))", "<return 3>"},
      {"(run (list (+ 1) 4))", "error glint 9"},
      {"(run 5)", "error glint 10"},
      {"(run (list 1) 2)", "error glint 9"},
      {"(block 1 2)", "2"},
      {"(block)", "undefined"},
      {"(block (break) 2)", "<break>"},
      {"(seq 1 2 3)", "3"},
      {"(seq 1 (break))", "error glint 10"},
      {"(seq)", "error glint 9"},
      {"(if true)", "undefined"},
      {"(if false 1)", "undefined"},
      {"(if true 5 6)", "5"},
      {"(if 0 5 6)", "6"},
      // A list branch runs, and its control value comes out.
      {"(if true (list 1 2))", "2"},
      {"(if true (list (break) 2))", "<break>"},
      {"(if \"\" 1 (list (continue)))", "<continue>"},
      {"(if (break) 1)", "error glint 3"},
      {"(if)", "error glint 9"},
      {"(if 1 2 3 4)", "error glint 9"},
      {"(?: 1 2 (+ 1))", "2"},
      {"(?: \"\" (+ 1) 3)", "3"},
      {"(?: 1 (list 1) 3)", "[1]"},
      {"(?: 1 2)", "error glint 9"},
      {"(break)", "<break>"},
      {"(continue)", "<continue>"},
      {"(break 1)", "error glint 9"},
      {"(return)", "<return undefined>"},
      {"(return (+ 2 3))", "<return 5>"},
      {"(return 1 2)", "error glint 9"},
  });
  // A block's declarations stay in it; its assignments reach outer names.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"o\") (block (var \"i\") (assign \"o\" 5))", "(+ (get \"o\") (typeof (get \"i\")))"}),
            "\"5undefined\"");
  // A list that rewrites itself while it runs still runs as it was.
  EXPECT_EQ(QZMPOutcomeAndNotes("(var \"l\")"
                                "(assign \"l\" (list (setprop (get \"l\") 1 (prop (list ($note \"new\")) 0))"
                                "                      ($note \"old\")))"
                                "(run (get \"l\"))"),
            "1 seen [\"old\"]");
}

TEST_F(ControlTest, SwitchFallsThroughUntilBreak) {
  // Bodies note their letter; d is the default.
  auto program = [](const std::string& discriminant,
                    const std::string& bodies = "(list ($note \"a\") ($note \"b\") ($note \"c\") ($note \"d\"))") {
    return "(switch " + discriminant + " (list 1 2 3) " + bodies + ")";
  };
  const struct {
    std::string program;
    std::string outcome;
  } cases[] = {
      {program("2"), "undefined seen [\"b\", \"c\", \"d\"]"},
      {program("1"), "undefined seen [\"a\", \"b\", \"c\", \"d\"]"},
      // No case matches: the default alone. Cases compare strictly.
      {program("9"), "undefined seen [\"d\"]"},
      {program("\"2\""), "undefined seen [\"d\"]"},
      {program("2", "(list ($note \"a\") (run (list ($note \"b\") (break))) ($note \"c\") ($note \"d\"))"),
       "undefined seen [\"b\"]"},
      {program("2", "(list ($note \"a\") (run (list ($note \"b\") (return 7))) ($note \"c\"))"),
       "<return 7> seen [\"b\"]"},
      {program("3", "(list ($note \"a\") ($note \"b\") (continue) ($note \"d\"))"), "<continue> seen []"},
      // As many bodies as cases: no default.
      {program("9", "(list ($note \"a\") ($note \"b\") ($note \"c\"))"), "undefined seen []"},
      // Fewer bodies than cases: the missing ones are empty.
      {program("1", "(list ($note \"a\"))"), "undefined seen [\"a\"]"},
      {program("2", "(list ($note \"a\"))"), "undefined seen []"},
      {"(switch 1 (list 1) (list))", "undefined seen []"},
      // Cases are evaluated only until one matches.
      {"(switch 1 (list ($note 1) ($note 2)) (list))", "undefined seen [1]"},
      {"(switch 1 (list (+ 1)) (list))", "error glint 9 seen []"},
      {program("1", "(list ($note \"a\") (+ 1) ($note \"c\"))"), "error glint 9 seen [\"a\"]"},
      // Lists that are not arrays are a count error.
      {"(switch 1 5 (list))", "error glint 9 seen []"},
      {"(switch 1 (list) 5)", "error glint 9 seen []"},
      {"(switch 1 (list))", "error glint 9 seen []"},
  };
  for (const auto& c : cases) EXPECT_EQ(QZMPOutcomeAndNotes(c.program), c.outcome) << c.program;
}

TEST_F(ControlTest, FunctionsAndMethodCalls) {
  expectOutcomes({
      {"(fn \"f\" (array \"a\") (return (get \"a\")))", "<function f>"},
      {"(function \"inc\" (array \"a\") (return (+ (get \"a\") 1))) ($inc 4)", "5"},
      {"(function \"g\" (array \"a\" \"b\") (return (typeof (get \"b\")))) ($g 1)", "\"undefined\""},
      // The last value comes back when nothing returns.
      {"(function \"h\" (array) 1 2) ($h)", "2"},
      // A number in the parameter list names a parameter "3".
      {"(function \"p\" (array 3) (return (get \"3\"))) ($p 7)", "7"},
      // The name is taken as written, not evaluated.
      {"(fn (+ 1 2) (array))", "error glint 5"},
      {"(fn 12 (array))", "<function 12>"},
      {"(fn \"f\" 5)", "error glint 10"},
      {"(fn \"f\" (array (break)))", "error glint 5"},
      {"(fn \"f\")", "error glint 9"},
      // Recursion through the declared name.
      {"(function \"fact\" (array \"n\")"
       "  (if (<= (get \"n\") 1) (list (return 1)))"
       "  (return (* (get \"n\") ($fact (- (get \"n\") 1)))))"
       "($fact 10)",
       "3628800"},
      {"(call (array 1 2) \"join\" (array \"-\"))", "\"1-2\""},
      {"(call 5 \"toString\" (array))", "\"5\""},
      {"(call true \"toString\" (array))", "\"true\""},
      {"(call (map \"m\" (fn \"m\" (array \"x\") (return (* 2 (get \"x\"))))) \"m\" (array 21))", "42"},
      {"(call (map \"a\" 1) \"hasOwnProperty\" (array \"a\"))", "true"},
      {"(call (map \"a\" 1) \"a\" (array))", "error glint 17"},
      {"(call null \"toString\" (array))", "error glint 7"},
      {"(call undefined \"x\" (array))", "error glint 7"},
      {"(call (array) 5 (array))", "error glint 10"},
      {"(call (array) \"join\" 5)", "error glint 10"},
      {"(call (array) \"nope\" (array))", "error glint 17"},
      {"(call \"abc\" \"nope\" (array))", "error glint 17"},
      {"(call 1 \"nope\" (array))", "error glint 17"},
      {"(call (array) \"join\")", "error glint 9"},
  });
  // A declaration that fails binds nothing.
  EXPECT_EQ(QZMPOutcomeOf({"(function \"bad\" 5)", "(typeof (get \"bad\"))"}), "\"undefined\"");
  // A closure keeps the scope it was made in.
  EXPECT_EQ(QZMPOutcomeOf({"(function \"counter\" (array)"
                           "  (var \"n\") (assign \"n\" 0)"
                           "  (return (fn \"next\" (array) (return (assign \"n\" (+ (get \"n\") 1))))))"
                           "(var \"c\") (assign \"c\" ($counter))"
                           "($c) ($c) ($c)"}),
            "3");
}

TEST_F(ControlTest, NamesAreDeclaredReadAndAssigned) {
  expectOutcomes({
      {"(var \"a\" \"b\") (assign \"a\" 1) (get \"a\")", "1"},
      {"(var \"a\") (get \"a\")", "undefined"},
      {"(get \"nowhere\")", "undefined"},
      {"(assign \"nowhere\" 1)", "error glint 2"},
      {"(var \"a\") (assign \"a\" (+ 1 1))", "2"},
      {"(var 1)", "error glint 10"},
      {"(get 1)", "error glint 10"},
      {"(get)", "error glint 9"},
      {"(assign 1 2)", "error glint 10"},
      {"(assign \"a\")", "error glint 9"},
      // Constants keep their first value; assigning them is no error.
      {"(const \"k\" 1 \"j\" 2) (assign \"k\" 3) (var \"k\") (+ (get \"k\") (get \"j\"))", "3"},
      {"(const \"k\")", "error glint 9"},
      {"(const 1 2)", "error glint 10"},
      // Assignment reaches the enclosing declaration.
      {"(var \"o\") (block (assign \"o\" 5)) (get \"o\")", "5"},
      {"(undefined 1 2)", "undefined"},
      {"(null)", "null"},
      // Their arguments are still evaluated.
      {"(null (+ 1))", "error glint 9"},
  });
  // Declarations stop at the first bad name; earlier names stay bound.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"p\" 2 \"q\")", "(assign \"p\" 1)"}), "1");
  EXPECT_EQ(QZMPOutcomeOf({"(var \"p\" 2 \"q\")", "(assign \"q\" 1)"}), "error glint 2");
  EXPECT_EQ(QZMPOutcomeOf({"(const \"p\" 1 2 3)", "(get \"p\")"}), "1");
}

TEST_F(ControlTest, PropertiesByTheKindOfTheObject) {
  expectOutcomes({
      {"(prop \"abc\" \"length\")", "3"},
      {"(prop \"abc\" 1)", "\"b\""},
      {"(prop \"abc\" \"01\")", "\"b\""},
      {"(prop \"abc\" 3)", "undefined"},
      {"(prop \"abc\" -1)", "undefined"},
      {"(prop \"abc\" 1.5)", "undefined"},
      {"(prop \"abc\" \"x\")", "undefined"},
      {"(prop \"\\uD83D\\uDE00\" 1)", "\"\\uDE00\""},
      {"(prop (array 1 2) \"length\")", "2"},
      {"(prop (array 1 2) 1)", "2"},
      {"(prop17 (array 1 2) \"1\")", "2"},
      {"(prop (array 1 2) 2)", "undefined"},
      {"(prop (map \"a\" 1) \"a\")", "1"},
      {"(prop (map \"1\" 1) 1)", "1"},
      {"(prop (map) \"a\")", "undefined"},
      {"(prop (fn \"f\" (array)) \"x\")", "undefined"},
      {"(prop 5 \"x\")", "undefined"},
      {"(prop true \"x\")", "undefined"},
      {"(prop null \"x\")", "undefined"},
      {"(prop undefined \"x\")", "undefined"},
      {"(prop (map) (break))", "error glint 5"},
      {"(prop (array))", "error glint 9"},
      {"(setprop 5 \"x\" 1)", "1"},
      {"(setprop \"s\" 0 \"t\")", "\"t\""},
      {"(setprop null \"x\" 1)", "error glint 6"},
      {"(setprop undefined \"x\" 1)", "error glint 6"},
      {"(setprop (array) \"length\" -1)", "error glint 11"},
      {"(setprop (map) (break) 1)", "error glint 5"},
      {"(setprop (map) 1)", "error glint 9"},
      {"(var \"a\") (assign \"a\" (array 1)) (setprop (get \"a\") 2 \"z\") (get \"a\")", "[1, <hole>, \"z\"]"},
      {"(var \"a\") (assign \"a\" (array 1 2 3)) (setprop (get \"a\") \"length\" 1) (get \"a\")", "[1]"},
      {"(var \"a\") (assign \"a\" (array)) (setprop (get \"a\") \"x\" 1) (get \"a\")", "[\"x\": 1]"},
      {"(var \"m\") (assign \"m\" (map)) (setprop (get \"m\") 1 2) (get \"m\")", "{\"1\": 2}"},
      {"(var \"f\") (assign \"f\" (fn \"f\" (array))) (setprop (get \"f\") \"k\" 2) (prop (get \"f\") \"k\")", "2"},
  });
}

TEST_F(ControlTest, LiteralsAndTypeNames) {
  expectOutcomes({
      {"(array 1 \"a\" (array) (+ 1 1))", "[1, \"a\", [], 2]"},
      {"(array)", "[]"},
      // A later equal key replaces the earlier value.
      {"(map 1 \"x\" \"1\" \"y\")", "{\"1\": \"y\"}"},
      {"(map \"a\" 1 \"b\" (array))", "{\"a\": 1, \"b\": []}"},
      {"(map (array 1 2) 3)", "{\"1,2\": 3}"},
      {"(map 1)", "error glint 9"},
      {"(map (break) 1)", "error glint 5"},
      {"(typeof null)", "\"object\""},
      {"(typeof (array))", "\"object\""},
      {"(typeof (map))", "\"object\""},
      {"(typeof (fn \"f\" (array)))", "\"function\""},
      {"(typeof 1)", "\"number\""},
      {"(typeof \"s\")", "\"string\""},
      {"(typeof undefined)", "\"undefined\""},
      {"(typeof true)", "\"boolean\""},
      {"(typeof (break))", "\"object\""},
      {"(typeof)", "error glint 9"},
  });
}

TEST_F(ControlTest, RecursionThroughAnyConstructEndsAtTheDepthLimit) {
  for (const char* body : {
           "(if true (list ($r)))",
           "(?: true ($r) 1)",
           "(block ($r))",
           "(seq ($r))",
           "(&& true ($r))",
           "(run (list ($r)))",
           "(switch 1 (list 1) (list ($r)))",
           "(for (array) true 1 (list ($r)))",
           "(while true 1 false (list ($r)))",
           "(forofvar \"v\" (array 1) (list ($r)))",
           "(forin \"k\" \"a\" (list ($r)))",
           "(call (array 1) \"map\" (array (get \"r\")))",
           "(call (array 2 1) \"sort\" (array (get \"r\")))",
           "(call (array 1) \"reduce\" (array (get \"r\") 0))",
           "(call (map \"m\" (get \"r\")) \"m\" (array))",
       }) {
    EXPECT_EQ(QZMPOutcomeOf({std::string("(function \"r\" (array) ") + body + ") ($r)"}), "error glint 19") << body;
  }
}

TEST_F(ControlTest, ABranchWrittenAsAListCountsAsMakingAndRunningTheList) {
  // "pass" hands the branch the list as a value; a list written in place
  // must cost exactly the same, less that one "pass".
  auto instructions = [](std::string_view program) {
    QZMPRuntime runtime;
    const QZMPOutcome outcome = QZMPRun(runtime, program);
    EXPECT_FALSE(outcome.error) << program;
    return runtime.getInstructionCount();
  };
  for (const char* list : {"(list)", "(list 1 2)", "(list 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17)"}) {
    const std::string inPlace = std::string("(if true ") + list + ")";
    const std::string asValue = std::string("(if true (pass ") + list + "))";
    EXPECT_EQ(instructions(inPlace) + 1, instructions(asValue)) << list;
  }
}

}  // namespace
