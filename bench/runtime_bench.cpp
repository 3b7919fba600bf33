// The event-editing interpreter beside Lua 5.4 on the same three programs:
// a counting loop over 1..1e6 with a condition in its body, a function
// called 1e5 times, and sorting 1e4 numbers with a comparison function.
// Each figure is the median of several runs in milliseconds, followed by
// the interpreter's ratio to Lua and, for the loop, its evaluations per
// iteration. The interpreter runs without its instruction limit here: the
// loop alone takes some twenty million evaluations.
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
constexpr int kRuns = 7;
constexpr int kSortLength = 10000;

void report(const std::string& name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "runtime_bench: %s\n", what.c_str());
  std::exit(1);
}

double medianMilliseconds(const std::function<void()>& run) {
  run();  // warm-up
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
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

// Runs the program once in a fresh runtime; returns its value and counts
// its evaluations.
double runInterpreter(const std::vector<std::shared_ptr<QZMPBRuntimeEntity>>& statements,
                      const std::vector<double>& data, std::uint64_t* evaluations) {
  QZMPRuntime runtime({.instructionLimit = UINT64_MAX});
  std::vector<QZMPRuntimeValue> values;
  for (double number : data) values.push_back(QZMPRuntimeValue::number(number));
  runtime.globalScope().addValue(QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray(values, runtime.globalScope())),
                                 u"data");
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

}  // namespace

// With an argument, runs only the programs whose name contains it (for
// profiling one of them).
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  const std::vector<double> data = sortInput();
  const auto [low, high] = std::minmax_element(data.begin(), data.end());

  lua_State* lua = luaL_newstate();
  luaL_openlibs(lua);
  lua_createtable(lua, kSortLength, 0);
  for (int i = 0; i < kSortLength; ++i) {
    lua_pushnumber(lua, data[i]);
    lua_rawseti(lua, -2, i + 1);
  }
  lua_setglobal(lua, "data");

  for (const Program& program : kPrograms) {
    if (std::string(program.name).find(only) == std::string::npos) continue;
    const double expected = program.expected != 0 ? program.expected : *high - *low;
    auto statements = QZMPAssembleStatements(program.interpreter);
    if (!statements) fail(std::string(program.name) + " does not assemble: " + statements.error().description);

    std::uint64_t evaluations = 0;
    if (runInterpreter(*statements, data, &evaluations) != expected) fail(std::string(program.name) + ": wrong result");
    if (runLua(lua, program.lua) != expected) fail(std::string(program.name) + ": wrong result from Lua");

    const double interpreter = medianMilliseconds([&] { runInterpreter(*statements, data, nullptr); });
    const double reference = medianMilliseconds([&] { runLua(lua, program.lua); });
    report(std::string("runtime_") + program.name, interpreter, "ms");
    report(std::string("lua_") + program.name, reference, "ms");
    report(std::string("runtime_") + program.name + "_ratio_to_lua", interpreter / reference, "x");
    report(std::string("runtime_") + program.name + "_evaluations", static_cast<double>(evaluations), "count");
  }
  lua_close(lua);
  return 0;
}
