#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "testing/LogCapture.h"
#include "testing/TemporaryHome.h"

namespace foundation {
namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  testkit::TemporaryHome home;
};

std::uint32_t bits(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

TEST_F(UserDefaultsTest, PreferencesOfEveryKindComeBackBitExactAfterRelaunch) {
  home.setInfoPlist({{"CFBundleIdentifier", "com.example.toy"}});
  const std::pair<const char*, float> floats[] = {
      {"fingerRadiusKey", 0.02f}, {"vorticityKey", 0.1f},       {"colorDiffusionKey", 1.0f},
      {"velocityDiffusionKey", 0.2f}, {"splatForceKey", 1.0f},  {"particleRadiusKey", 0.008f},
      {"dampingKey", 0.98f},       {"tinyKey", 1e-45f},         {"negativeZeroKey", -0.0f}};
  const std::pair<const char*, std::int64_t> integers[] = {
      {"particleNumKey", 100}, {"currentLineNumKey", 9000}, {"minKey", INT64_MIN}};
  const std::pair<const char*, bool> booleans[] = {{"renderPointKey", true}, {"usingBloomKey", false}};

  auto prefs = UserDefaults::standard();
  for (auto [key, value] : floats) ASSERT_TRUE(prefs->setFloat(value, key).ok());
  for (auto [key, value] : integers) ASSERT_TRUE(prefs->setInteger(value, key).ok());
  for (auto [key, value] : booleans) ASSERT_TRUE(prefs->setBool(value, key).ok());
  EXPECT_EQ(prefs->filePath(), Paths::preferencesDirectory() + "/com.example.toy.plist");

  home.relaunch();
  prefs = UserDefaults::standard();
  for (auto [key, value] : floats) EXPECT_EQ(bits(prefs->floatForKey(key)), bits(value)) << key;
  for (auto [key, value] : integers) EXPECT_EQ(prefs->integerForKey(key), value) << key;
  for (auto [key, value] : booleans) {
    EXPECT_EQ(prefs->boolForKey(key), value) << key;
    EXPECT_TRUE(prefs->objectForKey(key)->isBool()) << key;
  }
  EXPECT_FALSE(prefs->objectForKey("neverSetKey").has_value());
  EXPECT_EQ(prefs->integerForKey("neverSetKey"), 0);
}

TEST_F(UserDefaultsTest, SuitesAreSeparateFilesSharedByEveryHandle) {
  auto a = UserDefaults::suite("com.example.one");
  auto b = UserDefaults::suite("com.example.two");
  EXPECT_EQ(a, UserDefaults::suite("com.example.one"));
  ASSERT_TRUE(a->setObject("first", "key").ok());
  ASSERT_TRUE(b->setObject(Array{1, "two"}, "key").ok());
  EXPECT_TRUE(fileExists(Paths::preferencesDirectory() + "/com.example.one.plist"));

  home.relaunch();
  EXPECT_EQ(*UserDefaults::suite("com.example.one")->stringForKey("key"), "first");
  EXPECT_EQ(*UserDefaults::suite("com.example.two")->arrayForKey("key"), (Array{1, "two"}));
  EXPECT_FALSE(UserDefaults::suite("com.example.two")->stringForKey("key").has_value());

  ASSERT_TRUE(UserDefaults::suite("com.example.one")->removeAllObjects().ok());
  home.relaunch();
  EXPECT_TRUE(UserDefaults::suite("com.example.one")->keys().empty());
}

TEST_F(UserDefaultsTest, TypedReadersConvertLikeThePlatform) {
  auto d = UserDefaults::suite("typed");
  struct Case {
    Object stored;
    std::int64_t integer;
    double real;
    bool boolean;
  } cases[] = {
      {true, 1, 1.0, true},   {7, 7, 7.0, true},     {-2.75, -2, -2.75, true}, {"12", 12, 12.0, true},
      {"2.5", 2, 2.5, true},  {"YES", 0, 0.0, true}, {"junk", 0, 0.0, false},  {Data{1}, 0, 0.0, false},
      {Array{1}, 0, 0.0, false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(d->setObject(c.stored, "k").ok());
    EXPECT_EQ(d->integerForKey("k"), c.integer) << c.stored.description();
    EXPECT_EQ(d->doubleForKey("k"), c.real) << c.stored.description();
    EXPECT_EQ(d->boolForKey("k"), c.boolean) << c.stored.description();
  }
}

TEST_F(UserDefaultsTest, InvalidKeysAndValuesChangeNothing) {
  auto d = UserDefaults::suite("invalid");
  ASSERT_TRUE(d->setInteger(1, "kept").ok());
  EXPECT_EQ(d->setInteger(2, "").error().code, kUserDefaultsInvalidKey);
  EXPECT_EQ(d->setObject(Array{Object()}, "kept").error().code, kUserDefaultsInvalidValue);
  EXPECT_EQ(d->setObject(std::string("\xFF"), "kept").error().code, kUserDefaultsInvalidValue);
  // Values a property list cannot hold, deep inside: kept in memory they
  // would make every later write of the suite fail.
  const Object unwritable[] = {
      Array{std::string("\xFF")},
      Dictionary{{"\xFF", 1}},
      Dictionary{{"when", Date{1e300}}},
      Array{Date{std::nan("")}},
  };
  for (const auto& value : unwritable) {
    auto set = d->setObject(value, "other");
    ASSERT_FALSE(set.ok()) << value.description();
    EXPECT_EQ(set.error().code, kUserDefaultsInvalidValue) << value.description();
    EXPECT_FALSE(d->objectForKey("other").has_value()) << value.description();
  }
  EXPECT_TRUE(d->removeObjectForKey("missing").ok());
  EXPECT_TRUE(d->setInteger(2, "later").ok());
  home.relaunch();
  EXPECT_EQ(UserDefaults::suite("invalid")->dictionaryRepresentation(), (Dictionary{{"kept", 1}, {"later", 2}}));
}

TEST_F(UserDefaultsTest, CorruptFileGivesDefaultsALogLineAndACopy) {
  std::string path = Paths::preferencesDirectory() + "/broken.plist";
  const std::string garbage = "<plist><dict><key>fingerRadiusKey</key><real>0.0";
  ASSERT_TRUE(writeFileAtomically(path, garbage).ok());
  testkit::LogCapture log;
  auto d = UserDefaults::suite("broken");
  EXPECT_FALSE(d->objectForKey("fingerRadiusKey").has_value());
  EXPECT_TRUE(log.contains(path + " is corrupt"));
  auto kept = readFile(path + ".corrupt");
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(std::string(kept->begin(), kept->end()), garbage);

  ASSERT_TRUE(d->setFloat(0.5f, "fingerRadiusKey").ok());
  home.relaunch();
  EXPECT_EQ(UserDefaults::suite("broken")->floatForKey("fingerRadiusKey"), 0.5f);
}

TEST_F(UserDefaultsTest, FileWithADateTheWriterCannotWriteIsSetAsideAndTheSuiteStaysWritable) {
  // Each of these once read as a date the writer then refused, so that no
  // later change of the suite reached its file.
  const char* dates[] = {"-191-12-31T23:59:59Z", "9999-12-31T23:59:60Z", "9999-12-31T23:59:59.99999999999999999Z",
                         "2023-02-31T00:00:00Z"};
  const std::string path = Paths::preferencesDirectory() + "/dated.plist";
  std::vector<std::string> files;
  for (const char* date : dates) {
    SCOPED_TRACE(date);
    const std::string text = std::string("<plist><dict><key>when</key><date>") + date + "</date></dict></plist>";
    ASSERT_TRUE(writeFileAtomically(path, text).ok());
    auto d = UserDefaults::suite("dated");
    EXPECT_FALSE(d->objectForKey("when").has_value());
    ASSERT_TRUE(d->setInteger(1, "later").ok());
    home.relaunch();
    EXPECT_EQ(UserDefaults::suite("dated")->integerForKey("later"), 1);
    // Every damaged file is kept, none over another.
    std::string kept = files.empty() ? path + ".corrupt" : path + ".corrupt." + std::to_string(files.size() + 1);
    auto bytes = readFile(kept);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), text);
    files.push_back(kept);
    ASSERT_TRUE(removeItem(path).ok());
    home.relaunch();
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    Data bytes = readFile(files[i]).value();
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find(dates[i]), std::string::npos) << files[i];
  }
}

