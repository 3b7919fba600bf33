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
// same budget, with the ratio of their times.
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

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"

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

Comparison compare(const std::function<void()>& subject, const std::function<void()>& reference) {
  subject();
  reference();
  std::vector<double> subjects, references, ratios;
  for (int round = 0; round < kRounds; ++round) {
    const double a = milliseconds(subject);
    const double b = milliseconds(reference);
    subjects.push_back(a);
    references.push_back(b);
    ratios.push_back(a / b);
  }
  return {median(subjects), median(references), median(ratios)};
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
// rather than with the statements they run. Each ends with code 18.
struct Hostile {
  const char* name;
  const char* text;
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

const Hostile kHostile[] = {
    {"plain_loop", "(while true 1 false (list 0))"},
    {"sort_same_text", LONG_TEXTS "(while true 1 false (list (call (get \"same\") \"sort\" (array))))"},
    {"sort_long_texts", LONG_TEXTS "(while true 1 false (list (call (get \"copies\") \"sort\" (array))))"},
    {"index_of_long_texts",
     LONG_TEXTS "(while true 1 false (list (call (get \"copies\") \"indexOf\" (array (get \"b\")))))"},
    {"switch_long_texts",
     LONG_TEXTS "(while true 1 false (list (switch (get \"b\") (list (get \"s\") (get \"s\") (get \"s\")) (list))))"},
    {"make_long_texts", LONG_TEXTS "(while true 1 false (list (+ (get \"s\") (get \"b\"))))"},
    {"search_long_needle",
     "(var \"t\" \"n\") (assign \"t\" \"a\")"
     "(while (< (prop (get \"t\") \"length\") 1048576) 1 false (list (assign \"t\" (+ (get \"t\") (get \"t\")))))"
     "(assign \"n\" (+ (call (get \"t\") \"slice\" (array 786432)) \"b\"))"
     "(while true 1 false (list (call (get \"t\") \"indexOf\" (array (get \"n\")))"
     "  (call (get \"t\") \"lastIndexOf\" (array (get \"n\"))) (call (get \"t\") \"split\" (array (get \"n\")))))"},
    {"deep_closures",
     "(var \"f\" \"L\" \"i\") (assign \"L\" (list (return (fn \"\" (array) (run (get \"L\"))))))"
     "(assign \"f\" (fn \"\" (array) (run (get \"L\")))) (assign \"i\" 0)"
     "(while (< (get \"i\") 1500) (assign \"i\" (+ (get \"i\") 1)) false (list (assign \"f\" ($f))))"
     "(while true 1 false (list ($f)))"},
};

double runHostile(const std::vector<std::shared_ptr<QZMPBRuntimeEntity>>& statements) {
  QZMPRuntime runtime;
  QZMPError error;
  runtime.executeStatements(statements, error);
  if (!error.is(QZMPGlintErrorInstructionLimit)) fail("a hostile program did not spend its budget");
  return static_cast<double>(runtime.getInstructionCount());
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

  std::vector<std::shared_ptr<QZMPBRuntimeEntity>> plain;
  double worst = 0;
  for (const Hostile& hostile : kHostile) {
    auto statements = QZMPAssembleStatements(hostile.text);
    if (!statements) fail(std::string(hostile.name) + " does not assemble: " + statements.error().description);
    if (plain.empty()) {
      plain = *statements;
      continue;
    }
    if (std::string(hostile.name).find(only) == std::string::npos && !only.empty()) continue;
    const Comparison figures = compare([&] { runHostile(*statements); }, [&] { runHostile(plain); });
    report(std::string("runtime_budget_") + hostile.name, figures.subject, "ms");
    report("runtime_budget_plain_loop", figures.reference, "ms");
    report(std::string("runtime_budget_") + hostile.name + "_ratio_to_plain_loop", figures.ratio, "x");
    worst = std::max(worst, figures.ratio);
  }
  if (worst > 0) report("runtime_budget_worst_ratio_to_plain_loop", worst, "x");
  return 0;
}
