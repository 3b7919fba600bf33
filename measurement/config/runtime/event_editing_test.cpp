#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using foundation::Object;

// Objects with their storage: 2 is an integer, 2.0 a floating number.
std::string describe(const Object& object) {
  switch (object.kind()) {
    case Object::Kind::integer:
      return std::to_string(object.int64Value());
    case Object::Kind::floating: {
      std::string text = foundation::formatDouble(object.doubleValue());
      return text.find_first_of(".e") == std::string::npos ? text + ".0" : text;
    }
    case Object::Kind::string:
      return "\"" + *object.string() + "\"";
    case Object::Kind::array: {
      std::string out = "[";
      for (const Object& item : *object.array()) out += (out.size() > 1 ? ", " : "") + describe(item);
      return out + "]";
    }
    case Object::Kind::dictionary: {
      std::string out = "{";
      for (const auto& [key, value] : *object.dictionary()) {
        out += (out.size() > 1 ? ", " : "") + key + ": " + describe(value);
      }
      return out + "}";
    }
    default:
      return object.description();
  }
}

std::string describe(const QZMPEvent& event) {
  return event.name() + " @" + foundation::formatDouble(event.timestamp()) + " " +
         describe(Object(event.parameters()));
}

// The event every program below handles.
QZMEditEvent purchase() {
  return QZMEditEvent{"purchase", 1000, {{"count", Object(3)}, {"_value", Object(1.5)}, {"label", Object("x")}}};
}

// Every program gets the two editing modules under short names.
constexpr std::string_view kPrelude =
    "(const \"register\" ($require \"internal.registerCallback\") \"logEvent\" ($require \"internal.eventLogger\"))";

class EventEditingTest : public testkit::FoundationTest {
 protected:
  ~EventEditingTest() override { EXPECT_EQ(QZMPObject::liveCount(), 0) << "runtime objects outlived the test"; }

  // Loads the prelude and the program into the instance; the outcome as
  // "loaded" or the error.
  static std::string load(QZMPEventEditing& editing, std::string_view program) {
    auto message = QZMPAssembleProgram(std::string(kPrelude) + " " + std::string(program));
    if (!message) return "does not assemble: " + message.error().description;
    QZMPError error;
    const bool loaded = editing.loadProgram(**message, error);
    EXPECT_EQ(loaded, !error.isSet());
    return loaded ? "loaded" : QZMPDescribe(error);
  }

  // Handles the event; the result, the output event and the queued events.
  static std::string handle(QZMPEventEditing& editing, const QZMEditEvent& event = purchase()) {
    QZMPError error;
    const bool changed = editing.handleEvent(event, error);
    std::string out = error ? QZMPDescribe(error) : changed ? "changed" : "unchanged";
    out += " | " + describe(editing.eventContext().outputEvent());
    for (const QZMPEvent& queued : editing.eventContext().eventsToLog()) out += " | queued " + describe(queued);
    return out;
  }
};

TEST_F(EventEditingTest, NumbersAreStoredAsTheValueTheyReplace) {
  const struct {
    const char* name;
    std::optional<Object> reference;
    Object value;
    const char* stored;
  } cases[] = {
      {"count", Object(3), Object(2.5), "2"},
      {"count", Object(3), Object(-2.5), "-2"},
      {"_count", Object(3), Object(2.5), "2.5"},
      {"price", Object(1.5), Object(3.0), "3.0"},
      {"label", Object("x"), Object(3.0), "\"3\""},
      {"label", Object("x"), Object(2.5), "\"2.5\""},
      {"label", Object("x"), Object(1e21), "\"1e+21\""},
      {"_err", std::nullopt, Object(2.7), "2"},
      {"_syn", Object("x"), Object(1.5), "1"},
      {"_el", Object(1.5), Object(-7.9), "-7"},
      {"fresh", std::nullopt, Object(3.5), "3.5"},
      {"items", Object(foundation::Array{}), Object(3.5), "3.5"},
      {"count", Object(3), Object("text"), "\"text\""},
      {"_err", std::nullopt, Object("text"), "\"text\""},
  };
  for (const auto& c : cases) {
    const Object* reference = c.reference ? &*c.reference : nullptr;
    EXPECT_EQ(describe(QZMPTypeMatchedValue(c.name, c.value, reference)), c.stored)
        << c.name << " = " << describe(c.value);
  }
}

