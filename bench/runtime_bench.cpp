// The event-editing interpreter beside Lua 5.4 on the same programs: a
// counting loop over 1..1e6 with a condition in its body, a function called
// 1e5 times, a closure called 1e5 times that counts in its enclosing
// function's variable, building a text by 1e4 appends, splitting a text of
// 1e5 pieces, filling an array of 1e5 numbers and summing it, and sorting
// 1e4 numbers with a comparison function. The two sides run in alternate rounds, so that
// the machine's load falls on both alike; each figure is the median of the
// rounds in milliseconds, and the ratio the median of the rounds' ratios.
// The interpreter runs without its instruction limit here.
//
// Then the worst cases known for the budget: programs that run until their
// 1,000,000 instructions are spent, each beside a plain loop spending the
// same budget, with the ratio of their times per instruction counted; the
// same for event-editing callbacks that hand large values to the host; and
// a program that keeps functions across events until it is unloaded, with
// the memory the runtime counted and the memory the process took.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 9;
constexpr int kSortLength = 10000;

void report(const std::string& name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "runtime_bench: %s\n", what.c_str());
  std::exit(1);
}

double milliseconds(const std::function<void()>& run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Medians of the two sides and of their ratio, from alternate rounds after
// one warm-up of each.
struct Comparison {
  double subject;
  double reference;
  double ratio;
};

// The same from figures each side measures itself, without a warm-up.
Comparison compareFigures(const std::function<double()>& subject, const std::function<double()>& reference) {
  std::vector<double> subjects, references, ratios;
  for (int round = 0; round < kRounds; ++round) {
    const double a = subject();
    const double b = reference();
    subjects.push_back(a);
    references.push_back(b);
    ratios.push_back(a / b);
  }
  return {median(subjects), median(references), median(ratios)};
}

Comparison compare(const std::function<void()>& subject, const std::function<void()>& reference) {
  subject();
  reference();
  return compareFigures([&] { return milliseconds(subject); }, [&] { return milliseconds(reference); });
}

// The numbers both interpreters sort: a fixed pseudo-random sequence.
std::vector<double> sortInput() {
  std::vector<double> numbers;
  std::uint32_t state = 12345;
  for (int i = 0; i < kSortLength; ++i) {
    state = state * 1664525u + 1013904223u;
    numbers.push_back(static_cast<double>(state >> 8));
  }
  return numbers;
}

struct Program {
  const char* name;
  const char* interpreter;  // the interpreter's text
  const char* lua;
  double expected;  // what both must yield
};

const Program kPrograms[] = {
    {"counting_loop_1e6",
     "(var \"sum\" \"i\") (assign \"sum\" 0) (assign \"i\" 1)"
     "(for (array \"i\") (<= (get \"i\") 1000000) (assign \"i\" (+ (get \"i\") 1))"
     "  (list (if (=== (% (get \"i\") 2) 0) (list (assign \"sum\" (+ (get \"sum\") (get \"i\")))))))"
     "(get \"sum\")",
     "local sum = 0\n"
     "for i = 1, 1000000 do\n"
     "  if i % 2 == 0 then sum = sum + i end\n"
     "end\n"
     "return sum\n",
     250000500000.0},
    {"function_calls_1e5",
     "(function \"f\" (array \"x\") (return (+ (get \"x\") 1)))"
     "(var \"acc\" \"i\") (assign \"acc\" 0) (assign \"i\" 0)"
     "(for (array \"i\") (< (get \"i\") 100000) (assign \"i\" (+ (get \"i\") 1))"
     "  (list (assign \"acc\" ($f (get \"acc\")))))"
     "(get \"acc\")",
     "local function f(x) return x + 1 end\n"
     "local acc = 0\n"
     "for i = 1, 100000 do acc = f(acc) end\n"
     "return acc\n",
     100000.0},
    {"closure_counter_1e5",
     "(function \"make\" (array) (var \"n\") (assign \"n\" 0)"
     "  (return (fn \"\" (array) (assign \"n\" (+ (get \"n\") 1)) (return (get \"n\")))))"
     "(var \"next\" \"last\" \"i\") (assign \"next\" ($make)) (assign \"i\" 0)"
     "(for (array \"i\") (< (get \"i\") 100000) (assign \"i\" (+ (get \"i\") 1))"
     "  (list (assign \"last\" ($next))))"
     "(get \"last\")",
     "local function make() local n = 0 return function() n = n + 1 return n end end\n"
     "local nxt = make()\n"
     "local last\n"
     "for i = 1, 100000 do last = nxt() end\n"
     "return last\n",
     100000.0},
    {"string_build_1e4",
     "(var \"s\" \"i\") (assign \"s\" \"\") (assign \"i\" 0)"
     "(for (array \"i\") (< (get \"i\") 10000) (assign \"i\" (+ (get \"i\") 1))"
     "  (list (assign \"s\" (+ (get \"s\") \"item,\"))))"
     "(prop (get \"s\") \"length\")",
     "local s = ''\n"
     "for i = 1, 10000 do s = s .. 'item,' end\n"
     "return #s\n",
     50000.0},
    {"string_split_1e5",
     "(prop (call (get \"text\") \"split\" (array \",\")) \"length\")",
     "local pieces = {}\n"
     "for piece in string.gmatch(text, '[^,]+') do pieces[#pieces + 1] = piece end\n"
     "return #pieces\n",
     100000.0},
    {"array_fill_sum_1e5",
     "(var \"a\" \"sum\" \"i\") (assign \"a\" (array)) (assign \"sum\" 0) (assign \"i\" 0)"
     "(for (array \"i\") (< (get \"i\") 100000) (assign \"i\" (+ (get \"i\") 1))"
     "  (list (call (get \"a\") \"push\" (array (get \"i\")))))"
     "(assign \"i\" 0)"
     "(for (array \"i\") (< (get \"i\") 100000) (assign \"i\" (+ (get \"i\") 1))"
     "  (list (assign \"sum\" (+ (get \"sum\") (prop (get \"a\") (get \"i\"))))))"
     "(get \"sum\")",
     "local a = {}\n"
     "for i = 0, 99999 do a[#a + 1] = i end\n"
     "local sum = 0\n"
     "for i = 1, 100000 do sum = sum + a[i] end\n"
     "return sum\n",
     4999950000.0},
    {"sort_1e4",
     "(var \"sorted\")"
     "(assign \"sorted\" (call (call (get \"data\") \"slice\" (array)) \"sort\""
     "  (array (fn \"\" (array \"a\" \"b\") (return (- (get \"a\") (get \"b\")))))))"
     "(- (prop (get \"sorted\") (- (prop (get \"sorted\") \"length\") 1)) (prop (get \"sorted\") 0))",
     "local t = table.move(data, 1, #data, 1, {})\n"
     "table.sort(t, function(a, b) return a < b end)\n"
     "return t[#t] - t[1]\n",
     0.0},  // set from the input below
};

// The text both sides split: 1e5 pieces separated by commas.
std::string splitInput() {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += (i ? ",p" : "p") + std::to_string(i % 10);
  return text;
}

// Runs the program once in a fresh runtime; returns its value and counts
// its evaluations. The text is made once, as Lua's is: strings are shared
// between runtimes.
double runInterpreter(const std::vector<std::shared_ptr<QZMPBRuntimeEntity>>& statements,
                      const std::vector<double>& data, const QZMPRuntimeValue& text, std::uint64_t* evaluations) {
  QZMPRuntime runtime({.instructionLimit = UINT64_MAX});
  std::vector<QZMPRuntimeValue> values;
  for (double number : data) values.push_back(QZMPRuntimeValue::number(number));
  runtime.globalScope().addValue(QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray(values, runtime.globalScope())),
                                 u"data");
  runtime.globalScope().addValue(text, u"text");
  runtime.resetInstructionCount();
  QZMPError error;
  const QZMPRuntimeValue result = runtime.executeStatements(statements, error);
  if (error) fail("the interpreter failed with code " + std::to_string(error.code()));
  if (evaluations) *evaluations = runtime.getInstructionCount();
  return result.asNumber();
}

