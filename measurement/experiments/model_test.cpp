#include <gtest/gtest.h>

#include "measurement/experiments/ExperimentsTestKit.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

using experimentskit::flag;
using experimentskit::flagValue;
using experimentskit::ids;
using experimentskit::snapshot;
using foundation::Object;

class ExperimentsModel : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    QZMEExperimentRequestBuilder::setSharedInstance(nullptr);
    QZMESDKProperty::setIdentityDiversionKeyProvider(nullptr);
  }
  void TearDown() override {
    QZMESDKProperty::setIdentityDiversionKeyProvider(nullptr);
    QZMEExperimentRequestBuilder::setSharedInstance(nullptr);
    foundation::Device::setPreferredLanguages(std::nullopt);
    FoundationTest::TearDown();
  }
};

TEST_F(ExperimentsModel, SnapshotsSurviveTheirMessageAndFindFlagsInIDOrder) {
  auto original = snapshot(
      "kestro_meter",
      {{9, {{"shared", "late"}, {"only9", true}}}, {3, {{"shared", 2.5}, {"shared", 7}}}, {0, {{"launch", "on"}}}});
  // A second flag of a name replaces the first in its experiment.
  EXPECT_EQ(flagValue(original, "shared"), Object(7));

  auto message = original.proto();
  ASSERT_TRUE(message);
  auto bytes = message->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = QZMPBSnapshot::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  auto back = QZMESnapshot::initWithProtobuf(*decoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->SDKName(), "kestro_meter");
  EXPECT_EQ(ids(back), (std::vector<std::int32_t>{0, 3, 9}));
  EXPECT_EQ(flagValue(back, "shared"), Object(7)) << "the lowest experiment ID that has the flag answers";
  EXPECT_EQ(flagValue(back, "only9"), Object(1)) << "a Boolean default travels as an integer";
  EXPECT_EQ(flagValue(back, "launch"), Object("on"));
  EXPECT_FALSE(back->flagByName("missing"));
}

TEST_F(ExperimentsModel, BadPartsAreRefusedWithTheirCodes) {
  EXPECT_FALSE(QZMESnapshot::initWithSDKName("", {}));
  EXPECT_EQ(linesWithCode(840000).size(), 1u);

  // A message naming no SDK cannot become a snapshot.
  auto unnamed = QZMPBSnapshot::initWithBuffer({});
  ASSERT_TRUE(unnamed);
  EXPECT_FALSE(QZMESnapshot::initWithProtobuf(*unnamed));

  EXPECT_FALSE(QZMEExperiment::initWithExperimentID(4, {flag("a", 1), nullptr}));
  EXPECT_EQ(linesWithCode(870003).size(), 1u);

  auto experiment = *QZMEExperiment::initWithExperimentID(4, {});
  std::shared_ptr<QZMPBFlag> nameless = QZMPBFlag::initWithBuffer({});
  NANOSetInt64(nameless.get(), QZMPBFlag::kIntValue, 3);
  EXPECT_FALSE(experiment.addFlag(nullptr));
  EXPECT_FALSE(experiment.addFlag(nameless));
  EXPECT_FALSE(experiment.flagWithName(""));
  EXPECT_TRUE(experiment.flags().empty());
  EXPECT_EQ(linesWithCode(870004).size(), 1u);
  EXPECT_EQ(linesWithCode(870006).size(), 1u);
  EXPECT_EQ(linesWithCode(870007).size(), 1u);

  auto item = snapshot("sdk", {});
  EXPECT_FALSE(item.addFlag(flag("a", 1), std::nullopt));
  EXPECT_FALSE(item.addFlag(nullptr, 2));
  EXPECT_TRUE(item.addFlags({flag("a", 1), flag("b", "x")}, 2));
  EXPECT_EQ(ids(item), std::vector<std::int32_t>{2});
  EXPECT_EQ(flagValue(item, "b"), Object("x"));
  EXPECT_EQ(linesWithCode(840003).size(), 1u);
  EXPECT_EQ(linesWithCode(840004).size(), 1u);
}

TEST_F(ExperimentsModel, FlagHelperRefusalsReachTheMonitor) {
  QZMEManager::monitor();
  EXPECT_FALSE(QZMPBFlagCreate(Object("f"), Object(foundation::Date{1})));
  ASSERT_EQ(linesWithCode(850002).size(), 1u);
  EXPECT_EQ(linesWithCode(850002)[0].level, 1);
}

