#include <gtest/gtest.h>

#include "conversion/ODCConversionStore.h"
#include "conversion/odc_test_kit.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace {

using foundation::Date;
using foundation::Dictionary;
using foundation::Object;

class ODCStoreTest : public odctest::ODCTest {
 protected:
  std::string path() const { return ODCConversionStorePath(); }
  void writeFile(const Dictionary& content) {
    ASSERT_TRUE(foundation::writePropertyListFile(path(), Object(content)).ok());
  }
  Dictionary fileContent() const {
    auto read = foundation::readPropertyListDictionary(path());
    return read.ok() ? *read : Dictionary{{"<unreadable>", true}};
  }
};

TEST_F(ODCStoreTest, ValuesPersistAcrossInstancesInAFileExcludedFromBackup) {
  {
    auto store = ODCConversionStore::create();
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->firstLaunchTimestamp());
    EXPECT_FALSE(foundation::fileExists(path())) << "nothing is written before the first change";
    store->setFirstLaunchTimestamp(Date{100.25});
    store->setMatchFoundTimestamp(Date{200.5});
    store->setOdm2RetryCount(3);
    store->setAggregateConversionInfo("aggregate");
    store->setMeasurementInfo("");
  }
  EXPECT_EQ(path(), foundation::Paths::applicationSupportDirectory() +
                        "/Dralix/Ads/OnDeviceConversion/com.dralix.ads.on_device_conversion.plist");
  EXPECT_TRUE(foundation::isExcludedFromBackup(path()));
  home.relaunch();
  auto store = ODCConversionStore::create();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->firstLaunchTimestamp(), Date{100.25});
  EXPECT_EQ(store->matchFoundTimestamp(), Date{200.5});
  EXPECT_EQ(store->odm2RetryCount(), 3);
  EXPECT_EQ(store->aggregateConversionInfo(), "aggregate");
  EXPECT_EQ(store->measurementInfo(), "");

  store->setOdm2RetryCount(std::nullopt);
  store->setMeasurementInfo(std::nullopt);
  EXPECT_EQ(fileContent().count("ODM2RetryCount"), 0u);
  EXPECT_EQ(fileContent().count("MeasurementInfo"), 0u);
  EXPECT_EQ(fileContent().count("AggregateConversionInfo"), 1u);
}

TEST_F(ODCStoreTest, AValueOfTheWrongTypeIsLoggedRemovedFromTheFileAndReadAsAbsent) {
  struct Case {
    const char* key;
    Object stored;
    std::int64_t code;
    std::function<bool(ODCConversionStore&)> readsAbsent;
  } cases[] = {
      {"FirstLaunchTimestamp", Object("yesterday"), 3001, [](auto& s) { return !s.firstLaunchTimestamp(); }},
      {"MatchFoundTimestamp", Object(12), 3002, [](auto& s) { return !s.matchFoundTimestamp(); }},
      {"ODM2RetryCount", Object("4"), 3006, [](auto& s) { return !s.odm2RetryCount(); }},
      {"AggregateConversionInfo", Object(7), 3003, [](auto& s) { return !s.aggregateConversionInfo(); }},
      {"MeasurementInfo", Object(Date{5}), 3003, [](auto& s) { return !s.measurementInfo(); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.key);
    writeFile({{c.key, c.stored}, {"Other", "kept"}});
    auto store = ODCConversionStore::create();
    ASSERT_TRUE(store);
    EXPECT_TRUE(c.readsAbsent(*store));
    EXPECT_TRUE(logged(c.code, "Invalid ")) << c.code;
    EXPECT_EQ(fileContent(), (Dictionary{{"Other", "kept"}}));
  }
}

TEST_F(ODCStoreTest, SettersRewriteTheFileOnlyWhenTheValueChanges) {
  auto store = ODCConversionStore::create();
  ASSERT_TRUE(store);
  // With the file removed behind the store's back, a write shows as the file
  // coming back.
  auto rewrites = [&](const std::function<void()>& set) {
    (void)foundation::removeItem(path());
    set();
    return foundation::fileExists(path());
  };
  store->setFirstLaunchTimestamp(Date{100.2});
  EXPECT_FALSE(rewrites([&] { store->setFirstLaunchTimestamp(Date{100.9}); })) << "same second";
  EXPECT_TRUE(rewrites([&] { store->setFirstLaunchTimestamp(Date{101.0}); }));
  EXPECT_TRUE(rewrites([&] { store->setFirstLaunchTimestamp(std::nullopt); }));
  EXPECT_FALSE(rewrites([&] { store->setMatchFoundTimestamp(std::nullopt); })) << "absent over absent";

  store->setOdm2RetryCount(2);
  EXPECT_FALSE(rewrites([&] { store->setOdm2RetryCount(2); }));
  EXPECT_TRUE(rewrites([&] { store->setOdm2RetryCount(3); }));
  EXPECT_TRUE(rewrites([&] { store->setOdm2RetryCount(std::nullopt); })) << "removing always writes";

  store->setAggregateConversionInfo("a");
  EXPECT_FALSE(rewrites([&] { store->setAggregateConversionInfo("a"); }));
  EXPECT_TRUE(rewrites([&] { store->setAggregateConversionInfo("b"); }));
  EXPECT_TRUE(rewrites([&] { store->setMeasurementInfo(std::nullopt); })) << "nothing stored counts as a change";
}

TEST_F(ODCStoreTest, AFileThatCannotBeReadIsSetAsideAndTheStoreStartsAfresh) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"not a property list", "\x01garbage<<"},
      {"root is not a dictionary", *foundation::encodePropertyList(Object(foundation::Array{Object(1)}))},
      {"empty", ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    (void)foundation::removeItem(foundation::deletingLastPathComponent(path()));
    ASSERT_TRUE(foundation::writeFileAtomically(path(), c.text).ok());
    auto store = ODCConversionStore::create();
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->content().empty());
    EXPECT_TRUE(logged(kODCErrorStoreSetAside, "Unreadable conversion store"));
    auto aside = foundation::readFile(path() + ".damaged");
    ASSERT_TRUE(aside.ok());
    EXPECT_EQ(std::string(aside->begin(), aside->end()), c.text);

    store->setFirstLaunchTimestamp(Date{10});
    EXPECT_EQ(fileContent(), (Dictionary{{"FirstLaunchTimestamp", Date{10}}}));
  }
  // A second damaged file does not replace the first one set aside.
  ASSERT_TRUE(foundation::writeFileAtomically(path(), "again").ok());
  ASSERT_TRUE(ODCConversionStore::create());
  EXPECT_TRUE(foundation::fileExists(path() + ".damaged"));
  EXPECT_TRUE(foundation::fileExists(path() + ".damaged-1"));
}

TEST_F(ODCStoreTest, NoStoreWhenItsFolderCannotBeMade) {
  // A file where the library folder should be.
  ASSERT_TRUE(foundation::writeFileAtomically(foundation::Paths::libraryDirectory(), "x").ok());
  EXPECT_EQ(ODCConversionStore::create(), nullptr);
  EXPECT_TRUE(logged(3000, "Cannot create subdirectories for config plist files."));
}

}  // namespace
