#include <gtest/gtest.h>

#include <string>

#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "command_test_support.h"

namespace {

class ArrayCommandsTest : public QZMPRuntimeTest {};

// Callbacks every row may use, and "holey": [1, <hole>, 3].
constexpr const char* kHelpers =
    "(function \"double\" (array \"x\") (return (* (get \"x\") 2)))"
    "(function \"add\" (array \"a\" \"b\") (return (+ (get \"a\") (get \"b\"))))"
    "(function \"even\" (array \"x\") (return (=== (% (get \"x\") 2) 0)))"
    "(function \"byNumber\" (array \"a\" \"b\") (return (- (get \"a\") (get \"b\"))))"
    "(var \"holey\") (assign \"holey\" (array 1)) (setprop (get \"holey\") 2 3)";

struct Case {
  std::string program;
  std::string outcome;
};

// "[1,2,3].m(args)" as a method call on a fresh array literal.
std::string on(const std::string& elements, const std::string& method, const std::string& arguments = "") {
  return "(call (array " + elements + ") \"" + method + "\" (array " + arguments + "))";
}

void expectOutcomes(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(QZMPOutcomeAndNotes(std::string(kHelpers) + c.program), c.outcome) << c.program;
  }
}

TEST_F(ArrayCommandsTest, VisitingCallbacks) {
  expectOutcomes({
      {on("1 2 3", "map", "(get \"double\")"), "[2, 4, 6] seen []"},
      {on("1 2 3 4", "filter", "(get \"even\")"), "[2, 4] seen []"},
      {on("2 4", "every", "(get \"even\")"), "true seen []"},
      {on("2 3", "every", "(get \"even\")"), "false seen []"},
      {on("", "every", "(get \"even\")"), "true seen []"},
      {on("1 2", "some", "(get \"even\")"), "true seen []"},
      {on("", "some", "(get \"even\")"), "false seen []"},
      // Callbacks get the element, its index and the array.
      {on("\"a\" \"b\"", "forEach", "(fn \"\" (array \"x\" \"i\" \"all\") ($note (array (get \"x\") (get \"i\") (get \"all\"))))"),
       "undefined seen [[\"a\", 0, [\"a\", \"b\"]], [\"b\", 1, [\"a\", \"b\"]]]"},
      // Holes are skipped, and map leaves them unwritten.
      {"(call (get \"holey\") \"map\" (array (fn \"\" (array \"x\" \"i\") ($note (get \"i\")) (return (get \"x\")))))",
       "[1, <hole>, 3] seen [0, 2]"},
      {"(call (get \"holey\") \"filter\" (array (fn \"\" (array) (return true))))", "[1, 3] seen []"},
      // Every and some stop at the first answer.
      {on("1 2 3", "some", "(fn \"\" (array \"x\") ($note (get \"x\")) (return (=== (get \"x\") 2)))"),
       "true seen [1, 2]"},
      {on("1 2 3", "every", "(fn \"\" (array \"x\") ($note (get \"x\")) (return (< (get \"x\") 2)))"),
       "false seen [1, 2]"},
      // Only the elements present at the start are visited.
      {"(var \"a\") (assign \"a\" (array 1 2))"
       "(call (get \"a\") \"forEach\" (array (fn \"\" (array \"x\" \"i\" \"all\")"
       "  (call (get \"all\") \"push\" (array 9)) ($note (get \"x\")))))"
       "(get \"a\")",
       "[1, 2, 9, 9] seen [1, 2]"},
      // Shortening the array skips what is gone.
      {"(call (array 1 2 3) \"forEach\" (array (fn \"\" (array \"x\" \"i\" \"all\")"
       "  (call (get \"all\") \"pop\" (array)) ($note (get \"x\")))))",
       "undefined seen [1, 2]"},
      {on("1 2", "map", "5"), "error glint 10 seen []"},
      {on("1 2", "forEach"), "error glint 9 seen []"},
      {on("1 2", "every", "(get \"even\") 1"), "error glint 9 seen []"},
      {on("1 2", "map", "(fn \"\" (array \"x\") ($note (get \"x\")) (+ 1))"), "error glint 9 seen [1]"},
      // A result with no truth value is an error.
      {on("1", "filter", "(fn \"\" (array) (break))"), "error glint 3 seen []"},
  });
}

