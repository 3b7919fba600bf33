#include <gtest/gtest.h>

#include <functional>

#include "measurement/foundation/QZMError.h"
#include "measurement/foundation/QZMFileLocations.h"
#include "measurement/foundation/QZMPersistentDictionary.h"
#include "measurement/foundation/QZMUserDefaults.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using foundation::Object;
using testkit::FoundationTest;
using testkit::settle;

class Stores : public FoundationTest {
 protected:
  std::string measurementFolder() const {
    return foundation::Paths::applicationSupportDirectory() + "/Dralix/Measurement";
  }
  // Codes written straight to the OS log by the stores.
  std::vector<std::string> storeCodes() const {
    std::vector<std::string> codes;
    for (const auto& line : utilities->lines()) codes.push_back(line.messageCode);
    return codes;
  }
  static std::optional<foundation::Dictionary> fileContents(const std::string& path) {
    auto read = foundation::readPropertyListDictionary(path);
    if (!read) return std::nullopt;
    return *read;
  }
};

// ---- persistent dictionary ----

TEST_F(Stores, DictionaryWritesItsFileOnceASecondAfterTheFirstChange) {
  auto store = QZMPersistentDictionary::initWithFileName("settings");
  ASSERT_TRUE(store);
  const std::string path = store->filePath();
  EXPECT_EQ(path, measurementFolder() + "/settings.plist");

  store->setObject("a", "k1");
  settle(store->serialQueue());
  EXPECT_FALSE(foundation::fileExists(path));
  clock->advance(0.5);
  store->setObject(7, "k2");
  clock->advance(0.4);
  settle(store->serialQueue());
  EXPECT_FALSE(foundation::fileExists(path));
  // The values are in memory meanwhile.
  EXPECT_EQ(store->stringForKey("k1"), "a");

  clock->advance(0.2);
  settle(store->serialQueue());
  EXPECT_EQ(fileContents(path), (foundation::Dictionary{{"k1", "a"}, {"k2", 7}}));

  // With the file gone, changes that change nothing must not bring it back.
  ASSERT_TRUE(foundation::removeItem(path));
  store->setObject("a", "k1");
  store->removeObjectForKey("missing");
  clock->advance(5);
  settle(store->serialQueue());
  EXPECT_FALSE(foundation::fileExists(path));

  store->removeObjectForKey("k1");
  clock->advance(1.1);
  settle(store->serialQueue());
  EXPECT_EQ(fileContents(path), (foundation::Dictionary{{"k2", 7}}));
}

TEST_F(Stores, DictionaryWritesAtOnceWhenReleasedWithAWritePendingAndReadsItBack) {
  auto store = QZMPersistentDictionary::initWithFileName("released.plist");
  const std::string path = store->filePath();
  EXPECT_EQ(path, measurementFolder() + "/released.plist");
  store->setObject(Object(foundation::Dictionary{{"nested", foundation::Array{1, "two"}}}), "k");
  store.reset();
  EXPECT_TRUE(foundation::fileExists(path));

  auto reopened = QZMPersistentDictionary::initWithFileName("released");
  EXPECT_EQ(reopened->dictionaryForKey("k"), (foundation::Dictionary{{"nested", foundation::Array{1, "two"}}}));
}

TEST_F(Stores, DictionaryRefusesInvalidKeysAndValuesWithoutChangingAnything) {
  auto store = QZMPersistentDictionary::initWithFileName("refusing");
  store->setObject("kept", "k");
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* code;
  } cases[] = {
      {"read with an empty key", [&] { EXPECT_FALSE(store->objectForKey("")); }, "I-ACS043001"},
      {"write with an empty key", [&] { store->setObject("x", ""); }, "I-ACS043002"},
      {"key that is not UTF-8", [&] { store->setObject("x", "\xff"); }, "I-ACS043002"},
      {"null inside an array", [&] { store->setObject(Object(foundation::Array{Object()}), "k"); }, "I-ACS043003"},
      {"text that is not UTF-8", [&] { store->setObject("\xc3", "k"); }, "I-ACS043003"},
  };
  for (const auto& c : cases) {
    size_t before = utilities->lines().size();
    c.call();
    auto codes = storeCodes();
    ASSERT_EQ(codes.size(), before + 1) << c.name;
    EXPECT_EQ(codes.back(), c.code) << c.name;
  }
  EXPECT_EQ(store->stringForKey("k"), "kept");
  clock->advance(1.1);
  settle(store->serialQueue());
  EXPECT_EQ(fileContents(store->filePath()), (foundation::Dictionary{{"k", "kept"}}));
}