TEST_F(EventEditingTest, EventsAreEqualOnlyWithTheSameNameTimeAndParameters) {
  // Times compare within 2^-52 whatever their size.
  const QZMPEvent base("e", 0.25, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1)})}});
  const struct {
    QZMPEvent other;
    bool equal;
  } cases[] = {
      {QZMPEvent("e", 0.25, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1)})}}), true},
      {QZMPEvent("e", 0.25 + 1e-16, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1)})}}), true},
      {QZMPEvent("e", 0.25 + 1e-15, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1)})}}), false},
      {QZMPEvent("f", 0.25, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1)})}}), false},
      // The storage of a parameter matters, that of a nested value not.
      {QZMPEvent("e", 0.25, {{"n", Object(1.0)}, {"items", Object(foundation::Array{Object(1)})}}), false},
      {QZMPEvent("e", 0.25, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1.0)})}}), true},
      {QZMPEvent("e", 0.25, {{"n", Object(2)}, {"items", Object(foundation::Array{Object(1)})}}), false},
      // A removed or an added parameter is a difference either way round.
      {QZMPEvent("e", 0.25, {{"n", Object(1)}}), false},
      {QZMPEvent("e", 0.25, {{"n", Object(1)}, {"items", Object(foundation::Array{Object(1)})}, {"m", Object(0)}}),
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base.isEqualToEvent(c.other), c.equal) << describe(c.other);
    EXPECT_EQ(c.other.isEqualToEvent(base), c.equal) << describe(c.other);
  }
  QZMPEvent edited = base;
  edited.setParameter(Object(), "n");
  EXPECT_FALSE(edited.hasParameterName("n"));
  edited.setParameter(Object(), "absent");
  EXPECT_EQ(describe(edited), "e @0.25 {items: [1]}");
}

