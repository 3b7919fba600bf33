#include <gtest/gtest.h>

#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "command_test_support.h"

namespace {

class LoopsTest : public QZMPRuntimeTest {};

struct Case {
  const char* program;
  const char* outcome;
};

void expectOutcomesAndNotes(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(QZMPOutcomeAndNotes(c.program), c.outcome) << c.program;
}

TEST_F(LoopsTest, KeyAndValueLoopsWalkTheirItems) {
  expectOutcomesAndNotes({
      {"(forinvar \"k\" \"ab\" (list ($note (get \"k\"))))", "undefined seen [\"0\", \"1\"]"},
      {"(forofvar \"c\" \"ab\" (list ($note (get \"c\"))))", "undefined seen [\"a\", \"b\"]"},
      // One item per UTF-16 unit.
      {"(forofconst \"c\" \"\\uD83D\\uDE00\" (list ($note (get \"c\"))))",
       "undefined seen [\"\\uD83D\", \"\\uDE00\"]"},
      {"(forofvar \"v\" (array 1 null) (list ($note (get \"v\"))))", "undefined seen [1, null]"},
      // Named properties first, then the indexes present.
      {"(var \"a\") (assign \"a\" (array 7 8)) (setprop (get \"a\") 3 9) (setprop (get \"a\") \"x\" 1)"
       "(forinvar \"k\" (get \"a\") (list ($note (get \"k\"))))",
       "undefined seen [\"x\", \"0\", \"1\", \"3\"]"},
      // Holes read as undefined in a value loop.
      {"(var \"a\") (assign \"a\" (array 7)) (setprop (get \"a\") 2 9)"
       "(forofvar \"v\" (get \"a\") (list ($note (get \"v\"))))",
       "undefined seen [7, undefined, 9]"},
      {"(forinvar \"k\" (map \"b\" 1 \"a\" 2) (list ($note (get \"k\"))))", "undefined seen [\"b\", \"a\"]"},
      {"(var \"f\") (assign \"f\" (fn \"f\" (array))) (setprop (get \"f\") \"p\" 1)"
       "(forinconst \"k\" (get \"f\") (list ($note (get \"k\"))))",
       "undefined seen [\"p\"]"},
      // Other values have no keys, and no values to walk.
      {"(forin \"k\" 5 (list ($note 1)))", "undefined seen []"},
      {"(forinvar \"k\" null (list ($note 1)))", "undefined seen []"},
      {"(forof \"v\" 5 (list))", "error glint 16 seen []"},
      {"(forofvar \"v\" (map \"a\" 1) (list))", "error glint 16 seen []"},
      // The body must be a list, even when there is nothing to walk.
      {"(forin \"k\" 5 5)", "error glint 10 seen []"},
      {"(forofvar \"v\" (array 1) 5)", "error glint 10 seen []"},
      {"(forofvar \"v\" 5 5)", "error glint 16 seen []"},
      {"(forofvar (break) (array 1) (list))", "error glint 5 seen []"},
      {"(forofvar \"v\" (array 1))", "error glint 9 seen []"},
      // Items are taken before the first iteration.
      {"(var \"a\") (assign \"a\" (array 1 2))"
       "(forofvar \"v\" (get \"a\") (list (call (get \"a\") \"push\" (array 3)) ($note (get \"v\"))))",
       "undefined seen [1, 2]"},
      {"(var \"m\") (assign \"m\" (map \"a\" 1))"
       "(forinvar \"k\" (get \"m\") (list (setprop (get \"m\") \"b\" 2) ($note (get \"k\"))))",
       "undefined seen [\"a\"]"},
      // An error in the body ends the loop.
      {"(forofvar \"v\" (array 1 2) (list ($note (get \"v\")) (+ 1)))", "error glint 9 seen [1]"},
  });
}

TEST_F(LoopsTest, BindingKinds) {
  expectOutcomesAndNotes({
      // Assigning loops leave the last item in the outer name.
      {"(var \"k\") (forin \"k\" (array 5 6) (list)) ($note (get \"k\"))", "1 seen [\"1\"]"},
      {"(var \"v\") (forof \"v\" (array 5 6) (list)) ($note (get \"v\"))", "1 seen [6]"},
      // An undeclared name is created in the current scope.
      {"(forof \"w\" \"xy\" (list)) ($note (get \"w\"))", "1 seen [\"y\"]"},
      // Per-iteration bindings stay inside the loop.
      {"(forofvar \"u\" (array 5 6) (list)) ($note (typeof (get \"u\")))", "1 seen [\"undefined\"]"},
      // A constant ignores assignment, without an error.
      {"(forinconst \"k\" (array 7 8) (list (assign \"k\" 9) ($note (get \"k\"))))", "undefined seen [\"0\", \"1\"]"},
      {"(forofconst \"v\" (array 7 8) (list (assign \"v\" 9) ($note (get \"v\"))))", "undefined seen [7, 8]"},
      {"(forofvar \"v\" (array 7 8) (list (assign \"v\" 9) ($note (get \"v\"))))", "undefined seen [9, 9]"},
  });
  // Each iteration's binding is its own: closures made in the body keep it.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"fs\") (assign \"fs\" (array))"
                           "(forofvar \"v\" (array \"a\" \"b\")"
                           "  (list (call (get \"fs\") \"push\" (array (fn \"\" (array) (return (get \"v\")))))))"
                           "(call (get \"fs\") \"map\" (array (fn \"\" (array \"f\") (return ($f)))))"}),
            "[\"a\", \"b\"]");
}

