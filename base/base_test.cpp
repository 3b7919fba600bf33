#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <absl/base/internal/raw_logging.h>

#include <string>
#include <thread>
#include <vector>

#include "base/abseil_hooks.h"
#include "base/casts.h"
#include "base/check.h"
#include "base/log.h"
#include "base/module_initializer.h"
#include "base/status.h"
#include "testing/LogCapture.h"

namespace base {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr char kPrefixPattern[] = "[IWEF][0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} +[0-9]+ ";

TEST(Log, LinesCarryThePrefixAndRespectTheThreshold) {
  testkit::LogCapture capture;
  LogMessage(absl::LogSeverity::kWarning, "/some/where/widget.cc", 42, "hello");
  SetMinLogSeverity(absl::LogSeverity::kError);
  LogMessage(absl::LogSeverity::kWarning, "widget.cc", 43, "dropped");
  LogMessage(absl::LogSeverity::kError, "C:\\src\\gadget.cc", 7, "kept");
  SetMinLogSeverity(absl::LogSeverity::kInfo);

  const std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], MatchesRegex(std::string(kPrefixPattern) + "widget\\.cc:42\\] hello"));
  EXPECT_EQ(lines[0][0], 'W');
  EXPECT_THAT(lines[1], MatchesRegex(std::string(kPrefixPattern) + "gadget\\.cc:7\\] kept"));
  EXPECT_EQ(lines[1][0], 'E');
}

TEST(Log, AbseilInternalMessagesGoThroughTheLogWithTheirSeverityClamped) {
  struct Case {
    int severity;
    char letter;
  } cases[] = {{-2, 'I'}, {0, 'I'}, {1, 'W'}, {2, 'E'}, {9, 'E'}};
  for (const Case& c : cases) {
    testkit::LogCapture capture;
    // Through abseil's hook, so this also shows it was installed at start.
    absl::raw_logging_internal::internal_log_function(static_cast<absl::LogSeverity>(c.severity), "lib/x.cc", 5,
                                                      "internal");
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u) << c.severity;
    EXPECT_EQ(lines[0][0], c.letter) << c.severity;
    EXPECT_THAT(lines[0], HasSubstr(" x.cc:5] internal"));
  }
}

TEST(Log, RawLogPrefixHookWritesThePrefixOrSuppresses) {
  char storage[128];
  char* cursor = storage;
  int left = sizeof(storage);
  ASSERT_TRUE(internal::RawLogPrefixHook(absl::LogSeverity::kInfo, "a/b/raw.cc", 9, &cursor, &left));
  const std::string prefix(storage, cursor);
  EXPECT_THAT(prefix, MatchesRegex(std::string(kPrefixPattern) + "raw\\.cc:9\\] "));
  EXPECT_EQ(left, static_cast<int>(sizeof(storage) - prefix.size()));

  SetMinLogSeverity(absl::LogSeverity::kWarning);
  cursor = storage;
  left = sizeof(storage);
  EXPECT_FALSE(internal::RawLogPrefixHook(absl::LogSeverity::kInfo, "raw.cc", 9, &cursor, &left));
  EXPECT_EQ(cursor, storage);
  EXPECT_TRUE(internal::RawLogPrefixHook(absl::LogSeverity::kFatal, "raw.cc", 9, &cursor, &left));
  SetMinLogSeverity(absl::LogSeverity::kInfo);
}

TEST(LogDeathTest, RawFatalMessagesUseTheBasePrefixAndStop) {
  EXPECT_DEATH(ABSL_RAW_LOG(FATAL, "raw trouble %d", 7), "F[0-9]{4} .*base_test\\.cpp:[0-9]+\\] raw trouble 7");
}

class FatalCapture : public ::testing::Test {
 protected:
  void SetUp() override { internal::ResetFatalMessageForTesting(); }
  void TearDown() override { internal::ResetFatalMessageForTesting(); }
};

TEST_F(FatalCapture, KeepsTheFirstMessageCutTo511BytesAndANewline) {
  struct Case {
    std::string text;
    std::string captured;
  } cases[] = {
      {"short", "short\n"},
      {"ends in newline\n", "ends in newline\n"},
      {"two newlines\n\n", "two newlines\n"},
      {"", "\n"},
      {std::string(600, 'x'), std::string(511, 'x') + "\n"},
      {std::string(511, 'y') + "\n", std::string(511, 'y') + "\n"},
  };
  for (const Case& c : cases) {
    internal::ResetFatalMessageForTesting();
    EXPECT_FALSE(FatalMessage().has_value());
    OnFatalLogMessage(c.text);
    ASSERT_TRUE(FatalMessage().has_value());
    EXPECT_EQ(*FatalMessage(), c.captured);
    EXPECT_TRUE(FatalMessageSeen());
  }
  OnFatalLogMessage("a later message");
  EXPECT_EQ(FatalMessage()->size(), 512u);
}