TEST_F(EventEditingTest, EditCallbacksChangeTheEventUnlessTheyGiveNoNumberOrTwo) {
  const struct {
    const char* body;
    const char* outcome;
  } cases[] = {
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 2.5)) (return 0)",
       "changed | purchase @1000 {_value: 1.5, count: 2, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 2.5)) (return 1)",
       "changed | purchase @1000 {_value: 1.5, count: 2, label: \"x\"}"},
      // Nothing, 2, or a number whose 32-bit form is 2^32 - 1 drops them.
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 2.5))",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 2.5)) (return 2)",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 2.5)) (return -1)",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 2.5)) (return \"0\")",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      // Setting the value a parameter has is no change.
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 3)) (return 0)",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"_value\" 2)) (return 0)",
       "changed | purchase @1000 {_value: 2.0, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"label\" 7)) (return 0)",
       "changed | purchase @1000 {_value: 1.5, count: 3, label: \"7\"}"},
      // Null removes, and removing is an edit; undefined stores "".
      {"(call (get \"e\") \"setParamValue\" (array \"count\" null)) (return 0)",
       "changed | purchase @1000 {_value: 1.5, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"count\" (undefined))) (return 0)",
       "changed | purchase @1000 {_value: 1.5, count: \"\", label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"absent\" null)) (return 0)",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"list\" (array 1 null \"a\"))) (return 0)",
       "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\", list: [1.0, \"a\"]}"},
      {"(call (get \"e\") \"setEventName\" (array 5)) (return 0)",
       "changed | 5 @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      // What the getters give, written back into a parameter.
      {"(call (get \"e\") \"setParamValue\" (array \"seen\" (+ (call (get \"e\") \"getEventName\" (array)) "
       "(call (get \"e\") \"getTimestamp\" (array))))) (return 0)",
       "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\", seen: \"purchase1000\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"copy\" (call (get \"e\") \"getParamValue\" (array \"count\")))) "
       "(return 0)",
       "changed | purchase @1000 {_value: 1.5, copy: 3.0, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"copy\" (typeof (call (get \"e\") \"getParamValue\" "
       "(array \"absent\"))))) (return 0)",
       "changed | purchase @1000 {_value: 1.5, copy: \"object\", count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"copy\" (prop (call (get \"e\") \"getParams\" (array)) "
       "\"label\"))) (return 0)",
       "changed | purchase @1000 {_value: 1.5, copy: \"x\", count: 3, label: \"x\"}"},
      // A failing callback's changes are dropped and its error is the event's.
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 9)) (+ 1) (return 0)",
       "error glint 9 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setEventName\" (array null))",
       "error glint 10 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"getEventName\" (array 1))",
       "error glint 9 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"n\"))",
       "error glint 9 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      // Other methods are those of a map.
      {"(call (get \"e\") \"setParamValue\" (array \"text\" (call (get \"e\") \"toString\" (array)))) (return 0)",
       "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\", text: \"[object Object]\"}"},
      {"(call (get \"e\") \"rename\" (array))", "error glint 17 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      // Dropping changes puts back what each name and parameter held before
      // the callback, however often it changed them.
      {"(call (get \"e\") \"setParamValue\" (array \"count\" 9)) (call (get \"e\") \"setParamValue\" (array \"count\" null))"
       "(call (get \"e\") \"setParamValue\" (array \"count\" 7)) (call (get \"e\") \"setParamValue\" (array \"added\" 1))"
       "(call (get \"e\") \"setParamValue\" (array \"label\" null)) (call (get \"e\") \"setEventName\" (array \"a\"))"
       "(call (get \"e\") \"setEventName\" (array \"b\")) (return 2)",
       "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"(call (get \"e\") \"setParamValue\" (array \"added\" 1)) (call (get \"e\") \"setParamValue\" (array \"added\" 2))"
       "(call (get \"e\") \"setEventName\" (array \"b\")) (+ 1)",
       "error glint 9 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
  };
  for (const auto& c : cases) {
    QZMPEventEditing editing;
    ASSERT_EQ(load(editing, std::string("(function \"edit\" (array \"e\") ") + c.body +
                                ") ($register 0 (get \"edit\") (map \"type\" \"edit\"))"),
              "loaded")
        << c.body;
    EXPECT_EQ(handle(editing), c.outcome) << c.body;
    EXPECT_EQ(editing.hasEdits(), std::string_view(c.outcome).starts_with("changed")) << c.body;
    EXPECT_FALSE(editing.hasCreatedEvents());
  }
}

TEST_F(EventEditingTest, DroppedChangesReturnToWhatTheEarlierCallbacksLeft) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (function "keep" (array "e") (call (get "e") "setParamValue" (array "count" 9))
        (call (get "e") "setEventName" (array "kept")) (return 0))
      (function "drop" (array "e") (call (get "e") "setParamValue" (array "count" 1))
        (call (get "e") "setParamValue" (array "label" null)) (call (get "e") "setEventName" (array "dropped")))
      ($register 0 (get "keep") (map "type" "edit")) ($register 1 (get "drop") (map "type" "edit"))
      ($register 2 (get "drop") (map "type" "edit")))"),
            "loaded");
  EXPECT_EQ(handle(editing), "changed | kept @1000 {_value: 1.5, count: 9, label: \"x\"}");
}

TEST_F(EventEditingTest, ACallbackWhoseLastWorkTakesItPastTheLimitFailsAndItsChangesAreDropped) {
  // The callback ends in a search whose charge follows its last evaluation.
  constexpr std::string_view kProgram = R"(
      (var "big") (assign "big" (array)) (setprop (get "big") "length" 400) (setprop (get "big") 399 7)
      (function "cb" (array "e") (var "i") (assign "i" 0)
        (while (< (get "i") 100) (assign "i" (+ (get "i") 1)) false (list 0))
        (call (get "e") "setParamValue" (array "n" 1))
        (return (call (get "big") "indexOf" (array 7))))
      ($register 0 (get "cb") (map "type" "edit")))";
  QZMPEventEditing whole;
  ASSERT_EQ(load(whole, kProgram), "loaded");
  ASSERT_EQ(handle(whole), "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\", n: 1.0}");
  const std::uint64_t count = whole.runtime().getInstructionCount();
  for (std::uint64_t limit = count - 60; limit <= count; ++limit) {
    QZMPEventEditing editing({.instructionLimit = limit});
    ASSERT_EQ(load(editing, kProgram), "loaded") << limit;
    EXPECT_EQ(handle(editing), limit < count ? "error glint 18 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"
                                             : "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\", n: 1.0}")
        << "limit " << limit << " of " << count;
  }
}