TEST_F(LoopsTest, WhileLoops) {
  expectOutcomesAndNotes({
      {"(var \"i\") (assign \"i\" 0)"
       "(while (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1)) false (list ($note (get \"i\"))))"
       "(get \"i\")",
       "3 seen [0, 1, 2]"},
      // Do-while runs the body once before the first test, without the update.
      {"(while false ($note \"update\") true (list ($note \"body\")))", "undefined seen [\"body\"]"},
      {"(while false ($note \"update\") false (list ($note \"body\")))", "undefined seen []"},
      // Continue still runs the update.
      {"(var \"i\") (assign \"i\" 0)"
       "(while (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1)) false (list (continue) ($note \"never\")))"
       "(get \"i\")",
       "3 seen []"},
      {"(while true ($note \"update\") false (list ($note \"body\") (break)))", "undefined seen [\"body\"]"},
      {"(while true ($note \"update\") true (list (break)))", "undefined seen []"},
      {"(while true 1 false (list (return 4)))", "<return 4> seen []"},
      {"(while true (+ 1) false (list ($note \"body\")))", "error glint 9 seen [\"body\"]"},
      {"(while (break) 1 false (list))", "error glint 3 seen []"},
      {"(while false 1 (break) (list))", "error glint 3 seen []"},
      {"(while false 1 false 5)", "error glint 10 seen []"},
      {"(while false 1 false)", "error glint 9 seen []"},
  });
}

TEST_F(LoopsTest, CountingLoops) {
  expectOutcomesAndNotes({
      {"(var \"i\") (assign \"i\" 0)"
       "(for (array \"i\") (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1)) (list ($note (get \"i\"))))"
       "(get \"i\")",
       "0 seen [0, 1, 2]"},
      // Several names, each copied from the iteration before.
      {"(var \"i\" \"j\") (assign \"i\" 0) (assign \"j\" 10)"
       "(for (array \"i\" \"j\") (< (get \"i\") 2) (assign \"i\" (+ (get \"i\") 1))"
       "  (list (assign \"j\" (+ (get \"j\") 1)) ($note (array (get \"i\") (get \"j\")))))",
       "undefined seen [[0, 11], [1, 12]]"},
      // A name the scope chain lacks starts as undefined.
      {"(for (array \"n\") (=== (get \"n\") undefined) (assign \"n\" 1) (list ($note \"once\")))",
       "undefined seen [\"once\"]"},
      {"(for (array) false 1 (list ($note 1)))", "undefined seen []"},
      // A name declared in the body is fresh in every iteration.
      {"(var \"i\") (assign \"i\" 0)"
       "(for (array \"i\") (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1))"
       "  (list ($note (typeof (get \"t\"))) (var \"t\") (assign \"t\" 1)))",
       "undefined seen [\"undefined\", \"undefined\", \"undefined\"]"},
      // A loop name the body makes a constant: the next iteration's binding
      // is fresh again and counts on.
      {"(var \"i\") (assign \"i\" 0)"
       "(for (array \"i\") (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1))"
       "  (list ($note (get \"i\")) (const \"i\" (get \"i\"))))",
       "undefined seen [0, 1, 2]"},
      {"(var \"i\") (assign \"i\" 0)"
       "(for (array \"i\") true (assign \"i\" (+ (get \"i\") 1))"
       "  (list (if (=== (get \"i\") 1) (list (continue))) (if (=== (get \"i\") 3) (list (break))) ($note (get \"i\"))))",
       "undefined seen [0, 2]"},
      {"(for (array) true 1 (list (return \"out\")))", "<return \"out\"> seen []"},
      {"(for \"i\" true 1 (list))", "error glint 10 seen []"},
      {"(for (array \"i\") true 1 5)", "error glint 10 seen []"},
      // The body is checked before the names are read.
      {"(for (array (break)) true 1 5)", "error glint 10 seen []"},
      {"(for (array (break)) true 1 (list))", "error glint 5 seen []"},
      {"(for (array) (break) 1 (list))", "error glint 3 seen []"},
      {"(for (array) true (+ 1) (list ($note 1)))", "error glint 9 seen [1]"},
      {"(for (array) true 1)", "error glint 9 seen []"},
  });
}