TEST_F(Stores, DictionaryKeepsAnUnreadableFileAsideAndStartsEmpty) {
  const std::string path = measurementFolder() + "/damaged.plist";
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string_view("<plist><dict><key>app_in")));
  auto store = QZMPersistentDictionary::initWithFileName("damaged");
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->objectForKey("app_instance_id"));
  auto kept = foundation::readFile(path + ".corrupt");
  ASSERT_TRUE(kept);
  EXPECT_EQ(std::string(kept->begin(), kept->end()), "<plist><dict><key>app_in");
  EXPECT_EQ(storeCodes(), std::vector<std::string>{"I-ACS043005"});

  store->setObject("fresh", "k");
  clock->advance(1.1);
  settle(store->serialQueue());
  EXPECT_EQ(fileContents(path), (foundation::Dictionary{{"k", "fresh"}}));
  store.reset();

  // A second damaged file is kept beside the first, not over it.
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string_view("<plist><dict><key>second")));
  ASSERT_TRUE(QZMPersistentDictionary::initWithFileName("damaged"));
  EXPECT_EQ(foundation::readFile(path + ".corrupt").value(), foundation::Data(kept->begin(), kept->end()));
  auto second = foundation::readFile(path + ".corrupt.2");
  ASSERT_TRUE(second);
  EXPECT_EQ(std::string(second->begin(), second->end()), "<plist><dict><key>second");
}

TEST_F(Stores, DictionaryLeavesAFileItCannotReadAsItIsAndNeverWritesOverIt) {
  // A folder where the file should be cannot be read, like a file the
  // process may not open now; what it holds may still be sound.
  const std::string path = measurementFolder() + "/locked.plist";
  ASSERT_TRUE(foundation::createDirectory(path + "/inside"));
  auto store = QZMPersistentDictionary::initWithFileName("locked");
  ASSERT_TRUE(store);
  EXPECT_EQ(storeCodes(), std::vector<std::string>{"I-ACS043005"});
  EXPECT_FALSE(foundation::fileExists(path + ".corrupt"));

  store->setObject("memory only", "k");
  clock->advance(1.1);
  settle(store->serialQueue());
  EXPECT_EQ(storeCodes(), (std::vector<std::string>{"I-ACS043005", "I-ACS043000"}));
  EXPECT_TRUE(foundation::isDirectory(path + "/inside"));
  EXPECT_EQ(store->stringForKey("k"), "memory only");
}

TEST_F(Stores, DictionaryWithoutAFolderIsNotMade) {
  // A file where the folder should be.
  ASSERT_TRUE(foundation::writeFileAtomically(foundation::Paths::applicationSupportDirectory() + "/Dralix",
                                              std::string_view("x")));
  EXPECT_EQ(QZMPersistentDictionary::initWithFileName("blocked"), nullptr);
  EXPECT_EQ(storeCodes(), std::vector<std::string>{"I-ACS043004"});
  EXPECT_EQ(QZMPersistentDictionary::initWithFileName(""), nullptr);
}

// ---- both stores ----