TEST_F(EventEditingTest, AProgramRenamesRemovesAndAddsParametersAndLogsANewEvent) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (function "edit" (array "e")
        (call (get "e") "setEventName" (array "renamed"))
        (call (get "e") "setParamValue" (array "label" null))
        (call (get "e") "setParamValue" (array "added" "yes"))
        (return 0))
      (function "create" (array "e")
        ($logEvent "follow_up" 1234.9
          (map "count" 2.5 "label" 7 "_x" 1.5 "dropped" null "from" (call (get "e") "getEventName" (array)))))
      ($register 0 (get "edit") (map "type" "edit"))
      ($register 0 (get "create") (map "type" "create")))"),
            "loaded");
  // Queued events see the edited event; their numbers match the types the
  // input event's parameters of those names have.
  EXPECT_EQ(handle(editing),
            "changed | renamed @1000 {_value: 1.5, added: \"yes\", count: 3} | queued follow_up @1234 "
            "{_x: 1.5, count: 2, from: \"renamed\", label: \"7\"}");
  EXPECT_TRUE(editing.hasEdits());
  EXPECT_TRUE(editing.hasCreatedEvents());
  EXPECT_EQ(editing.eventContext().outputEvent().editEvent().name, "renamed");

  // Each event starts afresh: the queue is emptied, the output copied anew;
  // without input parameters to match, numbers stay as the program gave them.
  EXPECT_EQ(handle(editing, QZMEditEvent{"other", 5, {}}),
            "changed | renamed @5 {added: \"yes\"} | queued follow_up @1234 "
            "{_x: 1.5, count: 2.5, from: \"renamed\", label: 7.0}");
}

TEST_F(EventEditingTest, CallbacksRunInPriorityOrderWithinTheirKind) {
  QZMPEventEditing editing;
  // Each callback appends its letter to "order".
  ASSERT_EQ(load(editing, R"(
      (function "tag" (array "letter")
        (return (fn "" (array "e")
          (call (get "e") "setParamValue" (array "order" (+ (call (get "e") "getParamValue" (array "order")) (get "letter"))))
          (return 0))))
      ($register 0 ($tag "a") (map "type" "edit" "priority" 5))
      ($register 0 ($tag "f") (map "type" "edit"))
      ($register 0 ($tag "b") (map "type" "edit" "priority" 5))
      ($register 0 ($tag "c") (map "type" "edit" "priority" 1))
      ($register 0 ($tag "d") (map "type" "edit" "priority" 4294967295))
      ($register 0 ($tag "e") (map "type" "edit" "priority" "2147483648")))"),
            "loaded");
  // 2^32 - 1 and 2^31 read as -1 and -2^31; the second 5 becomes 1001, one
  // past the largest edit priority.
  EXPECT_EQ(editing.callbackHandler().editPriorities(),
            (std::vector<std::int64_t>{std::numeric_limits<std::int32_t>::min(), -1, 1, 5, 1000, 1001}));
  EXPECT_EQ(handle(editing, QZMEditEvent{"e", 1, {{"order", Object("")}}}), "changed | e @1 {order: \"edcafb\"}");
}