double runLua(lua_State* lua, const char* text) {
  if (luaL_loadstring(lua, text) != LUA_OK || lua_pcall(lua, 0, 1, 0) != LUA_OK) {
    fail(std::string("Lua failed: ") + lua_tostring(lua, -1));
  }
  const double result = lua_tonumber(lua, -1);
  lua_pop(lua, 1);
  return result;
}

// Programs that spend the whole budget on work that grows with their data
// rather than with the statements they run. Each ends with code 18. Some
// start with globals made here (`setup`).
struct Hostile {
  const char* name;
  std::string text;
  std::function<void(QZMPRuntime&)> setup;
};

// "s": 2^17 units; "b" as long, differing in its last unit; "same": 1000
// times s; "copies": 20 copies of s, each its own string.
#define LONG_TEXTS                                                                              \
  "(var \"s\" \"b\" \"same\" \"copies\") (assign \"s\" \"x\")"                                       \
  "(while (< (prop (get \"s\") \"length\") 131072) 1 false"                                        \
  "  (list (assign \"s\" (+ (get \"s\") (get \"s\")))))"                                          \
  "(assign \"b\" (+ (call (get \"s\") \"slice\" (array 1)) \"y\"))"                              \
  "(assign \"same\" (array)) (assign \"copies\" (array))"                                         \
  "(while (< (prop (get \"same\") \"length\") 1000) 1 false"                                      \
  "  (list (call (get \"same\") \"push\" (array (get \"s\")))))"                                   \
  "(while (< (prop (get \"copies\") \"length\") 20) 1 false"                                      \
  "  (list (call (get \"copies\") \"push\" (array (+ (get \"s\") \"\")))))"