TEST_F(FatalCapture, ConcurrentMessagesNeverMix) {
  std::vector<std::thread> threads;
  for (char letter = 'a'; letter < 'a' + 8; ++letter) {
    threads.emplace_back([letter] { OnFatalLogMessage(std::string(400, letter)); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(FatalMessage().has_value());
  const std::string captured(*FatalMessage());
  ASSERT_EQ(captured.size(), 401u);
  EXPECT_EQ(captured, std::string(400, captured[0]) + "\n");
}

TEST(CheckDeathTest, FailedChecksStopWithTheConditionAndMessage) {
  EXPECT_DEATH(BASE_CHECK(1 + 1 == 3, "arithmetic is off"),
               "F[0-9]{4} .*base_test\\.cpp:[0-9]+\\] Check 1 \\+ 1 == 3 failed: arithmetic is off");
  const int n = -4;
  EXPECT_DEATH(BASE_CHECK(n >= 0), "Check n >= 0 failed: \n");
}

TEST(Check, MessageIsBuiltOnlyOnFailure) {
  int built = 0;
  auto message = [&] {
    ++built;
    return std::string("never");
  };
  BASE_CHECK(built == 0, message());
  EXPECT_EQ(built, 0);
}

TEST(Status, ErrorsCarryTheirSourceLocationBesideTheMessage) {
  const int line = __LINE__ + 1;
  const absl::Status internal = InternalError("Encryption failed.");
  EXPECT_EQ(internal.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(internal.message(), "Encryption failed.");
  EXPECT_EQ(SourceLocationOf(internal), "base/base_test.cpp:" + std::to_string(line));

  const absl::Status invalid = InvalidArgumentError("Key size is invalid.");
  EXPECT_EQ(invalid.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(SourceLocationOf(invalid).value_or(""), MatchesRegex("base/base_test\\.cpp:[0-9]+"));

  EXPECT_TRUE(WithSourceLocation(absl::OkStatus()).ok());
  EXPECT_FALSE(SourceLocationOf(absl::OkStatus()).has_value());
}

absl::StatusOr<int> Half(int value) {
  if (value % 2 != 0) return InvalidArgumentError("odd");
  return value / 2;
}

absl::StatusOr<int> Quarter(int value) {
  BASE_ASSIGN_OR_RETURN(int half, Half(value));
  BASE_ASSIGN_OR_RETURN(half, Half(half));
  BASE_RETURN_IF_ERROR(half > 100 ? InternalError("too big") : absl::OkStatus());
  return half;
}

TEST(Status, EarlyReturnMacrosPassValuesAndErrors) {
  EXPECT_EQ(Quarter(12).value(), 3);
  EXPECT_EQ(Quarter(6).status().message(), "odd");
  EXPECT_EQ(Quarter(10).status().message(), "odd");
  EXPECT_EQ(Quarter(800).status().message(), "too big");
}

struct Shape {
  virtual ~Shape() = default;
};
struct Circle : Shape {};
struct Square : Shape {};

TEST(CastsDeathTest, DownCastChecksTheActualType) {
  Circle circle;
  Shape* shape = &circle;
  EXPECT_EQ(down_cast<Circle*>(shape), &circle);
  EXPECT_EQ(down_cast<const Circle*>(static_cast<const Shape*>(nullptr)), nullptr);
  EXPECT_EQ(&down_cast<Circle&>(*shape), &circle);
  EXPECT_DEATH(down_cast<Square*>(shape),
               "casts:14\\] .*down_cast.*Square.*: down_cast failed \\(actual type = base::.*Circle\\)");
}

std::vector<std::string>& Ran() {
  static auto* ran = new std::vector<std::string>;
  return *ran;
}
void RunZeta() { Ran().push_back("zeta"); }
void RunAlpha() { Ran().push_back("alpha"); }
void RunMid() { Ran().push_back("mid"); }

const ModuleInitializer zeta_initializer("test_order", "zeta", &RunZeta);
const ModuleInitializer alpha_initializer("test_order", "alpha", &RunAlpha);
const ModuleInitializer mid_initializer("test_order", "mid", &RunMid);

TEST(ModuleInitializer, RunInRegistrationOrderOnceAndLateOnesAreReported) {
  EXPECT_FALSE(zeta_initializer.done());
  RunModuleInitializers("test_order");
  EXPECT_THAT(Ran(), ::testing::ElementsAre("zeta", "alpha", "mid"));
  EXPECT_TRUE(zeta_initializer.done() && alpha_initializer.done() && mid_initializer.done());
  RunModuleInitializers("test_order");
  EXPECT_EQ(Ran().size(), 3u);

  testkit::LogCapture capture;
  static const ModuleInitializer late("test_order", "late", &RunMid);
  EXPECT_TRUE(capture.contains(
      "Registering initializer 'late' too late: some initializers of type 'test_order' have executed"));
  EXPECT_FALSE(late.done());
  RunModuleInitializers("test_order");
  EXPECT_TRUE(late.done());
}

TEST(ModuleInitializerDeathTest, ASecondInitializerUnderOneNameStops) {
  EXPECT_DEATH(
      { static const ModuleInitializer again("test_order", "alpha", &RunAlpha); },
      "Check idata->initializer_obj == init failed: There is more than one initializer with name 'alpha'");
}

TEST(ModuleInitializerDeathTest, FlagModulesRequireTheParsingMarks) {
  EXPECT_DEATH(RunModuleInitializers("module"),
               "Check doing_command_line_flags_parsing failed: Can't call "
               "REQUIRE_MODULE_INITIALIZED\\(command_line_flags_parsing\\): InitDralix does it for you\\.");
  EXPECT_DEATH(
      {
        SetDoingCommandLineFlagsParsing(true);
        RunModuleInitializers("module");
      },
      "Check after_command_line_flags_parsing failed: Can't call "
      "REQUIRE_MODULE_INITIALIZED\\(command_line_flags_parsed\\): InitDralix does it for you\\.");
  EXPECT_EXIT(
      {
        SetDoingCommandLineFlagsParsing(true);
        SetAfterCommandLineFlagsParsing(true);
        RunModuleInitializers("module");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace base