TEST_F(ArrayCommandsTest, Reduce) {
  const std::string noteAndAdd =
      "(fn \"\" (array \"a\" \"b\" \"i\") ($note (array (get \"a\") (get \"b\") (get \"i\"))) "
      "(return (+ (get \"a\") (get \"b\"))))";
  expectOutcomes({
      {on("1 2 3", "reduce", noteAndAdd), "6 seen [[1, 2, 1], [3, 3, 2]]"},
      {on("1 2 3", "reduceRight", noteAndAdd), "6 seen [[3, 2, 1], [5, 1, 0]]"},
      {on("1 2 3", "reduce", noteAndAdd + " 10"), "16 seen [[10, 1, 0], [11, 2, 1], [13, 3, 2]]"},
      {on("", "reduce", noteAndAdd + " 10"), "10 seen []"},
      {on("\"x\"", "reduce", noteAndAdd), "\"x\" seen []"},
      {on("", "reduce", "(get \"add\")"), "error glint 8 seen []"},
      {on("", "reduceRight", "(get \"add\")"), "error glint 8 seen []"},
      // Holes are skipped, also when looking for the first value.
      {"(setprop (get \"holey\") 0 undefined) (setprop (get \"holey\") \"length\" 5)"
       "(call (get \"holey\") \"reduce\" (array (get \"add\")))",
       "NaN seen []"},
      {"(setprop (get \"holey\") \"length\" 1) (setprop (get \"holey\") \"length\" 3)"
       "(call (get \"holey\") \"reduceRight\" (array (get \"add\")))",
       "1 seen []"},
      {"(setprop (get \"holey\") \"length\" 0) (setprop (get \"holey\") \"length\" 3)"
       "(call (get \"holey\") \"reduce\" (array (get \"add\")))",
       "error glint 8 seen []"},
      {on("1", "reduce", "5"), "error glint 10 seen []"},
      {on("1", "reduce", "(get \"add\") (break)"), "error glint 10 seen []"},
      {on("1", "reduce"), "error glint 9 seen []"},
      {on("1 2", "reduce", "(fn \"\" (array) (+ 1))"), "error glint 9 seen []"},
  });
}

TEST_F(ArrayCommandsTest, SearchingAndTesting) {
  expectOutcomes({
      {on("1 2 1", "indexOf", "1"), "0 seen []"},
      {on("1 2 1", "indexOf", "1 1"), "2 seen []"},
      {on("1 2 3", "indexOf", "3 3"), "-1 seen []"},
      {on("1 2 3", "indexOf", "1 -1"), "-1 seen []"},
      {on("1 2 3", "indexOf", "3 -1"), "2 seen []"},
      {on("1 2 3", "indexOf", "1 -10"), "0 seen []"},
      {on("1 2 3", "indexOf", "1 NaN"), "0 seen []"},
      {on("1 2 3", "indexOf", "1 Infinity"), "-1 seen []"},
      {on("1 2 3", "indexOf", "1 -Infinity"), "0 seen []"},
      {on("\"1\" 1", "indexOf", "1"), "1 seen []"},
      {on("NaN", "indexOf", "NaN"), "-1 seen []"},
      {on("undefined", "indexOf"), "0 seen []"},
      {on("1 2 1", "lastIndexOf", "1"), "2 seen []"},
      {on("1 2 1", "lastIndexOf", "1 1"), "0 seen []"},
      {on("1 2 3", "lastIndexOf", "1 -10"), "-1 seen []"},
      {on("1 2 3", "lastIndexOf", "3 -1"), "2 seen []"},
      {on("1 2 3", "lastIndexOf", "3 NaN"), "2 seen []"},
      {on("1 2 3", "lastIndexOf", "3 100"), "2 seen []"},
      {on("", "lastIndexOf", "3"), "-1 seen []"},
      {on("1", "indexOf", "1 2 3"), "error glint 9 seen []"},
      {on("1 2", "hasOwnProperty", "\"length\""), "true seen []"},
      {on("1 2", "hasOwnProperty", "1"), "true seen []"},
      {on("1 2", "hasOwnProperty", "\"1\""), "true seen []"},
      {on("1 2", "hasOwnProperty", "2"), "false seen []"},
      {on("1 2", "hasOwnProperty", "\"x\""), "false seen []"},
      {"(call (get \"holey\") \"hasOwnProperty\" (array 1))", "false seen []"},
      {"(setprop (get \"holey\") \"x\" 0) (call (get \"holey\") \"hasOwnProperty\" (array \"x\"))", "true seen []"},
      {on("1", "hasOwnProperty"), "error glint 9 seen []"},
  });
}