TEST_F(UserDefaultsTest, FileLongerThanAPropertyListMayBeIsLeftAsItIs) {
  const std::string path = Paths::preferencesDirectory() + "/huge.plist";
  const std::string text = "<plist><string>" + std::string(kPropertyListMaxLength, 'a') + "</string></plist>";
  ASSERT_TRUE(writeFileAtomically(path, text).ok());
  testkit::LogCapture log;
  auto d = UserDefaults::suite("huge");
  EXPECT_EQ(d->setInteger(1, "k").error().code, kUserDefaultsNotWritten);
  EXPECT_TRUE(log.contains("cannot read " + path));
  EXPECT_EQ(readFile(path)->size(), text.size());
  EXPECT_FALSE(fileExists(path + ".corrupt"));
}

TEST_F(UserDefaultsTest, UnreadableFileIsNeverOverwritten) {
  // A folder where the file should be cannot be read as a file.
  std::string path = Paths::preferencesDirectory() + "/locked.plist";
  ASSERT_TRUE(createDirectory(path + "/inside").ok());
  testkit::LogCapture log;
  auto d = UserDefaults::suite("locked");
  auto set = d->setInteger(5, "k");
  ASSERT_FALSE(set.ok());
  EXPECT_EQ(set.error().code, kUserDefaultsNotWritten);
  EXPECT_EQ(d->integerForKey("k"), 5);  // kept in memory
  EXPECT_TRUE(log.contains("cannot read " + path));
  EXPECT_TRUE(isDirectory(path + "/inside"));
}