std::vector<std::u16string> fnvCollidingKeys(const std::u16string& prefix, std::size_t count) {
  std::vector<std::u16string> keys = QZMPFNVCollidingKeys(prefix, count);
  if (keys.size() < count || QZMPFNV1a(keys.front()) != QZMPFNV1a(keys.back())) fail("no colliding keys");
  return keys;
}

void addGlobal(QZMPRuntime& runtime, std::u16string_view name, std::vector<QZMPRuntimeValue> values) {
  runtime.globalScope().addValue(
      QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray(values, runtime.globalScope())), name);
}

std::vector<QZMPRuntimeValue> strings(const std::vector<std::u16string>& texts) {
  std::vector<QZMPRuntimeValue> values;
  for (const std::u16string& text : texts) values.push_back(QZMPRuntimeValue::string(text));
  return values;
}

// n names "p0", "p1", ...; n numbers 0.5, 1.5, ...
std::vector<QZMPRuntimeValue> names(std::size_t n) {
  std::vector<QZMPRuntimeValue> values;
  for (std::size_t i = 0; i < n; ++i) values.push_back(QZMPRuntimeValue::stringFromUTF8("p" + std::to_string(i)));
  return values;
}
std::vector<QZMPRuntimeValue> fractions(std::size_t n) {
  std::vector<QZMPRuntimeValue> values;
  for (std::size_t i = 0; i < n; ++i) values.push_back(QZMPRuntimeValue::number(static_cast<double>(i) + 0.5));
  return values;
}

