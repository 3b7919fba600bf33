#include "platform/keychain/Keychain.h"

#include <gtest/gtest.h>

#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/identity/QZMKeychainWrapper.h"
#include "platform/foundation/Files.h"

namespace {

using foundation::Data;
using foundation::Object;
using Wrapper = QZMKeychainWrapper;

constexpr const char* kAppID = "com.example.fluid";

class KeychainWrapperTest : public testkit::FoundationTest {
 protected:
  static keychain::Item item(Object account, Object generic, Data value) {
    return {Object(kAppID), std::move(account), std::move(generic), keychain::kAccessibleAlwaysThisDeviceOnly,
            std::move(value)};
  }
  static std::vector<keychain::Item> allItems() {
    auto found = keychain::Keychain::shared().copyMatching({}, 100);
    return found ? *found : std::vector<keychain::Item>{};
  }
};

TEST_F(KeychainWrapperTest, UpsertCreatesThenReplaces) {
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
  ASSERT_TRUE(Wrapper::upsertKeychainValue("3", "_pfo", kAppID).ok());
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "3");
  ASSERT_TRUE(Wrapper::upsertKeychainValue("4", "_pfo", kAppID).ok());
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "4");

  auto items = allItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].service, Object(kAppID));
  EXPECT_EQ(items[0].account, Object("_pfo"));
  EXPECT_EQ(items[0].generic, Object("_pfo"));
  EXPECT_EQ(items[0].accessibility, keychain::kAccessibleAlwaysThisDeviceOnly);

  // Another app's item of the same identifier is its own.
  ASSERT_TRUE(Wrapper::upsertKeychainValue("9", "_pfo", "com.example.other").ok());
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "4");

  Wrapper::deleteKeychainValueWithIdentifier("_pfo", kAppID);
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", "com.example.other"), "9");
}

TEST_F(KeychainWrapperTest, RefusedArgumentsWriteNothing) {
  struct Case {
    const char* name;
    Object value;
    const char* identifier;
    const char* appID;
  };
  const Case cases[] = {
      {"empty value", "", "_pfo", kAppID},
      {"a number", 3, "_pfo", kAppID},
      {"no identifier", "3", "", kAppID},
      {"no app ID", "3", "_pfo", ""},
  };
  for (const Case& c : cases) {
    auto status = Wrapper::upsertKeychainValue(c.value, c.identifier, c.appID);
    EXPECT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.error().code, keychain::kErrorParam) << c.name;
  }
  EXPECT_TRUE(allItems().empty());

  ASSERT_TRUE(Wrapper::upsertKeychainValue("3", "_pfo", kAppID).ok());
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", ""), std::nullopt);
  Wrapper::deleteKeychainValueWithIdentifier("", kAppID);
  EXPECT_EQ(allItems().size(), 1u);
}

TEST_F(KeychainWrapperTest, UnreadableStoredValuesAreReplaced) {
  struct Case {
    const char* name;
    Data stored;
  };
  const Case cases[] = {{"empty data", {}}, {"not UTF-8", {0xff, 0xfe, 0x41}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Wrapper::deleteKeychainValueWithIdentifier("_pfo", kAppID);
    ASSERT_TRUE(keychain::Keychain::shared().add(item(Object("_pfo"), Object("_pfo"), c.stored)).ok());
    EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    ASSERT_TRUE(Wrapper::upsertKeychainValue("7", "_pfo", kAppID).ok());
    EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "7");
    EXPECT_EQ(allItems().size(), 1u);
  }
}

TEST_F(KeychainWrapperTest, AKeychainThatCannotBeReadIsAFailureAndKeptAsItIs) {
  const std::string path = keychain::Keychain::defaultPath();
  ASSERT_TRUE(foundation::createDirectory(foundation::deletingLastPathComponent(path), 0700).ok());
  ASSERT_TRUE(foundation::writeFileAtomically(path, std::string_view("not a property list"), 0600).ok());

  auto read = Wrapper::keychainValueWithIdentifier("_pfo", kAppID);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().code, keychain::kErrorIO);
  EXPECT_FALSE(Wrapper::upsertKeychainValue("3", "_pfo", kAppID).ok());
  auto bytes = foundation::readFile(path);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "not a property list");
}

TEST_F(KeychainWrapperTest, OlderItemsGetStringAttributesOnTheFirstRead) {
  const Data asData{'_', 'p', 'f', 'o'};
  ASSERT_TRUE(keychain::Keychain::shared().add(item(Object(asData), Object(asData), {'1', '2'})).ok());
  EXPECT_TRUE(Wrapper::isMigrationNeededForIdentifier("_pfo", kAppID));
  EXPECT_FALSE(Wrapper::isMigrationNeededForIdentifier("_pfo", ""));

  Wrapper::resetMigrationGuard();
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "12");
  auto items = allItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].account, Object("_pfo"));
  EXPECT_EQ(items[0].generic, Object("_pfo"));
  EXPECT_EQ(items[0].valueData, (Data{'1', '2'}));
  EXPECT_FALSE(Wrapper::isMigrationNeededForIdentifier("_pfo", kAppID));

  // Only the first read of the process migrates.
  ASSERT_TRUE(keychain::Keychain::shared().add(item(Object(Data{'x'}), Object(Data{'x'}), {'5'})).ok());
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("x", kAppID), "5");
  EXPECT_TRUE(Wrapper::isMigrationNeededForIdentifier("x", kAppID));
}

TEST_F(KeychainWrapperTest, ItemsSurviveAWipeOfTheDataHome) {
  ASSERT_TRUE(Wrapper::upsertKeychainValue("11", "_pfo", kAppID).ok());
  ASSERT_TRUE(foundation::removeItem(home->dataHome()).ok());
  home->relaunch();
  Wrapper::resetMigrationGuard();
  EXPECT_FALSE(foundation::fileExists(home->dataHome()));
  EXPECT_EQ(*Wrapper::keychainValueWithIdentifier("_pfo", kAppID), "11");
}

}  // namespace