TEST_F(Stores, TypedReadersNeverConvertBetweenKinds) {
  std::vector<std::pair<const char*, std::shared_ptr<QZMConfigStore>>> stores = {
      {"dictionary", QZMPersistentDictionary::initWithFileName("typed")},
      {"suite", QZMUserDefaults::initWithSuiteName("typed.suite")},
  };
  for (const auto& [kind, store] : stores) {
    store->setObject("42", "string");
    store->setInteger(42, "integer");
    store->setDouble(2.5, "double");
    store->setBool(true, "bool");
    store->setObject(Object(foundation::Array{1}), "array");
    EXPECT_EQ(store->integerForKey("string"), 0) << kind;
    EXPECT_EQ(store->doubleForKey("string"), 0.0) << kind;
    EXPECT_FALSE(store->boolForKey("string")) << kind;
    EXPECT_EQ(store->stringForKey("integer"), std::nullopt) << kind;
    EXPECT_EQ(store->integerForKey("integer"), 42) << kind;
    EXPECT_EQ(store->integerForKey("double"), 2) << kind;
    EXPECT_FLOAT_EQ(store->floatForKey("double"), 2.5f) << kind;
    EXPECT_TRUE(store->boolForKey("bool")) << kind;
    EXPECT_EQ(store->integerForKey("bool"), 1) << kind;
    EXPECT_EQ(store->numberForKey("double"), Object(2.5)) << kind;
    EXPECT_EQ(store->numberForKey("string"), std::nullopt) << kind;
    EXPECT_EQ(store->arrayForKey("array"), foundation::Array{1}) << kind;
    EXPECT_EQ(store->dictionaryForKey("array"), std::nullopt) << kind;
    EXPECT_EQ(store->integerForKey("missing"), 0) << kind;

    store->clearAllData();
    for (const char* key : {"string", "integer", "double", "bool", "array"}) {
      EXPECT_FALSE(store->objectForKey(key)) << kind << " " << key;
    }
  }
}

// ---- user-defaults suites ----

TEST_F(Stores, SuiteStoresInThePlatformDomainAndRefusesWhatItCannotHold) {
  auto suite = QZMUserDefaults::initWithSuiteName(kQZMTCFSuiteName);
  suite->setObject("v", "k");
  EXPECT_EQ(foundation::UserDefaults::suite(kQZMTCFSuiteName)->stringForKey("k"), "v");
  // A second wrapper over the same suite sees the same values.
  EXPECT_EQ(QZMUserDefaults::initWithSuiteName(kQZMTCFSuiteName)->stringForKey("k"), "v");

  suite->setObject(Object(foundation::Dictionary{{"n", Object()}}), "k");
  suite->setObject("x", "");
  EXPECT_FALSE(suite->objectForKey(""));
  EXPECT_EQ(storeCodes(), (std::vector<std::string>{"I-ACS041003", "I-ACS041002", "I-ACS041001"}));
  EXPECT_EQ(suite->stringForKey("k"), "v");

  // An empty name is the application's own domain.
  QZMUserDefaults::initWithSuiteName("")->setObject(1, "app");
  EXPECT_EQ(foundation::UserDefaults::standard()->integerForKey("app"), 1);
  EXPECT_EQ(QZMUserDefaults::sharedUserDefaults()->integerForKey("app"), 1);
}

TEST_F(Stores, SynchronizingASuiteExcludesItsFileFromBackupOnce) {
  auto suite = QZMUserDefaults::initWithSuiteName("backup.suite");
  suite->synchronize();
  // No file yet: nothing to exclude, and the next synchronisation tries again.
  EXPECT_FALSE(suite->isPreferenceFileExcluded());
  suite->setInteger(1, "k");
  suite->synchronize();
  EXPECT_TRUE(suite->isPreferenceFileExcluded());
  EXPECT_TRUE(foundation::isExcludedFromBackup(QZMPreferencesPlistPath("backup.suite")));

  auto shared = QZMUserDefaults::sharedUserDefaults();
  shared->setInteger(1, "k");
  shared->synchronize();
  EXPECT_FALSE(foundation::isExcludedFromBackup(foundation::UserDefaults::standard()->filePath()));
}

// ---- file locations ----