TEST_F(ExperimentsModel, ClientPropertyCarriesTheDiversionKeyAndMergedCustomProperties) {
  struct Provider : QZMESDKPropertyProviderDelegate {
    bool implementsDynamicCustomProperties() const override { return true; }
    std::map<std::string, std::string> dynamicCustomPropertiesForSDKProperty(const QZMESDKProperty&) override {
      return {{"tier", "gold"}, {"locale", "de"}};
    }
  };
  auto provider = std::make_shared<Provider>();
  auto property = QZMESDKProperty::initWithName("kestro_meter");
  property->setVersion(111400);
  property->setAppID("1:1234:ios:abcd");
  property->setCustomProperties({{"tier", "silver"}, {"build", "debug"}});
  property->setDelegate(provider);

  // No key of its own and none from the identity: it cannot be sent.
  EXPECT_FALSE(property->proto());
  EXPECT_EQ(linesWithCode(860001).size(), 1u);

  QZMESDKProperty::setIdentityDiversionKeyProvider([] { return std::string("qrstu"); });
  auto message = property->proto();
  ASSERT_TRUE(message);
  EXPECT_EQ(NANOGetString(message.get(), QZMPBClientProperty::kName), "kestro_meter");
  EXPECT_EQ(NANOGetString(message.get(), QZMPBClientProperty::kDiversionKey), "qrstu-kestro_meter");
  EXPECT_EQ(NANOGetInt64(message.get(), QZMPBClientProperty::kVersion), 111400);
  EXPECT_EQ(NANOGetString(message.get(), QZMPBClientProperty::kAppId), "1:1234:ios:abcd");
  std::map<std::string, std::string> custom;
  auto items = NANOGetArray<QZMPBCustomProperty>(message.get(), QZMPBClientProperty::kCustomProperties);
  ASSERT_TRUE(items);
  for (const auto& item : *items) {
    custom[*NANOGetString(item.get(), QZMPBCustomProperty::kKey)] =
        *NANOGetString(item.get(), QZMPBCustomProperty::kValue);
  }
  EXPECT_EQ(custom, (std::map<std::string, std::string>{{"build", "debug"}, {"locale", "de"}, {"tier", "gold"}}));

  // Its own key wins over the identity's; no custom properties, no field.
  auto own = QZMESDKProperty::initWithName("other");
  own->setDiversionKey("abcde");
  auto plain = own->proto();
  ASSERT_TRUE(plain);
  EXPECT_EQ(NANOGetString(plain.get(), QZMPBClientProperty::kDiversionKey), "abcde-other");
  EXPECT_TRUE(NANOGetArray<QZMPBCustomProperty>(plain.get(), QZMPBClientProperty::kCustomProperties)->empty());
  EXPECT_FALSE(NANOHasField(plain.get(), QZMPBClientProperty::kAppId));
}

TEST_F(ExperimentsModel, RequestHoldsTheAppAndEverySendableSDK) {
  foundation::Device::setPreferredLanguages(std::vector<std::string>{"de-CH", "en-US"});
  auto builder = QZMEExperimentRequestBuilder::sharedInstance();
  auto first = QZMESDKProperty::initWithName("one");
  first->setDiversionKey("abcde");
  auto replaced = QZMESDKProperty::initWithName("one");
  replaced->setDiversionKey("vwxyz");
  builder->addSDKProperty(first);
  builder->addSDKProperty(replaced);
  builder->addSDKProperty(QZMESDKProperty::initWithName("keyless"));
  builder->addSDKProperty(nullptr);
  EXPECT_EQ(linesWithCode(880000).size(), 1u);

  auto request = builder->request();
  ASSERT_TRUE(request);
  auto app = NANOGetMessage<QZMPBAppProperty>(request.get(), QZMPBExperimentRequest::kAppProperty);
  ASSERT_TRUE(app);
  EXPECT_EQ(NANOGetString(app.get(), QZMPBAppProperty::kPlatform), "ios");
  EXPECT_EQ(NANOGetString(app.get(), QZMPBAppProperty::kLanguage), "de-ch");
  EXPECT_EQ(NANOGetString(app.get(), QZMPBAppProperty::kAppId), foundation::Bundle::main()->bundleIdentifier());
  EXPECT_EQ(NANOGetInt64(app.get(), QZMPBAppProperty::kVersion), 10000);
  auto clients = NANOGetArray<QZMPBClientProperty>(request.get(), QZMPBExperimentRequest::kClientProperties);
  ASSERT_TRUE(clients);
  ASSERT_EQ(clients->size(), 1u);
  EXPECT_EQ(NANOGetString((*clients)[0].get(), QZMPBClientProperty::kDiversionKey), "vwxyz-one");
}

}  // namespace