TEST_F(EventEditingTest, CallbackRegistrationIsCheckedAndBounded) {
  const struct {
    const char* call;
    const char* outcome;
  } cases[] = {
      {"($register 0 (get \"noop\") (map \"type\" \"edit\"))", "loaded"},
      {"($register 0 (get \"noop\") (map \"type\" \"create\" \"priority\" 3.7))", "loaded"},
      {"($register 0 (get \"noop\") (map))", "error editing 2"},
      {"($register 0 (get \"noop\") (map \"priority\" 1))", "error editing 2"},
      {"($register 0 (get \"noop\") (map \"type\" \"delete\"))", "error editing 3"},
      {"($register 0 5 (map \"type\" \"edit\"))", "error glint 10"},
      {"($register 0 (get \"noop\") (array))", "error glint 10"},
      {"($register 0 (get \"noop\"))", "error glint 9"},
      {"($register 0 (get \"noop\") (map \"type\" \"edit\" \"priority\" (list (+ 1))))", "error glint 5"},
  };
  for (const auto& c : cases) {
    QZMPEventEditing editing;
    EXPECT_EQ(load(editing, std::string("(function \"noop\" (array \"e\")) ") + c.call), c.outcome) << c.call;
  }

  // Edit and create callbacks count together against the bound.
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (function "noop" (array "e"))
      (var "i") (assign "i" 0)
      (for (array "i") (< (get "i") 999) (assign "i" (+ (get "i") 1))
        (list ($register 0 (get "noop") (map "type" (?: (% (get "i") 2) "edit" "create") "priority" 7)))))"),
            "loaded");
  EXPECT_EQ(editing.callbackHandler().callbackCount(), 999u);
  EXPECT_EQ(load(editing, "(function \"noop\" (array \"e\")) ($register 0 (get \"noop\") (map \"type\" \"edit\"))"),
            "loaded");
  EXPECT_EQ(load(editing, "($register 0 (get \"noop\") (map \"type\" \"create\"))"), "error editing 4");
  EXPECT_EQ(editing.callbackHandler().callbackCount(), 1000u);
}

TEST_F(EventEditingTest, ACallbackRegisteredDuringARunWaitsForTheNextEvent) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (function "late" (array "e") (call (get "e") "setParamValue" (array "late" 1)) (return 0))
      (function "first" (array "e")
        ($register 0 (get "late") (map "type" "edit" "priority" 2000))
        (call (get "e") "setParamValue" (array "first" (+ 1 (call (get "e") "getParamValue" (array "first")))))
        (return 0))
      ($register 0 (get "first") (map "type" "edit" "priority" 1)))"),
            "loaded");
  EXPECT_EQ(handle(editing, QZMEditEvent{"e", 1, {{"first", Object(0)}}}), "changed | e @1 {first: 1}");
  EXPECT_EQ(handle(editing, QZMEditEvent{"e", 1, {{"first", Object(0)}}}), "changed | e @1 {first: 1, late: 1.0}");
}

TEST_F(EventEditingTest, CreateCallbacksQueueEventsUpToABound) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (function "flood" (array "e")
        (var "i") (assign "i" 0)
        (for (array "i") (< (get "i") 150) (assign "i" (+ (get "i") 1))
          (list ($logEvent "flood" (get "i") (map))))
        (return 2))
      ($register 0 (get "flood") (map "type" "create")))"),
            "loaded");
  QZMPError error;
  EXPECT_TRUE(editing.handleEvent(purchase(), error));
  EXPECT_FALSE(error.isSet());
  EXPECT_EQ(editing.eventContext().eventsToLog().size(), kQZMPMaxEventsToLog);
  EXPECT_EQ(editing.eventContext().eventsToLog().back().timestamp(), double(kQZMPMaxEventsToLog - 1));
  EXPECT_FALSE(editing.hasEdits());
  // One line for the refusals of one event.
  EXPECT_EQ(linesWithCode(kQZMPEventsToLogRefusedMessageCode).size(), 1u);

  EXPECT_TRUE(editing.handleEvent(purchase(), error));
  EXPECT_EQ(linesWithCode(kQZMPEventsToLogRefusedMessageCode).size(), 2u);
}

