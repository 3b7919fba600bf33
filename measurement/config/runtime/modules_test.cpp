#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "measurement/config/runtime/QZMGlintLogger.h"
#include "measurement/config/runtime/QZMPModules.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"

namespace {

using foundation::Object;

class ModulesTest : public testkit::FoundationTest {
 protected:
  ~ModulesTest() override { EXPECT_EQ(QZMPObject::liveCount(), 0) << "runtime objects outlived the test"; }

  // Runs the programs in order in the runtime; the last one's outcome.
  static std::string run(QZMPRuntime& runtime, std::initializer_list<std::string_view> programs) {
    std::string outcome;
    for (std::string_view program : programs) outcome = QZMPRun(runtime, program).describe();
    return outcome;
  }
};

struct Case {
  const char* program;
  const char* outcome;
};

TEST_F(ModulesTest, RequireHandsOutEachModuleOnce) {
  const Case cases[] = {
      {"(call ($require \"internal.platform\") \"getVersion\" (array))", "0"},
      {"(call ($require \"internal.platform\") \"getVersion\" (array 1 2))", "0"},
      {"(typeof ($require \"internal.platform\"))", "\"function\""},
      {"(=== ($require \"internal.platform\") ($require \"internal.platform\"))", "true"},
      {"($require \"internal.nothing\")", "undefined"},
      {"($require)", "error glint 9"},
      {"($require \"internal.platform\" 1)", "error glint 9"},
      {"($require (list (+ 1)))", "error glint 5"},
      // Module objects ignore their arguments, unevaluated.
      {"(const \"p\" ($require \"internal.platform\")) ($p (+ 1))", "undefined"},
      {"(call ($require \"internal.platform\") \"toString\" (array))", "\"internal.platform\""},
      {"(call ($require \"internal.platform\") \"missing\" (array))", "error glint 17"},
  };
  for (const Case& c : cases) {
    QZMPRuntime runtime;
    EXPECT_EQ(run(runtime, {c.program}), c.outcome) << c.program;
  }

  // A module is made on its first require; a creator that makes nothing is
  // an error each time, and nothing is cached for it.
  QZMPRuntime runtime;
  int made = 0;
  runtime.setModuleCreator(
      [&made] {
        ++made;
        return QZMPRuntimeValue(QZMPRuntimePlatform());
      },
      "counted");
  runtime.setModuleCreator([] { return QZMPRuntimeValue(); }, "empty");
  EXPECT_EQ(made, 0);
  EXPECT_EQ(run(runtime, {"(=== ($require \"counted\") ($require \"counted\"))"}), "true");
  EXPECT_EQ(made, 1);
  EXPECT_EQ(run(runtime, {"($require \"empty\")"}), "error glint 15");
  EXPECT_EQ(run(runtime, {"($require \"empty\")"}), "error glint 15");
  // A module already required stays as it was made.
  runtime.setModuleCreator([] { return QZMPRuntimeValue(QZMPStringValue::withASCII("new")); }, "counted");
  EXPECT_EQ(run(runtime, {"(typeof ($require \"counted\"))"}), "\"function\"");
  EXPECT_EQ(made, 1);

  // Modules survive collection while the runtime lives; what a program hangs
  // on them is collected with them when it goes.
  EXPECT_EQ(run(runtime, {"(setprop ($require \"counted\") \"loop\" (map \"back\" ($require \"counted\")))"}),
            "{\"back\": <function internal.platform>}");
  runtime.collectGarbage();
  EXPECT_EQ(run(runtime, {"(call ($require \"counted\") \"getVersion\" (array))"}), "0");
}

TEST_F(ModulesTest, GetValueGivesTheSettingsTextOrTheDefault) {
  const foundation::Dictionary settings = {
      {"ten", Object(10)},          {"half", Object(2.5)}, {"text", Object("abc")},
      {"list", Object(foundation::Array{Object(1)})}, {"empty", Object("")},
  };
  const Case cases[] = {
      {"(call (get \"rc\") \"getValue\" (array \"missing\" 5))", "5"},
      {"(call (get \"rc\") \"getValue\" (array \"ten\" 5))", "\"10\""},
      {"(call (get \"rc\") \"getValue\" (array \"half\" 5))", "\"2.5\""},
      {"(call (get \"rc\") \"getValue\" (array \"text\" 5))", "\"abc\""},
      {"(call (get \"rc\") \"getValue\" (array \"empty\" 5))", "\"\""},
      {"(call (get \"rc\") \"getValue\" (array \"list\" (array 1)))", "[1]"},
      {"(call (get \"rc\") \"getValue\" (array \"ten\"))", "error glint 9"},
      // The object itself evaluates its arguments and gives undefined.
      {"($rc 1 2)", "undefined"},
      {"($rc (+ 1))", "error glint 9"},
  };
  for (const Case& c : cases) {
    QZMPRuntime runtime;
    runtime.setModuleCreator(
        [&settings] {
          return QZMPRuntimeValue(QZMPKeyValueStore([&settings](std::string_view key) -> std::optional<std::string> {
            const auto found = settings.find(key);
            return found == settings.end() ? std::nullopt : QZMPSettingText(found->second);
          }));
        },
        "internal.remoteConfig");
    EXPECT_EQ(run(runtime, {"(const \"rc\" ($require \"internal.remoteConfig\"))", c.program}), c.outcome)
        << c.program;
  }
}

TEST_F(ModulesTest, AppMetadataIsANewMapOnEachCall) {
  QZMPRuntime runtime;
  runtime.setModuleCreator(
      [] {
        return QZMPRuntimeValue(QZMPObjectProvider([] {
          return foundation::Dictionary{{"platform", Object("linux")}, {"dxv_version", Object(111400)}};
        }));
      },
      "internal.appMetadata");
  EXPECT_EQ(run(runtime, {"(const \"am\" ($require \"internal.appMetadata\"))", "($am (+ 1))"}),
            "{\"dxv_version\": 111400, \"platform\": \"linux\"}");
  EXPECT_EQ(run(runtime, {"(=== ($am) ($am))"}), "false");
}

// Keeps what the log functions hand over.
class RecordingLogger final : public QZMPLoggerDelegate {
 public:
  void logWithLevel(std::int64_t level, std::string_view message, const std::vector<std::string>& context,
                    bool silent, bool monitored) override {
    std::string line = std::to_string(level) + " " + std::string(message);
    for (const std::string& item : context) line += " [" + item + "]";
    lines.push_back(line + (silent ? " silent" : "") + (monitored ? " monitored" : ""));
  }
  std::vector<std::string> lines;
};

TEST_F(ModulesTest, LogFunctionsHandTheirCallsToTheLogger) {
  const struct {
    const char* program;
    const char* outcome;
    std::vector<std::string> lines;
  } cases[] = {
      {"(call (get \"log\") \"log\" (array \"hello\"))", "undefined", {"4 hello monitored"}},
      {"(call (get \"log\") \"log\" (array 6 \"m\"))", "undefined", {"6 m monitored"}},
      {"(call (prop (get \"log\") \"silent\") \"log\" (array 6 \"m\"))", "undefined", {"6 m silent monitored"}},
      {"(call (prop (get \"log\") \"unmonitored\") \"log\" (array 6 \"m\"))", "undefined", {"6 m"}},
      {"(call (get \"log\") \"log\" (array 5.9 \"m\" \"a\" 2 true \"d\"))", "undefined", {"5 m [a] [2] [true] monitored"}},
      {"(call (get \"log\") \"log\" (array \"NaN\" 7))", "undefined", {"0 7 monitored"}},
      {"(call (get \"log\") \"log\" (array))", "error glint 9", {}},
      {"(call (get \"log\") \"log\" (array (list (+ 1)) \"m\"))", "error glint 5", {}},
      {"(call (get \"log\") \"log\" (array 1 \"m\" (list (+ 1))))", "error glint 5", {}},
      {"($log (+ 1))", "undefined", {}},
  };
  for (const auto& c : cases) {
    auto logger = std::make_shared<RecordingLogger>();
    QZMPRuntime runtime;
    runtime.setModuleCreator([logger] { return QZMPRuntimeValue(QZMPMessageLogger(logger)); }, "internal.logger");
    EXPECT_EQ(run(runtime, {"(const \"log\" ($require \"internal.logger\"))", c.program}), c.outcome) << c.program;
    EXPECT_EQ(logger->lines, c.lines) << c.program;
  }
}

TEST_F(ModulesTest, ProgramLinesReachTheMonitorAtTheirMappedLevel) {
  const struct {
    const char* call;
    std::int64_t level;
  } cases[] = {
      {"(call (get \"log\") \"log\" (array \"m\"))", 6},
      {"(call (get \"log\") \"log\" (array 2 \"m\"))", 8},
      {"(call (get \"log\") \"log\" (array 3 \"m\"))", 7},
      {"(call (get \"log\") \"log\" (array 5 \"m\"))", 4},
      {"(call (prop (get \"log\") \"silent\") \"log\" (array 5 \"m\"))", 5},
      {"(call (prop (get \"log\") \"unmonitored\") \"log\" (array 5 \"m\"))", 3},
      {"(call (get \"log\") \"log\" (array 6 \"m\"))", 1},
      {"(call (prop (get \"log\") \"silent\") \"log\" (array 6 \"m\"))", 2},
      {"(call (prop (get \"log\") \"unmonitored\") \"log\" (array 6 \"m\"))", 0},
      {"(call (get \"log\") \"log\" (array 1 \"m\"))", 6},
      {"(call (get \"log\") \"log\" (array -2 \"m\"))", 6},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    QZMPRuntime runtime;
    runtime.setModuleCreator(
        [] { return QZMPRuntimeValue(QZMPMessageLogger(std::make_shared<QZMGlintLogger>())); }, "internal.logger");
    EXPECT_EQ(run(runtime, {"(const \"log\" ($require \"internal.logger\"))", c.call}), "undefined") << c.call;
    const std::vector<testkit::MonitorLine> lines = linesWithCode(kQZMGlintLogMessageCode);
    ASSERT_EQ(lines.size(), 1u) << c.call;
    EXPECT_EQ(lines[0].level, c.level) << c.call;
    EXPECT_EQ(lines[0].message, "m") << c.call;
  }

  clearMonitorLines();
  QZMPRuntime runtime;
  runtime.setModuleCreator([] { return QZMPRuntimeValue(QZMPMessageLogger(std::make_shared<QZMGlintLogger>())); },
                           "internal.logger");
  EXPECT_EQ(run(runtime, {"(call ($require \"internal.logger\") \"log\" (array 4 \"m\" \"a\" \"b\" \"c\" \"d\"))"}),
            "undefined");
  const std::vector<testkit::MonitorLine> lines = linesWithCode(kQZMGlintLogMessageCode);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].contexts, (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
