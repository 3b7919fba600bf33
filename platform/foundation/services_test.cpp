#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Random.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserDefaults.h"
#include "testing/ExitRace.h"
#include "testing/TemporaryHome.h"

namespace foundation {
namespace {

TEST(JSON, NumbersKeepTheirKind) {
  struct Case {
    const char* text;
    Object expected;
  } cases[] = {
      {"1", 1},
      {"-9223372036854775808", INT64_MIN},
      {"18446744073709551615", 18446744073709551615.0},
      {"1.0", 1.0},
      {"2.5e-3", 0.0025},
      {"true", true},
      {"null", Object()},
      {"\"fragment \\u00e9\"", "fragment \xC3\xA9"},
      {"{\"a\":[1,{\"b\":false}],\"a2\":\"x\"}", Dictionary{{"a", Array{1, Dictionary{{"b", false}}}}, {"a2", "x"}}},
  };
  for (const auto& c : cases) {
    auto parsed = parseJSON(c.text);
    ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error().description;
    EXPECT_TRUE(*parsed == c.expected) << c.text << " gave " << parsed->description();
    auto again = parseJSON(*serializeJSON(*parsed));
    EXPECT_TRUE(*again == c.expected) << c.text;
  }
}

TEST(JSON, BadInputAndUnrepresentableValuesAreErrors) {
  std::string deep(100000, '[');
  for (std::string text : {std::string(""), std::string("{"), std::string("[1,]"), std::string("{'a':1}"),
                           std::string("\"\xFF\""), std::string("1 2"), std::string("[1e400]"),
                           std::string("-1e309"), deep}) {
    auto parsed = parseJSON(text);
    ASSERT_FALSE(parsed.ok()) << text.substr(0, 20);
    EXPECT_EQ(parsed.error().code, kJSONCorrupt);
  }
  for (const Object& value : {Object(std::nan("")), Object(HUGE_VAL), Object(Data{1}), Object(Date{0}),
                              Object(Array{std::string("\xFF")})}) {
    auto text = serializeJSON(value);
    ASSERT_FALSE(text.ok()) << value.description();
    EXPECT_EQ(text.error().code, kJSONInvalidObject);
  }
}

TEST(JSON, CorruptFileIsAnErrorAndStaysInPlace) {
  testkit::TemporaryHome home;
  std::string path = home.dataHome() + "/state.json";
  ASSERT_TRUE(writeJSONFile(path, Dictionary{{"n", 1}}).ok());
  EXPECT_FALSE(writeJSONFile(path, Dictionary{{"n", Data{1}}}).ok());
  EXPECT_EQ(*readJSONFile(path), Object(Dictionary{{"n", 1}}));
  ASSERT_TRUE(writeFileAtomically(path, std::string_view("{\"n\":")).ok());
  EXPECT_EQ(readJSONFile(path).error().code, kJSONCorrupt);
  EXPECT_TRUE(fileExists(path));
}

TEST(JSON, TextLongerThanTheLimitIsRefused) {
  // An array of zeros takes the most memory for its length.
  std::string zeros = "[0";
  while (zeros.size() <= kJSONMaxLength) zeros += ",0";
  zeros += "]";
  auto parsed = parseJSON(zeros);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().code, kJSONTooLarge);
  EXPECT_TRUE(parseJSON("[0]" + std::string(kJSONMaxLength - 3, ' ')).ok());