TEST_F(EventEditingTest, AFailingCreateCallbackEndsTheEvent) {
  const struct {
    const char* call;
    const char* outcome;
  } cases[] = {
      {"($logEvent \"n\" 1 5)", "error glint 10 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"($logEvent \"n\" 1)", "error glint 9 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}"},
      {"($logEvent \"n\" \"soon\" (map))",
       "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\"} | queued n @0 {}"},
      {"($logEvent (map) -1.5 (map \"f\" (fn \"g\" (array))))",
       "changed | purchase @1000 {_value: 1.5, count: 3, label: \"x\"} | queued [object Object] @-1 {f: \"g\"}"},
  };
  for (const auto& c : cases) {
    QZMPEventEditing editing;
    ASSERT_EQ(load(editing, std::string("(function \"make\" (array \"e\") ") + c.call +
                                ") ($register 0 (get \"make\") (map \"type\" \"create\"))"),
              "loaded");
    EXPECT_EQ(handle(editing), c.outcome) << c.call;
  }
}

TEST_F(EventEditingTest, AProgramThatNeverEndsReachesTheLimitAndTheEventStaysAsItCame) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (var "runs") (assign "runs" 0)
      (function "spin" (array "e")
        (assign "runs" (+ (get "runs") 1))
        (call (get "e") "setParamValue" (array "count" 99))
        (if (< (get "runs") 2) (list (while true 0 false (list 0))))
        (return 0))
      ($register 0 (get "spin") (map "type" "edit")))"),
            "loaded");
  EXPECT_EQ(handle(editing), "error glint 18 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}");
  EXPECT_FALSE(editing.hasEdits());
  EXPECT_EQ(editing.runtime().evaluationDepth(), 0u);
  // The next event has a fresh budget.
  EXPECT_EQ(handle(editing), "changed | purchase @1000 {_value: 1.5, count: 99, label: \"x\"}");
  EXPECT_LT(editing.runtime().getInstructionCount(), 1000u);
}

TEST_F(EventEditingTest, LoadingRunsTheProgramThenEachActivityRule) {
  const struct {
    const char* program;
    const char* outcome;
  } cases[] = {
      {"(var \"x\")", "loaded"},
      {"(return 1)", "error editing 5"},
      {"(break) 1", "loaded"},  // only the last statement counts
      {"1 (continue)", "error editing 5"},
      {"(+ 1)", "error glint 9"},
      {"{type=9}", "error glint 12"},
      // Activities: each data statement must give a map, and the rule must
      // name a function, which is called with it.
      {"(function \"rule\" (array \"m\") (assign \"got\" (prop (get \"m\") \"k\"))) (var \"got\") "
       "(#activity \"rule\" (map \"k\" 1) (map \"k\" 2))",
       "loaded"},
      {"(function \"rule\" (array \"m\")) (#activity \"rule\" (array))", "error editing 6"},
      {"(#activity \"rule\" (map))", "error editing 7"},
      {"(var \"rule\") (assign \"rule\" 5) (#activity \"rule\" (map))", "error editing 7"},
      {"(function \"rule\" (array \"m\") (+ 1)) (#activity \"rule\" (map))", "error glint 9"},
      {"(function \"rule\" (array \"m\")) (#activity \"rule\" (+ 1))", "error glint 9"},
      {"(function \"rule\" (array \"m\")) (#activity \"rule\")", "loaded"},
  };
  for (const auto& c : cases) {
    QZMPEventEditing editing;
    EXPECT_EQ(load(editing, c.program), c.outcome) << c.program;
  }

  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (var "got") (assign "got" (array))
      (function "rule" (array "m") (call (get "got") "push" (array (prop (get "m") "k"))))
      (#activity "rule" (map "k" 1) (map "k" 2))
      (#activity "rule" (map "k" 3)))"),
            "loaded");
  EXPECT_EQ(QZMPRun(editing.runtime(), "(get \"got\")").describe(), "[1, 2, 3]");
}

TEST_F(EventEditingTest, AnEventNothingChangesIsReportedUnchanged) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, ""), "loaded");
  EXPECT_EQ(handle(editing), "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}");
  EXPECT_FALSE(editing.hasEdits());
  EXPECT_FALSE(editing.hasCreatedEvents());
}