TEST_F(LoopsTest, EachIterationOfACountingLoopHasItsOwnBindings) {
  EXPECT_EQ(QZMPOutcomeOf({"(var \"i\" \"fs\") (assign \"i\" 0) (assign \"fs\" (array))"
                           "(for (array \"i\") (< (get \"i\") 3) (assign \"i\" (+ (get \"i\") 1))"
                           "  (list (call (get \"fs\") \"push\" (array (fn \"\" (array) (return (get \"i\")))))))"
                           "(call (get \"fs\") \"map\" (array (fn \"\" (array \"f\") (return ($f)))))"}),
            "[0, 1, 2]");
  // A closure that changes its binding changes only its own iteration's,
  // and the next iteration starts from what that one left.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"i\" \"fs\") (assign \"i\" 0) (assign \"fs\" (array))"
                           "(for (array \"i\") (< (get \"i\") 6) (assign \"i\" (+ (get \"i\") 1))"
                           "  (list (call (get \"fs\") \"push\" (array (fn \"\" (array) (return (get \"i\")))))"
                           "        (assign \"i\" (+ (get \"i\") 1))))"
                           "(call (get \"fs\") \"map\" (array (fn \"\" (array \"f\") (return ($f)))))"}),
            "[1, 3, 5]");
}

TEST_F(LoopsTest, BreakContinueAndReturnReachTheRightConstruct) {
  expectOutcomesAndNotes({
      // Inner break and continue act on the inner loop; a return leaves the
      // function from any depth.
      {"(function \"walk\" (array)"
       "  (forofvar \"i\" (array 1 2 3)"
       "    (list (var \"j\") (assign \"j\" 0)"
       "          (for (array \"j\") (< (get \"j\") 3) (assign \"j\" (+ (get \"j\") 1))"
       "            (list (if (=== (get \"j\") 1) (list (continue)))"
       "                  ($note (+ (* (get \"i\") 10) (get \"j\")))"
       "                  (if (=== (get \"i\") 2) (list (break)))))"
       "          (if (=== (get \"i\") 3) (list (return \"done\")))))"
       "  (return \"not reached\"))"
       "($walk)",
       "\"done\" seen [10, 12, 20, 30, 32]"},
      // A break in a switch ends the switch; a continue in it goes to the
      // loop's next iteration.
      {"(forofvar \"v\" (array 1 2 3)"
       "  (list (switch (get \"v\") (list 1 2) (list (run (list ($note \"one\") (break))) (continue)))"
       "        ($note (get \"v\"))))",
       "undefined seen [\"one\", 1, 3]"},
      {"(var \"i\") (assign \"i\" 0)"
       "(while true (assign \"i\" (+ (get \"i\") 1)) false"
       "  (list (block (if (> (get \"i\") 2) (list (break)))) ($note (get \"i\"))))",
       "undefined seen [0, 1, 2]"},
      // Nested while loops: the inner break leaves only the inner loop.
      {"(var \"i\" \"j\") (assign \"i\" 0)"
       "(while (< (get \"i\") 2) (assign \"i\" (+ (get \"i\") 1)) false"
       "  (list (assign \"j\" 0)"
       "        (while true (assign \"j\" (+ (get \"j\") 1)) false"
       "          (list (if (=== (get \"j\") 2) (list (break))) ($note (array (get \"i\") (get \"j\")))))))",
       "undefined seen [[0, 0], [0, 1], [1, 0], [1, 1]]"},
      // A return from a key loop nested in a value loop.
      {"(function \"find\" (array \"m\")"
       "  (forofvar \"row\" (get \"m\")"
       "    (list (forinvar \"k\" (get \"row\")"
       "            (list (if (=== (prop (get \"row\") (get \"k\")) 0) (list (return (get \"k\"))))))))"
       "  (return -1))"
       "($find (array (array 3 4) (array 5 0 6)))",
       "\"1\" seen []"},
  });
}

TEST_F(LoopsTest, EndlessLoopsStopAtTheInstructionLimit) {
  for (const char* program : {
           "(while true 1 false (list))",
           "(for (array \"i\") true (assign \"i\" (+ (get \"i\") 1)) (list))",
           "(var \"i\") (assign \"i\" 0) (while true 1 true (list (assign \"i\" (+ (get \"i\") 1))))",
       }) {
    EXPECT_EQ(QZMPOutcomeOf({program}), "error glint 18") << program;
  }
}

}  // namespace