  testkit::TemporaryHome home;
  std::string path = home.dataHome() + "/large.json";
  ASSERT_TRUE(writeFileAtomically(path, zeros).ok());
  EXPECT_EQ(readJSONFile(path).error().code, kJSONTooLarge);
  EXPECT_EQ(writeJSONFile(path, Array{std::string(kJSONMaxLength, 'a')}).error().code, kJSONTooLarge);
  EXPECT_EQ(readFile(path)->size(), zeros.size());
}

TEST(Files, AtomicWriteKeepsTheBackupExclusionOfTheFileItReplaces) {
  testkit::TemporaryHome home;
  std::string excluded = home.dataHome() + "/excluded.bin";
  std::string included = home.dataHome() + "/included.bin";
  ASSERT_TRUE(writeFileAtomically(excluded, std::string_view("old")).ok());
  ASSERT_TRUE(writeFileAtomically(included, std::string_view("old")).ok());
  ASSERT_TRUE(setExcludedFromBackup(excluded, true).ok());

  ASSERT_TRUE(writeFileAtomically(excluded, std::string_view("new")).ok());
  ASSERT_TRUE(writeFileAtomically(included, std::string_view("new")).ok());
  EXPECT_TRUE(isExcludedFromBackup(excluded));
  EXPECT_FALSE(isExcludedFromBackup(included));
  EXPECT_EQ(*readFile(excluded), Data({'n', 'e', 'w'}));
}

TEST(Files, AtomicWriteRemovesTemporariesOfDeadWritersOnlyAndWritesPrivateFiles) {
  testkit::TemporaryHome home;
  const std::string folder = home.dataHome() + "/prefs";
  const std::string path = folder + "/suite.plist";
  ASSERT_TRUE(writeFileAtomically(path, std::string_view("old")).ok());
  // What a writer killed before its rename leaves: temporaries nobody holds.
  for (const char* name : {"suite.plist.tmp.a1B2c3", "suite.plist.tmp.zzzzzz"})
    ASSERT_TRUE(writeFileAtomically(folder + "/" + name, std::string_view("partial")).ok());
  // A writer still at work holds its own; other files only look alike.
  const std::string live = folder + "/suite.plist.tmp.LIVE00";
  ASSERT_TRUE(writeFileAtomically(live, std::string_view("in progress")).ok());
  int held = ::open(live.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const std::string lookalikes[] = {"suite.plist.tmp.short", "other.plist.tmp.a1B2c3", "suite.plist.corrupt"};
  for (const auto& name : lookalikes) ASSERT_TRUE(writeFileAtomically(folder + "/" + name, std::string_view("x")).ok());

  ASSERT_TRUE(writeFileAtomically(path, std::string_view("new")).ok());
  ::close(held);
  auto names = contentsOfDirectory(folder).value();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"other.plist.tmp.a1B2c3", "suite.plist", "suite.plist.corrupt",
                                             "suite.plist.tmp.LIVE00", "suite.plist.tmp.short"}));
  EXPECT_EQ(*readFile(path), Data({'n', 'e', 'w'}));

  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(writeFileAtomically(path, std::string_view("shared"), 0644).ok());
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(Files, MovingAsideNeverReplacesAnEarlierCopy) {
  testkit::TemporaryHome home;
  const std::string path = home.dataHome() + "/data.bin";
  for (char version : {'1', '2', '3'}) {
    ASSERT_TRUE(writeFileAtomically(path, std::string_view(&version, 1)).ok());
    auto aside = moveAside(path, ".corrupt");
    ASSERT_TRUE(aside.ok()) << aside.error().text();
    EXPECT_EQ(*aside, version == '1' ? path + ".corrupt" : path + ".corrupt." + version);
    EXPECT_FALSE(fileExists(path));
  }
  EXPECT_EQ(*readFile(path + ".corrupt"), Data{'1'});
  EXPECT_EQ(*readFile(path + ".corrupt.3"), Data{'3'});
  EXPECT_FALSE(moveAside(path, ".corrupt").ok());  // nothing to move
}

TEST(Files, ReadingStopsAtTheLimitBeforeTheBytesAreRead) {
  testkit::TemporaryHome home;
  const std::string path = home.dataHome() + "/five.bin";
  ASSERT_TRUE(writeFileAtomically(path, std::string_view("12345")).ok());
  EXPECT_EQ(readFile(path, 5)->size(), 5u);
  auto refused = readFile(path, 4);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, EFBIG);
}