TEST_F(UserDefaultsTest, SynchronizingEverySuiteWritesWhatFailedWritesLeftInMemory) {
  // A file where the preferences folder belongs: no suite can be written.
  const std::string folder = Paths::preferencesDirectory();
  ASSERT_TRUE(writeFileAtomically(folder, std::string_view("x")).ok());
  auto pending = UserDefaults::suite("pending");
  ASSERT_FALSE(pending->setInteger(7, "k").ok());
  EXPECT_EQ(UserDefaults::suite("unchanged")->integerForKey("k"), 0);
  EXPECT_FALSE(UserDefaults::synchronizeAll().ok());

  ASSERT_TRUE(removeItem(folder).ok());
  // A suite that can never be written does not keep the others from it.
  ASSERT_TRUE(createDirectory(folder + "/a-locked.plist/inside").ok());
  ASSERT_FALSE(UserDefaults::suite("a-locked")->setInteger(1, "k").ok());
  EXPECT_FALSE(UserDefaults::synchronizeAll().ok());
  EXPECT_FALSE(fileExists(folder + "/unchanged.plist"));

  home.relaunch();
  EXPECT_EQ(UserDefaults::suite("pending")->integerForKey("k"), 7);
  EXPECT_TRUE(isDirectory(folder + "/a-locked.plist/inside"));
}

TEST_F(UserDefaultsTest, MissingHomeIsCreatedOnFirstWrite) {
  ASSERT_FALSE(fileExists(home.dataHome()));
  ASSERT_TRUE(UserDefaults::standard()->setBool(true, "visited").ok());
  EXPECT_TRUE(isDirectory(Paths::preferencesDirectory()));
}

TEST_F(UserDefaultsTest, WritersOnManyThreadsLoseNothing) {
  auto d = UserDefaults::suite("threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([d, t] {
      for (int i = 0; i < 20; ++i) EXPECT_TRUE(d->setInteger(i, "t" + std::to_string(t) + "_" + std::to_string(i)).ok());
    });
  }
  for (auto& t : threads) t.join();
  home.relaunch();
  EXPECT_EQ(UserDefaults::suite("threads")->keys().size(), 80u);
  EXPECT_EQ(UserDefaults::suite("threads")->integerForKey("t3_19"), 19);
}

}  // namespace
}  // namespace foundation