TEST_F(ArrayCommandsTest, CopiesAndText) {
  expectOutcomes({
      {on("1 2 3", "slice", "-2"), "[2, 3] seen []"},
      {on("1 2 3", "slice", "2 1"), "[] seen []"},
      {on("1 2 3", "slice"), "[1, 2, 3] seen []"},
      {on("1 2 3", "slice", "1.7 -1.5"), "[2] seen []"},
      {on("1 2 3", "slice", "1 -0.5"), "[] seen []"},
      {on("1 2 3", "slice", "-10 10"), "[1, 2, 3] seen []"},
      {on("1 2 3", "slice", "NaN \"2\""), "[1, 2] seen []"},
      {"(call (get \"holey\") \"slice\" (array 1))", "[<hole>, 3] seen []"},
      {on("1 2", "concat", "3 (array 4 5) (array (array 6))"), "[1, 2, 3, 4, 5, [6]] seen []"},
      {"(call (get \"holey\") \"concat\" (array (get \"holey\")))", "[1, <hole>, 3, 1, <hole>, 3] seen []"},
      {on("1", "concat", "(break)"), "error glint 10 seen []"},
      {on("1 null 2 undefined", "join"), "\"1,,2,\" seen []"},
      {on("1 2", "join", "undefined"), "\"12\" seen []"},
      {on("1 2", "join", "null"), "\"12\" seen []"},
      {on("1 2", "join", "\" - \""), "\"1 - 2\" seen []"},
      {on("1 2", "join", "0"), "\"102\" seen []"},
      {on("", "join"), "\"\" seen []"},
      {on("1 (array 2 3)", "toString"), "\"1,2,3\" seen []"},
      {on("1", "toString", "1"), "error glint 9 seen []"},
      {on("1", "join", "1 2"), "error glint 9 seen []"},
      // A value that contains itself cannot be written out.
      {"(var \"a\") (assign \"a\" (array 1)) (call (get \"a\") \"push\" (array (get \"a\"))) "
       "(call (get \"a\") \"join\" (array))",
       "error glint 19 seen []"},
  });
}

TEST_F(ArrayCommandsTest, InPlaceChanges) {
  // Runs a method on "a", then yields [result, a].
  auto change = [](const std::string& elements, const std::string& method, const std::string& arguments = "") {
    return "(var \"a\") (assign \"a\" (array " + elements + "))" + "(array (call (get \"a\") \"" + method +
           "\" (array " + arguments + ")) (get \"a\"))";
  };
  expectOutcomes({
      {change("1 2 3", "splice", "1"), "[[2, 3], [1]] seen []"},
      {change("1 2 3", "splice", "1 0 9"), "[[], [1, 9, 2, 3]] seen []"},
      {change("1 2 3", "splice"), "[[], [1, 2, 3]] seen []"},
      {change("1 2 3", "splice", "-1 1 \"x\" \"y\""), "[[3], [1, 2, \"x\", \"y\"]] seen []"},
      {change("1 2 3", "splice", "1 -5"), "[[], [1, 2, 3]] seen []"},
      {change("1 2 3", "splice", "1 100"), "[[2, 3], [1]] seen []"},
      {change("1 2 3", "splice", "10 1 4"), "[[], [1, 2, 3, 4]] seen []"},
      {change("", "push", "1 2"), "[2, [1, 2]] seen []"},
      {change("1", "push"), "[1, [1]] seen []"},
      {change("1", "unshift", "2 3"), "[3, [2, 3, 1]] seen []"},
      {change("1 2", "pop"), "[2, [1]] seen []"},
      {change("", "pop"), "[undefined, []] seen []"},
      {change("1 2", "shift"), "[1, [2]] seen []"},
      {change("", "shift"), "[undefined, []] seen []"},
      {change("1 2", "pop", "1"), "error glint 9 seen []"},
      {change("1 2 3", "reverse"), "[[3, 2, 1], [3, 2, 1]] seen []"},
      // Sort: text order by default; holes last, undefined just before them.
      {change("10 9 1", "sort"), "[[1, 10, 9], [1, 10, 9]] seen []"},
      {change("10 9 1", "sort", "(get \"byNumber\")"), "[[1, 9, 10], [1, 9, 10]] seen []"},
      {"(setprop (get \"holey\") 3 undefined) (setprop (get \"holey\") 4 0)"
       "(call (get \"holey\") \"sort\" (array (get \"byNumber\")))",
       "[0, 1, 3, undefined, <hole>] seen []"},
      {change("1", "sort", "5"), "[[1], [1]] seen []"},
      {change("2 1", "sort", "5"), "error glint 10 seen []"},
      {change("2 1", "sort", "(get \"add\") 1"), "error glint 9 seen []"},
  });
}