TEST(Files, CreatingAFolderSetsTheModeOfWhatItMakesOnly) {
  testkit::TemporaryHome home;
  // A shared folder someone else made, such as /tmp.
  std::string shared = home.root() + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  std::string made = shared + "/private";
  ASSERT_TRUE(createDirectory(made, 0700).ok());
  ASSERT_TRUE(createDirectory(shared).ok());

  struct stat st{};
  ASSERT_EQ(::stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(QueryString, ReservedAndNonASCIICharactersAreEscaped) {
  struct Case {
    const char* raw;
    const char* encoded;
  } cases[] = {
      {"a&b", "a%26b"}, {"k=v", "k%3Dv"},   {"1+1", "1%2B1"},         {"caf\xC3\xA9", "caf%C3%A9"},
      {"a b", "a%20b"}, {"/?#%", "%2F%3F%23%25"}, {"AZaz09-._~", "AZaz09-._~"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(percentEncoded(c.raw), c.encoded);
    EXPECT_EQ(percentDecoded(c.encoded), std::optional<std::string>(c.raw));
  }
  EXPECT_EQ(queryString({{"q", "a&b=c"}, {"name", "1+1 \xC3\xA9"}}), "q=a%26b%3Dc&name=1%2B1%20%C3%A9");
  EXPECT_EQ(percentDecoded("1+1"), std::optional<std::string>("1+1"));
  for (const char* bad : {"%", "%4", "%ZZ", "a%G1"}) EXPECT_FALSE(percentDecoded(bad).has_value()) << bad;
}

TEST(PathSegment, OnlyWhatASegmentMayHoldStaysAndDotSegmentsAreEscaped) {
  struct Case {
    const char* raw;
    const char* encoded;
  } cases[] = {
      {"1:1234:ios:ab@c", "1:1234:ios:ab@c"}, {"!$&'()*+,;=", "!$&'()*+,;="}, {"a/b", "a%2Fb"},
      {"?#% ", "%3F%23%25%20"},              {"caf\xC3\xA9", "caf%C3%A9"},    {".", "%2E"},
      {"..", "%2E%2E"},                      {"...", "..."},                  {"a..b", "a..b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(percentEncodedPathSegment(c.raw), c.encoded) << c.raw;
    EXPECT_EQ(percentDecoded(c.encoded), std::optional<std::string>(c.raw));
  }
}

TEST(URL, TextIsAcceptedOnlyWhenItIsAURL) {
  struct Case {
    const char* text;
    bool accepted;
    const char* scheme;
    std::optional<std::string> query;
  } cases[] = {
      {"https://example.com/a?utm_source=x&b=%41#frag", true, "https", "utm_source=x&b=%41"},
      {"tolv://open?", true, "tolv", ""},
      {"tolv://open#a?b", true, "tolv", std::nullopt},
      {"/relative/path?k=v", true, "", "k=v"},
      {"a/b:c?d", true, "", "d"},
      {"", false, "", std::nullopt},
      {"https://example.com/a b", false, "", std::nullopt},
      {"https://example.com/\"quoted\"", false, "", std::nullopt},
      {"https://example.com/<x>", false, "", std::nullopt},
      {"https://example.com/cafÃ©", false, "", std::nullopt},
      {"https://example.com/?a=%", false, "", std::nullopt},
      {"https://example.com/?a=%4", false, "", std::nullopt},
      {"https://example.com/?a=%G1", false, "", std::nullopt},
      {"1http://example.com", false, "", std::nullopt},
      {"ht_tp://example.com", false, "", std::nullopt},
      {":no-scheme", false, "", std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<URL> url = URL::withString(c.text);
    ASSERT_EQ(url.has_value(), c.accepted) << c.text;
    if (!url) continue;
    EXPECT_EQ(url->absoluteString(), c.text);
    EXPECT_EQ(url->scheme(), c.scheme) << c.text;
    EXPECT_EQ(url->query(), c.query) << c.text;
  }
}

TEST(Digest, MD5KnownAnswers) {
  // RFC 1321, appendix A.5.
  EXPECT_EQ(hexString(md5("").data(), 16), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hexString(md5("abc").data(), 16), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hexString(md5("message digest").data(), 16), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(UUID, RandomVersionFourAndTextForm) {
  auto a = UUID::random(), b = UUID::random();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(*a, *b);
  std::string text = a->uuidString();
  ASSERT_EQ(text.size(), 36u);
  EXPECT_EQ(text[14], '4');
  EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
  EXPECT_EQ(UUID::fromString(text), *a);
  EXPECT_FALSE(UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5").has_value());
  EXPECT_FALSE(UUID::fromString("E621E1F8xC36C-495A-93FC-0C247A3E6E5F").has_value());
}

TEST(RegularExpression, MatchesInUTF16Units) {
  struct Case {
    const char* pattern;
    bool caseInsensitive;
    const char* text;
    std::optional<std::size_t> location;
    std::size_t length;
  } cases[] = {
      {"abc", false, "xxabc", 2, 3},
      {"abc", false, "ABC", std::nullopt, 0},
      {"abc", true, "xABC", 1, 3},
      {"a", false, "\xF0\x9F\x98\x80" "a", 2, 1},  // after a surrogate pair
      {"^\\d{3}$", false, "123", 0, 3},
      {"\\p{Lu}+", false, "abcDEF", 3, 3},
  };
  for (const auto& c : cases) {
    auto re = RegularExpression::make(c.pattern, {.caseInsensitive = c.caseInsensitive});
    ASSERT_TRUE(re.ok()) << c.pattern;
    auto match = (*re)->firstMatch(c.text);
    ASSERT_TRUE(match.ok()) << c.pattern;
    ASSERT_EQ(match->has_value(), c.location.has_value()) << c.pattern << " in " << c.text;
    if (c.location) {
      EXPECT_EQ((*match)->location, *c.location) << c.pattern;
      EXPECT_EQ((*match)->length, c.length) << c.pattern;
    }
  }
}

TEST(RegularExpression, BadPatternsAndRunawayMatchesAreErrors) {
  for (const char* bad : {"", "(", "[a-", "a{2,1}", "*"}) {
    auto re = RegularExpression::make(bad);
    ASSERT_FALSE(re.ok()) << bad;
    EXPECT_EQ(re.error().code, kRegularExpressionInvalidPattern);
  }
  auto evil = RegularExpression::make("(a+)+$", {.timeLimit = 5});
  ASSERT_TRUE(evil.ok());
  auto runaway = (*evil)->isFound(std::string(40, 'a') + "!");
  ASSERT_FALSE(runaway.ok());
  EXPECT_EQ(runaway.error().code, kRegularExpressionTimedOut);
  EXPECT_EQ((*evil)->isFound(std::string("\xFF")).error().code, kRegularExpressionInvalidText);
}

TEST(NotificationCenter, DeliversByNameAndSenderAndStopsAfterRemoval) {
  NotificationCenter center;
  int sender = 0, other = 0;
  std::vector<std::string> seen;
  std::vector<std::function<void()>> deferred;
  auto byName = center.addObserverForName("ping", nullptr, nullptr,
                                          [&](const Notification& n) { seen.push_back("name:" + n.name); });
  center.addObserverForName("", &sender, nullptr, [&](const Notification& n) {
    seen.push_back("sender:" + n.name + ":" + n.userInfo.at("k").description());
  });
  auto queued = center.addObserverForName("ping", nullptr, [&](std::function<void()> run) { deferred.push_back(run); },
                                          [&](const Notification&) { seen.push_back("queued"); });
  center.postNotificationName("ping", &sender, {{"k", 1}});
  center.postNotificationName("pong", &other, {{"k", 2}});
  EXPECT_EQ(seen, (std::vector<std::string>{"name:ping", "sender:ping:1"}));
  ASSERT_EQ(deferred.size(), 1u);
  center.removeObserver(queued);
  center.removeObserver(byName);
  deferred[0]();  // removed before it ran: skipped
  center.postNotificationName("ping");
  EXPECT_EQ(seen.size(), 2u);
}

TEST(ProcessInfo, ArgumentsEnvironmentAndDeviceFacts) {
  testkit::TemporaryHome home;
  ProcessInfo::setArguments({"/usr/bin/tolv", "-DebugOnDeviceConversionMeasurement"});
  EXPECT_TRUE(ProcessInfo::hasArgument("-DebugOnDeviceConversionMeasurement"));
  EXPECT_FALSE(ProcessInfo::hasArgument("/usr/bin/tolv"));
  EXPECT_EQ(ProcessInfo::processName(), "tolv");

  struct Language {
    std::optional<std::string> language, all, lang;
    std::vector<std::string> expected;
  } languages[] = {
      {std::nullopt, std::nullopt, "de_DE.UTF-8", {"de-DE"}},
      {"fr_CA:en", std::nullopt, "de_DE.UTF-8", {"fr-CA", "en"}},
      // The C and POSIX locales, and no locale at all, speak English.
      {std::nullopt, std::nullopt, "C.UTF-8", {"en"}},
      {std::nullopt, "POSIX", "de_DE.UTF-8", {"en"}},
      {"C", std::nullopt, "C", {"en"}},
      {"", "", "", {"en"}},
  };
  for (const auto& l : languages) {
    ProcessInfo::setEnvironmentOverride("LANGUAGE", l.language);
    ProcessInfo::setEnvironmentOverride("LC_ALL", l.all);
    ProcessInfo::setEnvironmentOverride("LC_MESSAGES", "");
    ProcessInfo::setEnvironmentOverride("LANG", l.lang);
    EXPECT_EQ(Device::preferredLanguages(), l.expected) << "LANG=" << l.lang.value_or("(unset)");
  }
  ProcessInfo::clearEnvironmentOverrides();

  Device::setSystemVersion("17.4.1");
  EXPECT_EQ(Device::systemVersion(), "17.4.1");
  Device::setSystemVersion(std::nullopt);
  EXPECT_FALSE(Device::systemVersion().empty());

  const char* oldTZ = std::getenv("TZ");
  std::string saved = oldTZ ? oldTZ : "";
  ::setenv("TZ", "<-0930>9:30", 1);
  EXPECT_EQ(Device::timeZoneOffsetSeconds(), -34200);
  ::setenv("TZ", "<+0545>-5:45", 1);
  EXPECT_EQ(Device::timeZoneOffsetSeconds(), 20700);
  if (oldTZ) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");

  std::string vendor = Device::identifierForVendor();
  EXPECT_TRUE(UUID::fromString(vendor).has_value());
  home.relaunch();
  EXPECT_EQ(Device::identifierForVendor(), vendor);
  ProcessInfo::setArguments({});
}

TEST(Bundle, InfoPlistValuesAndResources) {
  testkit::TemporaryHome home;
  // Without an Info.plist: the program's own default, else one made from the executable's name.
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.tolv.host.foundation-test");
  Bundle::setDefaultBundleIdentifier(kToyBundleIdentifier);
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), kToyBundleIdentifier);
  EXPECT_EQ(UserDefaults::standard()->name(), kToyBundleIdentifier);
  Bundle::setDefaultBundleIdentifier(std::nullopt);
  EXPECT_EQ(Bundle::defaultBundleIdentifier(), "com.tolv.host.foundation-test");
  home.setInfoPlist({{"CFBundleIdentifier", "com.example.host"},
                     {"CFBundleShortVersionString", "2.1"},
                     {"CFBundleVersion", "210"},
                     {"ZarnholtScreenReportingEnabled", false}});
  ASSERT_TRUE(writeFileAtomically(home.bundleDirectory() + "/DralixService-Info.plist", std::string_view("x")).ok());
  auto bundle = Bundle::main();
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.host");
  EXPECT_EQ(bundle->shortVersionString(), "2.1");
  EXPECT_EQ(bundle->bundleVersion(), "210");
  EXPECT_EQ(*bundle->objectForInfoDictionaryKey("ZarnholtScreenReportingEnabled"), Object(false));
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Missing"), nullptr);
  EXPECT_EQ(bundle->pathForResource("DralixService-Info", "plist"),
            std::optional<std::string>(home.bundleDirectory() + "/DralixService-Info.plist"));
  EXPECT_FALSE(bundle->pathForResource("Absent", "plist").has_value());
}

TEST(ProcessExit, AWorkerStillRunningFindsTheProcessWideStateInPlace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testkit::ExitRace race;
        // A home where nothing can be created: the step only reads.
        Paths::setHome("/dev/null/tolv");
        setLogSink([kept = std::make_shared<std::string>()](std::string_view line) { kept->assign(line); });
        race.exitWhileRunning([] {
          std::mutex mutex;
          std::condition_variable cv;
          std::unique_lock lock(mutex);
          (void)waitUntil(cv, lock, Deadline::afterSeconds(0), [] { return false; });
          (void)now();
          (void)UserDefaults::suite("")->objectForKey("k");
          (void)ProcessInfo::arguments();
          logLine("still running");
        });
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace foundation
