// Building and reading experiment flags, and where their refusals go.
#include "measurement/proto/QZMPBFlagHelpers.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "testing/ExitRace.h"
#include "testing/LogCapture.h"

namespace {

using foundation::Object;

struct Logged {
  int64_t level;
  int64_t code;
  std::string message;
  foundation::Array contexts;
  bool operator==(const Logged&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Logged& l) {
  out << l.level << "/" << l.code << " " << l.message;
  for (const Object& c : l.contexts) out << " [" << c.description() << "]";
  return out;
}

// Installs a hook that collects what the helpers report.
class FlagHelpers : public ::testing::Test {
 protected:
  FlagHelpers() {
    previous_ = QZMPBSetFlagLogHook([this](int64_t level, int64_t code, std::string_view message,
                                           const foundation::Array& contexts) {
      logged_.push_back({level, code, std::string(message), contexts});
    });
  }
  ~FlagHelpers() override { QZMPBSetFlagLogHook(std::move(previous_)); }

  std::vector<Logged> logged_;
  QZMPBFlagLogHook previous_;
};

std::set<int32_t> presentFields(const QZMPBFlag* flag) {
  std::set<int32_t> present;
  for (int32_t id = 0; id < 5; ++id) {
    if (NANOHasField(flag, id)) present.insert(id);
  }
  return present;
}

struct CreateCase {
  const char* what;
  std::optional<Object> name;
  std::optional<Object> value;
  std::set<int32_t> fields;  // empty: no flag
  std::optional<Object> readBack;
  std::vector<Logged> logged;
};

TEST_F(FlagHelpers, CreateStoresEachValueKindInItsFieldAndRefusesTheRest) {
  const CreateCase cases[] = {
      {"floating number", Object("a"), Object(1.5), {0, 3}, Object(1.5), {}},
      {"integer", Object("a"), Object(-3), {0, 1}, Object(-3), {}},
      {"Boolean as an integer", Object("a"), Object(true), {0, 1}, Object(1), {}},
      {"string", Object("a"), Object("on"), {0, 2}, Object("on"), {}},
      {"empty string", Object("a"), Object(""), {0, 2}, Object(""), {}},
      {"no name", std::nullopt, Object(1), {}, std::nullopt, {{1, 850000, "Flag name must not be nil", {}}}},
      {"a number as name", Object(5), Object(1), {}, std::nullopt,
       {{1, 850001, "Flag name must be a string", {Object("integer")}}}},
      {"null as name", Object(), Object(1), {}, std::nullopt,
       {{1, 850001, "Flag name must be a string", {Object("null")}}}},
      {"a date as value", Object("a"), Object(foundation::Date{5}), {}, std::nullopt,
       {{1, 850002, "Flag value is invalid", {Object("date")}}}},
      {"data as value", Object("a"), Object(foundation::Data{1}), {}, std::nullopt,
       {{1, 850002, "Flag value is invalid", {Object("data")}}}},
      {"no value", Object("a"), std::nullopt, {}, std::nullopt, {{1, 850002, "Flag value is invalid", {Object()}}}},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.what);
    logged_.clear();
    std::unique_ptr<QZMPBFlag> flag = QZMPBFlagCreate(c.name, c.value);
    EXPECT_EQ(logged_, c.logged);
    if (c.fields.empty()) {
      EXPECT_EQ(flag, nullptr);
      continue;
    }
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(presentFields(flag.get()), c.fields);
    EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), *c.name->string());
    std::optional<Object> value = QZMPBFlagGetValue(flag.get());
    EXPECT_EQ(value, c.readBack);
    EXPECT_EQ(value->kind(), c.readBack->kind());
  }
}

TEST_F(FlagHelpers, ANameThatIsNotUTF8GivesNoFlag) {
  testkit::LogCapture log;
  EXPECT_EQ(QZMPBFlagCreate(Object("\xFF"), Object(1)), nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"<ERROR> Unable to set string. Value isn't valid UTF-8"});
}

struct GetCase {
  const char* what;
  std::vector<int32_t> fields;  // set to 7, 2.5, "s" or true by kind
  std::optional<Object> value;
};

TEST_F(FlagHelpers, GetValueTakesTheFirstPresentOfInt64DoubleStringBool) {
  const GetCase cases[] = {
      {"int64 before string", {1, 2}, Object(7)},
      {"int64 before everything", {1, 2, 3, 4}, Object(7)},
      {"double before string", {3, 2}, Object(2.5)},
      {"string before bool", {2, 4}, Object("s")},
      {"bool alone", {4}, Object(true)},
      {"a name alone", {0}, std::nullopt},
  };
  for (const GetCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto flag = QZMPBFlag::initWithMessageInfo(nullptr);
    for (int32_t id : c.fields) {
      switch (id) {
        case 0: ASSERT_TRUE(NANOSetString(flag.get(), id, "n")); break;
        case 1: ASSERT_TRUE(NANOSetInt64(flag.get(), id, 7)); break;
        case 2: ASSERT_TRUE(NANOSetString(flag.get(), id, "s")); break;
        case 3: ASSERT_TRUE(NANOSetDouble(flag.get(), id, 2.5)); break;
        case 4: ASSERT_TRUE(NANOSetBool(flag.get(), id, true)); break;
      }
    }
    std::optional<Object> value = QZMPBFlagGetValue(flag.get());
    EXPECT_EQ(value, c.value);
    if (value) {
      EXPECT_EQ(value->kind(), c.value->kind());
    }
  }
  EXPECT_EQ(QZMPBFlagGetValue(nullptr), std::nullopt);
  EXPECT_EQ(logged_, std::vector<Logged>{});
}

TEST_F(FlagHelpers, WithoutAHookRefusalsGoToTheSystemLog) {
  QZMPBFlagLogHook mine = QZMPBSetFlagLogHook({});
  testkit::LogCapture log;
  EXPECT_EQ(QZMPBFlagCreate(std::nullopt, Object(1)), nullptr);
  EXPECT_EQ(QZMPBFlagCreate(Object("a"), Object(foundation::Date{})), nullptr);
  EXPECT_EQ(QZMPBFlagCreate(Object("a"), std::nullopt), nullptr);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"level 1, code 850000: Flag name must not be nil",
                                                   "level 1, code 850002: Flag value is invalid: date",
                                                   "level 1, code 850002: Flag value is invalid: (nil)"}));
  QZMPBSetFlagLogHook(std::move(mine));
  EXPECT_EQ(logged_, std::vector<Logged>{});
}

// Messages may still be decoded and flags made on the worker queue while the
// program ends.
TEST(ProcessExit, AWorkerStillRefusingBadInputFindsWhereRefusalsGo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testkit::ExitRace race;
        // Sinks that keep something, as a test's capture does.
        auto printed = std::make_shared<std::string>();
        NANOSetOutputSink([printed](std::string_view text) { printed->assign(text); });
        QZMPBSetFlagLogHook([printed](int64_t, int64_t, std::string_view message, const foundation::Array&) {
          printed->assign(message);
        });
        race.exitWhileRunning([] {
          const std::uint8_t truncated[] = {0x0A, 0x05, 'a'};
          (void)QZMPBFlag::initWithBuffer(truncated);
          (void)QZMPBFlagCreate(std::nullopt, Object(1));
        });
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
