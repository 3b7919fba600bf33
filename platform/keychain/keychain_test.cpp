#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/foundation/Files.h"
#include "platform/keychain/Keychain.h"
#include "testing/TemporaryHome.h"

namespace keychain {
namespace {

using foundation::Data;
using foundation::Object;

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

class KeychainTest : public ::testing::Test {
 protected:
  testkit::TemporaryHome home;
  Keychain& keychain = Keychain::shared();
};

TEST_F(KeychainTest, ItemsLiveOutsideTheDataHomeReadableByTheUserOnly) {
  ASSERT_TRUE(keychain.add({"com.example.app", "_pfo", "_pfo", kAccessibleAlwaysThisDeviceOnly, bytes("3")}).ok());
  std::string file = Keychain::defaultPath();
  EXPECT_EQ(file.rfind(home.keychainDirectory(), 0), 0u);
  EXPECT_EQ(file.find(home.dataHome()), std::string::npos);
  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Deleting the app's data keeps the item.
  (void)foundation::removeItem(home.dataHome());
  auto found = keychain.copyMatching({Object("com.example.app"), Object("_pfo"), Object("_pfo")});
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->front().valueData, bytes("3"));
}

TEST_F(KeychainTest, AddUpdateFindAndDeleteWithThePlatformsStatusCodes) {
  Query query{Object("svc"), Object("acct"), std::nullopt};
  EXPECT_EQ(keychain.copyMatching(query).error().code, kErrorItemNotFound);
  EXPECT_EQ(keychain.update(query, {.valueData = bytes("x")}).error().code, kErrorItemNotFound);
  EXPECT_EQ(keychain.deleteItems(query).error().code, kErrorItemNotFound);

  ASSERT_TRUE(keychain.add({"svc", "acct", "acct", kAccessibleAlwaysThisDeviceOnly, bytes("one")}).ok());
  EXPECT_EQ(keychain.add({"svc", "acct", "other", "", bytes("two")}).error().code, kErrorDuplicateItem);
  EXPECT_EQ(keychain.add({Object(), "acct", "", "", bytes("x")}).error().code, kErrorParam);
  ASSERT_TRUE(keychain.update(query, {.valueData = bytes("two")}).ok());
  EXPECT_EQ(keychain.copyMatching(query)->front().valueData, bytes("two"));
  ASSERT_TRUE(keychain.deleteItems(query).ok());
  EXPECT_EQ(keychain.copyMatching(query).error().code, kErrorItemNotFound);
}

TEST_F(KeychainTest, AttributesMatchByTheirBytesAndKeepTheirKindSoOlderDataAttributesCanBeMigrated) {
  ASSERT_TRUE(keychain.add({"svc", Object(bytes("_pfo")), Object(bytes("_pfo")), "", bytes("7")}).ok());
  // A search with string attributes finds the item and shows what kind they are.
  auto old = keychain.copyMatching({Object("svc"), Object("_pfo"), Object("_pfo")});
  ASSERT_TRUE(old.ok());
  EXPECT_TRUE(old->front().account.isData());
  EXPECT_TRUE(old->front().generic.isData());
  EXPECT_EQ(keychain.add({"svc", "_pfo", "_pfo", "", bytes("8")}).error().code, kErrorDuplicateItem);
  EXPECT_FALSE(keychain.copyMatching({Object("svc"), Object("_pf"), std::nullopt}).ok());
  ASSERT_TRUE(keychain.update({Object("svc"), std::nullopt, std::nullopt},
                              {.account = Object("_pfo"), .generic = Object("_pfo")}).ok());
  auto migrated = keychain.copyMatching({Object("svc"), Object("_pfo"), Object("_pfo")});
  ASSERT_TRUE(migrated.ok());
  EXPECT_EQ(migrated->front().valueData, bytes("7"));
}

TEST_F(KeychainTest, CorruptFileIsAnErrorAndIsNotOverwritten) {
  ASSERT_TRUE(foundation::writeFileAtomically(Keychain::defaultPath(), std::string_view("<plist><array>")).ok());
  EXPECT_EQ(keychain.add({"svc", "acct", "", "", bytes("x")}).error().code, kErrorIO);
  EXPECT_EQ(keychain.copyMatching({}).error().code, kErrorIO);
  auto file = foundation::readFile(Keychain::defaultPath());
  EXPECT_EQ(std::string(file->begin(), file->end()), "<plist><array>");
}

}  // namespace
}  // namespace keychain