TEST_F(Stores, PathsOfTheMeasurementFolderAndThePreferences) {
  struct Case {
    std::string path;
    std::string expected;
  } cases[] = {
      {QZMApplicationSupportFilePath("dralix-kestro-meter.sql"), measurementFolder() + "/dralix-kestro-meter.sql"},
      {QZMApplicationSupportFilePath(""), ""},
      {QZMApplicationSupportPlistPath("com.dralix.dxv.measurement"),
       measurementFolder() + "/com.dralix.dxv.measurement.plist"},
      {QZMApplicationSupportPlistPath("store.plist"), measurementFolder() + "/store.plist"},
      {QZMApplicationSupportPlistPath("store.txt"), measurementFolder() + "/store.txt.plist"},
      {QZMApplicationSupportPlistPath(""), ""},
      {QZMPreferencesPlistPath("suite"), foundation::Paths::preferencesDirectory() + "/suite.plist"},
      {QZMPreferencesPlistPath(""), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.path, c.expected);
  // The preferences file of a suite is the platform's file of that suite.
  EXPECT_EQ(QZMPreferencesPlistPath("suite"), foundation::UserDefaults::suite("suite")->filePath());
}

TEST_F(Stores, DeletingAFileAnswersWhatWentWrong) {
  auto empty = QZMDeleteFileAtPath("");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().domain, kQZMErrorDomain);
  EXPECT_EQ(empty.error().code, 1);
  EXPECT_EQ(empty.error().description, "Received empty path for deleting file");

  std::string path = home->root() + "/doomed";
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string_view("x")));
  EXPECT_TRUE(QZMDeleteFileAtPath(path));
  EXPECT_FALSE(foundation::fileExists(path));
  EXPECT_FALSE(QZMDeleteFileAtPath(path));
}

TEST_F(Stores, SuiteFileMovesIntoTheMeasurementFolder) {
  const std::string suite = "moving.suite";
  const std::string oldPath = QZMPreferencesPlistPath(suite);
  const std::string newPath = QZMApplicationSupportPlistPath(suite);
  auto writeDictionary = [](const std::string& path, const char* value) {
    ASSERT_TRUE(foundation::writePropertyListFile(path, Object(foundation::Dictionary{{"k", value}})));
  };
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool result;
    std::optional<std::string> oldValue;  // what stays at the old path
    std::optional<std::string> newValue;  // what is at the new path
  } cases[] = {
      {"no old file", [] {}, true, std::nullopt, std::nullopt},
      {"moved", [&] { writeDictionary(oldPath, "old"); }, true, std::nullopt, "old"},
      {"target exists: the old file is deleted",
       [&] {
         writeDictionary(oldPath, "old");
         writeDictionary(newPath, "new");
       },
       true, std::nullopt, "new"},
      {"old path is a folder", [&] { ASSERT_TRUE(foundation::createDirectory(oldPath)); }, false, std::nullopt,
       std::nullopt},
      {"target is a folder",
       [&] {
         writeDictionary(oldPath, "old");
         ASSERT_TRUE(foundation::createDirectory(newPath));
       },
       false, "old", std::nullopt},
  };
  for (const auto& c : cases) {
    for (const auto& path : {oldPath, newPath}) {
      if (foundation::fileExists(path)) {
        ASSERT_TRUE(foundation::removeItem(path));
      }
    }
    foundation::UserDefaults::forgetSuite(suite);
    c.arrange();
    // The platform holds the suite in memory, as an app that used it would.
    (void)foundation::UserDefaults::suite(suite)->objectForKey("k");

    EXPECT_EQ(QZMMigratePreferencesSuiteToApplicationSupport(suite), c.result) << c.name;
    auto value = [](const std::string& path) -> std::optional<std::string> {
      auto contents = Stores::fileContents(path);
      if (!contents || !contents->count("k")) return std::nullopt;
      return *contents->at("k").string();
    };
    EXPECT_EQ(value(oldPath), c.oldValue) << c.name;
    EXPECT_EQ(value(newPath), c.newValue) << c.name;
    if (c.result) {
      // The suite let go of the file: it no longer serves the old values.
      EXPECT_FALSE(foundation::UserDefaults::suite(suite)->objectForKey("k")) << c.name;
    }
  }
  EXPECT_FALSE(QZMMigratePreferencesSuiteToApplicationSupport(""));
}

}  // namespace