TEST_F(ArrayCommandsTest, SortSurvivesHostileComparators) {
  const std::string prelude =
      "(var \"a\" \"calls\") (assign \"calls\" 0)"
      "(assign \"a\" (array 5 3 8 1 9 2 7 4 6 0 5 3))";
  const Case cases[] = {
      // Answers that contradict each other still give every element once.
      {"(call (get \"a\") \"sort\" (array (fn \"\" (array \"x\" \"y\")"
       "  (assign \"calls\" (+ (get \"calls\") 1)) (return (?: (% (get \"calls\") 2) -1 1)))))"
       "(call (call (get \"a\") \"slice\" (array)) \"sort\" (array (get \"byNumber\")))",
       "[0, 1, 2, 3, 3, 4, 5, 5, 6, 7, 8, 9]"},
      // A comparator that empties and refills the array sorts the original.
      {"(call (get \"a\") \"sort\" (array (fn \"\" (array \"x\" \"y\")"
       "  (setprop (get \"a\") \"length\" 0) (call (get \"a\") \"push\" (array \"junk\"))"
       "  (return (- (get \"x\") (get \"y\"))))))"
       "(get \"a\")",
       "[0, 1, 2, 3, 3, 4, 5, 5, 6, 7, 8, 9]"},
      // Results that are not numbers count as equal.
      {"(call (get \"a\") \"sort\" (array (fn \"\" (array) (return \"x\"))))", "[5, 3, 8, 1, 9, 2, 7, 4, 6, 0, 5, 3]"},
      // A failing comparator ends the sort with its error; the array keeps
      // every element.
      {"(call (get \"a\") \"sort\" (array (fn \"\" (array \"x\" \"y\")"
       "  (if (|| (=== (get \"x\") 9) (=== (get \"y\") 9)) (list (+ 1))) (return 0))))",
       "error glint 9"},
      {"(call (get \"a\") \"sort\" (array (fn \"\" (array) (return (break)))))", "error glint 4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QZMPOutcomeOf({kHelpers, prelude, c.program}), c.outcome) << c.program;
  }
  EXPECT_EQ(QZMPOutcomeOf({kHelpers, prelude,
                           "(call (get \"a\") \"sort\" (array (fn \"\" (array) (+ 1))))",
                           "(call (call (get \"a\") \"slice\" (array)) \"sort\" (array (get \"byNumber\")))"}),
            "[0, 1, 2, 3, 3, 4, 5, 5, 6, 7, 8, 9]");
  // A comparator that never returns ends at the instruction limit.
  EXPECT_EQ(QZMPOutcomeOf({kHelpers, prelude, "(call (get \"a\") \"sort\" (array (fn \"\" (array) (while true 1 false (list)))))"}),
            "error glint 18");
}

TEST_F(ArrayCommandsTest, UnknownMethodsAndNamedFunctions) {
  expectOutcomes({
      {on("1", "nope"), "error glint 17 seen []"},
      // A function stored under a method's name is called instead.
      {"(var \"a\") (assign \"a\" (array 1)) (setprop (get \"a\") \"push\" (fn \"\" (array \"x\") (return \"own\")))"
       "(call (get \"a\") \"push\" (array 2))",
       "\"own\" seen []"},
      {"(var \"a\") (assign \"a\" (array 1)) (setprop (get \"a\") \"push\" 5) (call (get \"a\") \"push\" (array 2))",
       "error glint 17 seen []"},
  });
}

TEST_F(ArrayCommandsTest, BulkWorkIsChargedToTheRun) {
  // A million-element array costs far fewer statements to make than the
  // budget allows; copying it over and over must still run out of budget.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"a\") (assign \"a\" (array)) (setprop (get \"a\") \"length\" 1000000)"
                           "(while true 1 false (list (call (get \"a\") \"slice\" (array))))"}),
            "error glint 18");
  EXPECT_EQ(QZMPOutcomeOf({"(var \"s\") (assign \"s\" \"x\")"
                           "(while true 1 false (list (assign \"s\" (+ (get \"s\") (get \"s\")))))"}),
            "error glint 20");
  // Comparing two long equal texts over and over.
  EXPECT_EQ(QZMPOutcomeOf({"(var \"s\" \"t\") (assign \"s\" \"x\")"
                           "(while (< (prop (get \"s\") \"length\") 1048576) 1 false"
                           "  (list (assign \"s\" (+ (get \"s\") (get \"s\")))))"
                           "(assign \"t\" (+ (get \"s\") \"\"))"
                           "(while true 1 false (list (=== (get \"s\") (get \"t\"))))"}),
            "error glint 18");
}

}  // namespace