TEST_F(EventEditingTest, ProgramStateLivesAcrossEventsAndCyclesAreCollected) {
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (var "seen") (assign "seen" 0)
      (var "kept")
      (function "count" (array "e")
        (assign "seen" (+ (get "seen") 1))
        (var "a" "b") (assign "a" (map)) (assign "b" (map "a" (get "a"))) (setprop (get "a") "b" (get "b"))
        (assign "kept" (get "e"))
        (call (get "e") "setParamValue" (array "seen" (get "seen")))
        (return 0))
      ($register 0 (get "count") (map "type" "edit")))"),
            "loaded");
  EXPECT_EQ(handle(editing, QZMEditEvent{"e", 1, {}}), "changed | e @1 {seen: 1.0}");
  const std::size_t tracked = editing.runtime().objectManager().trackedObjectCount();
  EXPECT_EQ(handle(editing, QZMEditEvent{"e", 1, {}}), "changed | e @1 {seen: 2.0}");
  // The two maps of each run went with it; what is kept stays the same size.
  EXPECT_EQ(editing.runtime().objectManager().trackedObjectCount(), tracked);
  // The handler object kept from the last event still reads its context.
  EXPECT_EQ(QZMPRun(editing.runtime(), "(call (get \"kept\") \"getEventName\" (array))").describe(), "\"e\"");
}

TEST_F(EventEditingTest, AProgramThatKeepsMoreMemoryThanItsBudgetIsUnloaded) {
  // Each event keeps another array of 2^18 slots (4 MiB) in a global list.
  constexpr std::string_view kHoarder = R"(
      (var "kept") (assign "kept" (array))
      (function "hoard" (array "e")
        (var "a") (assign "a" (array)) (setprop (get "a") "length" 262144)
        (call (get "kept") "push" (array (get "a")))
        (call (get "e") "setParamValue" (array "kept" (prop (get "kept") "length")))
        (return 0))
      ($register 0 (get "hoard") (map "type" "edit")))";
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, kHoarder), "loaded");
  std::vector<std::string> outcomes;
  for (int event = 0; event < 6; ++event) outcomes.push_back(handle(editing));
  const std::string unchanged = "purchase @1000 {_value: 1.5, count: 3, label: \"x\"}";
  EXPECT_EQ(outcomes, (std::vector<std::string>{
                          "changed | purchase @1000 {_value: 1.5, count: 3, kept: 1.0, label: \"x\"}",
                          "changed | purchase @1000 {_value: 1.5, count: 3, kept: 2.0, label: \"x\"}",
                          "changed | purchase @1000 {_value: 1.5, count: 3, kept: 3.0, label: \"x\"}",
                          // The fourth array takes it past 16 MiB: that event stays as it came.
                          "error glint 20 | " + unchanged,
                          "unchanged | " + unchanged,
                          "unchanged | " + unchanged,
                      }));
  ASSERT_EQ(linesWithCode(29028).size(), 1u);
  EXPECT_EQ(linesWithCode(29028)[0].level, 1);
  EXPECT_TRUE(editing.isUnloaded());
  // What the program made is gone, not merely unused.
  EXPECT_EQ(editing.runtime().objectManager().trackedObjectCount(), 0u);
  EXPECT_EQ(editing.callbackHandler().callbackCount(), 0u);

  // A program that keeps too much from the start does not load.
  QZMPEventEditing greedy;
  EXPECT_EQ(load(greedy, R"(
      (var "big") (assign "big" (array)) (setprop (get "big") "length" 1048576))"),
            "error glint 20");
  // Long texts count once however often they are kept.
  QZMPEventEditing sharing;
  EXPECT_EQ(load(sharing, R"(
      (var "s" "many") (assign "s" "x") (assign "many" (array))
      (while (< (prop (get "s") "length") 1048576) 1 false (list (assign "s" (+ (get "s") (get "s")))))
      (while (< (prop (get "many") "length") 100) 1 false (list (call (get "many") "push" (array (get "s"))))))"),
            "loaded");
}