std::string repeated(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

std::vector<Hostile> hostilePrograms() {
  const std::string longName = repeated("n", 1 << 17);
  const std::vector<QZMPRuntimeValue> shortKeys = strings(fnvCollidingKeys(u"k", 4096));
  const std::vector<QZMPRuntimeValue> longKeys = strings(fnvCollidingKeys(std::u16string(32786, u'x'), 127));
  const std::vector<QZMPRuntimeValue> manyNumbers = fractions(1 << 16);
  const std::vector<QZMPRuntimeValue> manyNames = names(1 << 16);
  const QZMPRuntimeValue longText = QZMPRuntimeValue::string(std::u16string(1 << 22, u'm'));
  return {
      {"plain_loop", "(while true 1 false (list 0))", nullptr},
      {"sort_same_text", LONG_TEXTS "(while true 1 false (list (call (get \"same\") \"sort\" (array))))", nullptr},
      {"sort_long_texts", LONG_TEXTS "(while true 1 false (list (call (get \"copies\") \"sort\" (array))))", nullptr},
      {"index_of_long_texts",
       LONG_TEXTS "(while true 1 false (list (call (get \"copies\") \"indexOf\" (array (get \"b\")))))", nullptr},
      {"switch_long_texts",
       LONG_TEXTS
       "(while true 1 false (list (switch (get \"b\") (list (get \"s\") (get \"s\") (get \"s\")) (list))))",
       nullptr},
      {"make_long_texts", LONG_TEXTS "(while true 1 false (list (+ (get \"s\") (get \"b\"))))", nullptr},
      {"search_long_needle",
       "(var \"t\" \"n\") (assign \"t\" \"a\")"
       "(while (< (prop (get \"t\") \"length\") 1048576) 1 false (list (assign \"t\" (+ (get \"t\") (get \"t\")))))"
       "(assign \"n\" (+ (call (get \"t\") \"slice\" (array 786432)) \"b\"))"
       "(while true 1 false (list (call (get \"t\") \"indexOf\" (array (get \"n\")))"
       "  (call (get \"t\") \"lastIndexOf\" (array (get \"n\"))) (call (get \"t\") \"split\" (array (get \"n\")))))",
       nullptr},
      {"deep_closures",
       "(var \"f\" \"L\" \"i\") (assign \"L\" (list (return (fn \"\" (array) (run (get \"L\"))))))"
       "(assign \"f\" (fn \"\" (array) (run (get \"L\")))) (assign \"i\" 0)"
       "(while (< (get \"i\") 1500) (assign \"i\" (+ (get \"i\") 1)) false (list (assign \"f\" ($f))))"
       "(while true 1 false (list ($f)))",
       nullptr},
      // 4096 keys of one FNV-1a hash in a map, the last one read in a loop
      // through a copy of its text.
      {"colliding_short_keys",
       "(var \"m\" \"i\" \"k\") (assign \"m\" (map)) (assign \"i\" 0)"
       "(while (< (get \"i\") 4096) (assign \"i\" (+ (get \"i\") 1)) false"
       "  (list (setprop (get \"m\") (prop (get \"keys\") (get \"i\")) (get \"i\"))))"
       "(assign \"k\" (+ (prop (get \"keys\") 4095) \"\"))"
       "(while true 1 false (list (prop (get \"m\") (get \"k\"))))",
       [shortKeys](QZMPRuntime& runtime) { addGlobal(runtime, u"keys", shortKeys); }},
      // 127 keys of 32 789 units and one hash.
      {"colliding_long_keys",
       "(var \"m\" \"i\" \"k\") (assign \"m\" (map)) (assign \"i\" 0)"
       "(while (< (get \"i\") 127) (assign \"i\" (+ (get \"i\") 1)) false"
       "  (list (setprop (get \"m\") (prop (get \"keys\") (get \"i\")) (get \"i\"))))"
       "(assign \"k\" (+ (prop (get \"keys\") 126) \"\"))"
       "(while true 1 false (list (prop (get \"m\") (get \"k\"))))",
       [longKeys](QZMPRuntime& runtime) { addGlobal(runtime, u"keys", longKeys); }},
      // A function expression of 10 000 statements evaluated in a loop.
      {"function_of_many_statements", "(while true 1 false (list (fn \"\" (array)" + repeated(" 0", 10000) + ")))",
       nullptr},
      // Functions whose parameter list is an array of 2^16 values: made in a
      // loop from numbers, and called in a loop with names. (A list of 2^20
      // costs more than the whole budget.)
      {"make_function_of_many_parameters", "(while true 1 false (list (fn \"\" (get \"numbers\") 0)))",
       [manyNumbers](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", manyNumbers); }},
      {"call_function_of_many_parameters",
       "(var \"f\") (assign \"f\" (fn \"\" (get \"names\") 0)) (while true 1 false (list ($f)))",
       [manyNames](QZMPRuntime& runtime) { addGlobal(runtime, u"names", manyNames); }},
      // Names of 2^17 and 2^22 units: a variable written twice in the
      // program, a method of a map, a property read through a copy.
      {"long_variable_name",
       "(var \"" + longName + "\") (while true 1 false (list (get \"" + longName + "\")))", nullptr},
      {"long_method_name",
       "(var \"m\" \"n\") (assign \"m\" (map)) (setprop (get \"m\") (get \"long\") (fn \"\" (array) 0))"
       "(assign \"n\" (+ (get \"long\") \"\")) (while true 1 false (list (call (get \"m\") (get \"n\") (array))))",
       [longText](QZMPRuntime& runtime) { runtime.globalScope().addValue(longText, u"long"); }},
      {"long_property_key",
       "(var \"m\" \"k\") (assign \"m\" (map)) (setprop (get \"m\") (get \"long\") 1)"
       "(assign \"k\" (+ (get \"long\") \"\")) (while true 1 false (list (prop (get \"m\") (get \"k\"))))",
       [longText](QZMPRuntime& runtime) { runtime.globalScope().addValue(longText, u"long"); }},
      // Joining 2^16 fractions; a key loop over a map of 2^17 names that
      // stops at once.
      {"join_fractions", "(while true 1 false (list (call (get \"numbers\") \"join\" (array \",\"))))",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", fractions(1 << 16)); }},
      {"sort_fractions", "(while true 1 false (list (call (get \"numbers\") \"sort\" (array))))",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", fractions(1 << 16)); }},
      {"sort_few_fractions", "(while true 1 false (list (call (get \"numbers\") \"sort\" (array))))",
       [](QZMPRuntime& runtime) { addGlobal(runtime, u"numbers", fractions(1 << 10)); }},
      {"key_loop_over_large_map", "(var \"k\") (while true 1 false (list (forin \"k\" (get \"big\") (list (break)))))",
       [](QZMPRuntime& runtime) {
         QZMPRef<QZMPMapValue> map = QZMPObjectManager::mapValueWithScope(runtime.globalScope());
         for (const QZMPRuntimeValue& name : names(1 << 17)) map->setValue(QZMPRuntimeValue::number(1), *name.asString());
         runtime.globalScope().addValue(QZMPRuntimeValue(std::move(map)), u"big");
       }},
  };
}

// Runs the program in a fresh runtime with the given budget; the time its
// statements take, per instruction counted, in nanoseconds.
double nanosecondsPerInstruction(const std::vector<std::shared_ptr<QZMPBRuntimeEntity>>& statements,
                                 const std::function<void(QZMPRuntime&)>& setup, std::uint64_t limit) {
  QZMPRuntime runtime({.instructionLimit = limit});
  if (setup) setup(runtime);
  runtime.resetInstructionCount();
  QZMPError error;
  const double elapsed = milliseconds([&] { runtime.executeStatements(statements, error); });
  if (!error.is(QZMPGlintErrorInstructionLimit)) {
    fail("a hostile program did not spend its budget: code " + std::to_string(error.code()));
  }
  return elapsed * 1e6 / static_cast<double>(runtime.getInstructionCount());
}

// Event-editing programs: each handles one event with its callbacks under
// the event's budget. Most spend it all; the time of the event, per
// instruction counted, beside a callback that only counts.
struct EditingHostile {
  const char* name;
  std::string program;
};

constexpr const char* kEditingPrelude =
    "(const \"register\" ($require \"internal.registerCallback\") \"logEvent\" ($require \"internal.eventLogger\"))"
    "(var \"big\") (assign \"big\" (array)) (setprop (get \"big\") \"length\" 262144)";

std::vector<EditingHostile> editingHostilePrograms() {
  std::string dropped;
  for (int i = 1; i < 1000; ++i) dropped += "($register " + std::to_string(i) + " (get \"nothing\") (map \"type\" \"edit\"))";
  return {
      {"plain_loop",
       "(function \"cb\" (array \"e\") (while true 1 false (list 0)))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))"},
      // An array of 2^18 slots set as a parameter, read back, and queued.
      {"set_large_parameter",
       "(function \"cb\" (array \"e\")"
       "  (while true 1 false (list (call (get \"e\") \"setParamValue\" (array \"p\" (get \"big\"))))))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))"},
      {"get_large_parameter",
       "(function \"cb\" (array \"e\") (call (get \"e\") \"setParamValue\" (array \"p\" (get \"big\")))"
       "  (while true 1 false (list (call (get \"e\") \"getParamValue\" (array \"p\")))))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))"},
      {"log_large_event",
       "(function \"cb\" (array \"e\")"
       "  (while true 1 false (list ($logEvent \"n\" 1 (map \"p\" (get \"big\"))))))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))"},
      // One callback makes the event large; 999 more whose changes are
      // dropped follow it.
      {"many_callbacks_after_large_edit",
       "(function \"cb\" (array \"e\") (call (get \"e\") \"setParamValue\" (array \"p\" (get \"big\"))) (return 0))"
       "(function \"nothing\" (array \"e\"))"
       "($register 0 (get \"cb\") (map \"type\" \"edit\"))" +
           dropped},
  };
}

double editingNanosecondsPerInstruction(const QZMPBProgram& program, std::uint64_t limit) {
  QZMPEventEditing editing({.instructionLimit = limit});
  QZMPError error;
  if (!editing.loadProgram(program, error)) fail("an editing program does not load: code " + std::to_string(error.code()));
  const QZMEditEvent event{"purchase", 1000, {{"count", foundation::Object(3)}}};
  QZMPError handled;
  const double elapsed = milliseconds([&] { editing.handleEvent(event, handled); });
  if (handled && !handled.is(QZMPGlintErrorInstructionLimit)) {
    fail("an editing program failed with code " + std::to_string(handled.code()));
  }
  return elapsed * 1e6 / static_cast<double>(editing.runtime().getInstructionCount());
}

// Resident memory of the process, from /proc.
double residentMegabytes() {
  std::FILE* file = std::fopen("/proc/self/statm", "r");
  long size = 0, resident = 0;
  if (file == nullptr || std::fscanf(file, "%ld %ld", &size, &resident) != 2) fail("no /proc/self/statm");
  std::fclose(file);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// A program that keeps 2000 more functions of 1000 statements each event:
// the events it handles before it is unloaded for keeping more than its
// budget, the most the runtime counted it keeping, and how far the
// process's resident memory grew meanwhile.
void keptFunctions() {
  std::string body;
  for (int i = 0; i < 1000; ++i) body += " 0";
  auto program = QZMPAssembleProgram(
      "(const \"register\" ($require \"internal.registerCallback\"))"
      "(var \"kept\") (assign \"kept\" (array))"
      "(function \"hoard\" (array \"e\") (var \"i\") (assign \"i\" 0)"
      "  (while (< (get \"i\") 2000) (assign \"i\" (+ (get \"i\") 1)) false"
      "    (list (call (get \"kept\") \"push\" (array (fn \"\" (array)" + body + ")))))"
      "  (return 0))"
      "($register 0 (get \"hoard\") (map \"type\" \"edit\"))");
  if (!program) fail("the kept functions do not assemble: " + program.error().description);
  const double startResident = residentMegabytes();
  double mostResident = startResident;
  std::size_t mostCounted = 0;
  int events = 0;
  {
    QZMPEventEditing editing;
    QZMPError error;
    if (!editing.loadProgram(**program, error)) fail("the kept functions do not load");
    const QZMEditEvent event{"purchase", 1000, {}};
    while (events < 1000 && !editing.isUnloaded()) {
      ++events;
      QZMPError handled;
      editing.handleEvent(event, handled);
      if (!editing.isUnloaded()) mostCounted = std::max(mostCounted, editing.runtime().retainedBytes());
      mostResident = std::max(mostResident, residentMegabytes());
    }
  }
  report("runtime_memory_kept_functions_events_until_unloaded", events, "count");
  report("runtime_memory_kept_functions_most_counted", static_cast<double>(mostCounted) / (1 << 20), "MB");
  report("runtime_memory_kept_functions_resident_growth", mostResident - startResident, "MB");
}

}  // namespace

// With an argument, runs only the programs whose name contains it (for
// profiling one of them).
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  const std::vector<double> data = sortInput();
  const std::string text = splitInput();
  const QZMPRuntimeValue interpreterText = QZMPRuntimeValue::stringFromUTF8(text);
  const auto [low, high] = std::minmax_element(data.begin(), data.end());

  if (only.empty() || std::string("kept_functions").find(only) != std::string::npos) keptFunctions();

  lua_State* lua = luaL_newstate();
  luaL_openlibs(lua);
  lua_createtable(lua, kSortLength, 0);
  for (int i = 0; i < kSortLength; ++i) {
    lua_pushnumber(lua, data[i]);
    lua_rawseti(lua, -2, i + 1);
  }
  lua_setglobal(lua, "data");
  lua_pushlstring(lua, text.data(), text.size());
  lua_setglobal(lua, "text");

  for (const Program& program : kPrograms) {
    if (std::string(program.name).find(only) == std::string::npos) continue;
    const double expected = program.expected != 0 ? program.expected : *high - *low;
    auto statements = QZMPAssembleStatements(program.interpreter);
    if (!statements) fail(std::string(program.name) + " does not assemble: " + statements.error().description);

    std::uint64_t evaluations = 0;
    if (runInterpreter(*statements, data, interpreterText, &evaluations) != expected) {
      fail(std::string(program.name) + ": wrong result");
    }
    if (runLua(lua, program.lua) != expected) fail(std::string(program.name) + ": wrong result from Lua");

    const Comparison figures = compare([&] { runInterpreter(*statements, data, interpreterText, nullptr); },
                                       [&] { runLua(lua, program.lua); });
    report(std::string("runtime_") + program.name, figures.subject, "ms");
    report(std::string("lua_") + program.name, figures.reference, "ms");
    report(std::string("runtime_") + program.name + "_ratio_to_lua", figures.ratio, "x");
    report(std::string("runtime_") + program.name + "_evaluations", static_cast<double>(evaluations), "count");
  }
  lua_close(lua);

  // The hostile programs, beside the plain loop under the same budget, in
  // alternate rounds, and the editing programs likewise; a second argument
  // sets another budget for all (a larger one shows work that a single
  // charge past the normal budget would stop before it starts).
  const std::uint64_t limit = argc > 2 ? std::stoull(argv[2]) : kQZMPInstructionLimit;
  std::vector<std::shared_ptr<QZMPBRuntimeEntity>> plain;
  double worst = 0;
  for (const Hostile& hostile : hostilePrograms()) {
    if (!plain.empty() && std::string(hostile.name).find(only) == std::string::npos && !only.empty()) continue;
    auto statements = QZMPAssembleStatements(hostile.text);
    if (!statements) fail(std::string(hostile.name) + " does not assemble: " + statements.error().description);
    if (plain.empty()) {
      plain = *statements;
      continue;
    }
    const Comparison figures =
        compareFigures([&] { return nanosecondsPerInstruction(*statements, hostile.setup, limit); },
                       [&] { return nanosecondsPerInstruction(plain, nullptr, limit); });
    report(std::string("runtime_budget_") + hostile.name, figures.subject, "ns/instruction");
    report("runtime_budget_plain_loop", figures.reference, "ns/instruction");
    report(std::string("runtime_budget_") + hostile.name + "_ratio_to_plain_loop", figures.ratio, "x");
    worst = std::max(worst, figures.ratio);
  }

  std::shared_ptr<QZMPBProgram> plainEditing;
  for (const EditingHostile& hostile : editingHostilePrograms()) {
    if (!plainEditing && std::string(hostile.name) != "plain_loop") fail("the plain editing loop comes first");
    if (plainEditing && std::string(hostile.name).find(only) == std::string::npos && !only.empty()) continue;
    auto program = QZMPAssembleProgram(std::string(kEditingPrelude) + hostile.program);
    if (!program) fail(std::string(hostile.name) + " does not assemble: " + program.error().description);
    if (!plainEditing) {
      plainEditing = *program;
      continue;
    }
    const Comparison figures = compareFigures([&] { return editingNanosecondsPerInstruction(**program, limit); },
                                              [&] { return editingNanosecondsPerInstruction(*plainEditing, limit); });
    report(std::string("runtime_editing_") + hostile.name, figures.subject, "ns/instruction");
    report("runtime_editing_plain_loop", figures.reference, "ns/instruction");
    report(std::string("runtime_editing_") + hostile.name + "_ratio_to_plain_loop", figures.ratio, "x");
    worst = std::max(worst, figures.ratio);
  }
  if (worst > 0) report("runtime_budget_worst_ratio_to_plain_loop", worst, "x");
  return 0;
}