TEST_F(EventEditingTest, AProgramThatKeepsFunctionsIsUnloadedWhenTheyOutgrowTheBudget) {
  // Each event keeps 2000 more functions of 1000 statements in a global list.
  std::string body;
  for (int i = 0; i < 1000; ++i) body += " 0";
  QZMPEventEditing editing;
  ASSERT_EQ(load(editing, R"(
      (var "kept") (assign "kept" (array))
      (function "hoard" (array "e") (var "i") (assign "i" 0)
        (while (< (get "i") 2000) (assign "i" (+ (get "i") 1)) false
          (list (call (get "kept") "push" (array (fn "" (array))" +
                              body + R"()))))
        (return 0))
      ($register 0 (get "hoard") (map "type" "edit")))"),
            "loaded");
  int events = 0;
  std::string outcome;
  while (events < 100 && !editing.isUnloaded()) {
    ++events;
    outcome = handle(editing);
  }
  // Each function holds a few hundred bytes of its own and shares the body:
  // the budget runs out after some dozens of events, not thousands.
  EXPECT_EQ(outcome, "error glint 20 | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}");
  EXPECT_GE(events, 10);
  EXPECT_LE(events, 60);
  EXPECT_EQ(linesWithCode(29028).size(), 1u);
  EXPECT_EQ(editing.runtime().objectManager().trackedObjectCount(), 0u);
  EXPECT_EQ(handle(editing), "unchanged | purchase @1000 {_value: 1.5, count: 3, label: \"x\"}");
}

TEST_F(EventEditingTest, ProgramsAimedAtUnchargedWorkEndWithinTheEventsBudget) {
  // "big" is an array of 2^18 slots; the callbacks hand it to the host.
  const struct {
    const char* program;
    const char* error;  // nullptr: the event is handled
  } cases[] = {
      {"(function \"cb\" (array \"e\")"
       "  (while true 1 false (list (call (get \"e\") \"setParamValue\" (array \"p\" (get \"big\"))))))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))",
       "error glint 18"},
      {"(function \"cb\" (array \"e\") (call (get \"e\") \"setParamValue\" (array \"p\" (get \"big\")))"
       "  (while true 1 false (list (call (get \"e\") \"getParamValue\" (array \"p\")))))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))",
       "error glint 18"},
      {"(function \"cb\" (array \"e\") (while true 1 false (list ($logEvent \"n\" 1 (map \"p\" (get \"big\"))))))"
       "($register 0 (get \"cb\") (map \"type\" \"create\"))",
       "error glint 18"},
      // One callback makes the event large; 999 whose changes are dropped
      // follow it, each taking back only what it changed.
      {"(function \"cb\" (array \"e\") (call (get \"e\") \"setParamValue\" (array \"p\" (get \"big\"))) (return 0))"
       "(function \"drop\" (array \"e\") (call (get \"e\") \"setParamValue\" (array \"count\" 1)) (return))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))"
       "(var \"i\") (assign \"i\" 0) (while (< (get \"i\") 999) (assign \"i\" (+ (get \"i\") 1)) false"
       "  (list ($register (get \"i\") (get \"drop\") (map \"type\" \"edit\"))))",
       nullptr},
  };
  for (const auto& c : cases) {
    QZMPEventEditing editing;
    ASSERT_EQ(load(editing, std::string("(var \"big\") (assign \"big\" (array)) (setprop (get \"big\") \"length\" 262144)") +
                                c.program),
              "loaded")
        << c.program;
    QZMPError error;
    const bool changed = editing.handleEvent(purchase(), error);
    EXPECT_EQ(error ? QZMPDescribe(error) : "none", c.error ? c.error : "none") << c.program;
    EXPECT_EQ(changed, c.error == nullptr) << c.program;
    // At most one conversion of "big" past the limit: its entries, and its
    // fresh memory at 32 bytes an instruction.
    EXPECT_LE(editing.runtime().getInstructionCount(),
              kQZMPInstructionLimit + 262144 + 262144 * sizeof(foundation::Object) / 32)
        << c.program;
    if (c.error == nullptr) {
      const foundation::Object* p = editing.eventContext().outputEvent().parameterForName("p");
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p->array()->size(), 262144u);
      EXPECT_EQ(editing.eventContext().outputEvent().parameterForName("count")->int64Value(), 3);
    }
  }
}

}  // namespace
