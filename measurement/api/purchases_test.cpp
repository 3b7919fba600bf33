#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <thread>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/ZNHAnalyticsConveniences.h"
#include "measurement/engine/reporters/QZMInAppPurchaseProductCache.h"
#include "measurement/engine/reporters/QZMInAppPurchaseTransactionReporter.h"
#include "platform/store/StoreKit.h"

namespace {

// Runs the main queue, bounded in real time, until done.
bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    dispatch::drainMainQueue();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

store::SKPaymentTransactionPtr transaction(std::string product, std::optional<std::string> identifier,
                                           std::int64_t state = store::SKPaymentTransactionStatePurchased) {
  auto made = std::make_shared<store::SKPaymentTransaction>();
  made->transactionState = state;
  made->payment = {std::move(product), 1};
  made->transactionIdentifier = std::move(identifier);
  made->transactionDate = foundation::Date{1'714'564'800};
  return made;
}

class Purchases : public testkit::FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    store::SKPaymentQueue::defaultQueue().resetForTests();
    catalog = std::make_shared<store::SKStaticProductCatalog>(std::vector<store::SKProduct>{
        {.productIdentifier = "gold", .price = store::Decimal(99, -2), .priceLocaleCurrencyCode = "EUR"}});
    store::setProductCatalog(catalog);
    QZMInAppPurchaseProductCache::setSharedInstance(nullptr);
    QZMInAppPurchaseTransactionReporter::setSharedInstance(nullptr);
  }
  void TearDown() override {
    store::setProductCatalog(nullptr);
    QZMInAppPurchaseTransactionReporter::setSharedInstance(nullptr);
    QZMInAppPurchaseProductCache::setSharedInstance(nullptr);
    FacadeTest::TearDown();
    store::SKPaymentQueue::defaultQueue().resetForTests();
  }

  void startObserving() {
    configureWithRecordingEngine();
    ASSERT_TRUE(eventually([] { return store::SKPaymentQueue::defaultQueue().transactionObserverCount() == 1; }));
  }

  std::vector<std::string> reportedTransactions() const {
    std::vector<std::string> names;
    for (const auto& event : recorder->events()) {
      if (event.name == "_iap") names.push_back(event.parameters.at("product_id").plainObject().description());
    }
    return names;
  }

  std::shared_ptr<store::SKStaticProductCatalog> catalog;
};

TEST_F(Purchases, ThePaymentQueueIsObservedFromStartAndDuplicatesAreDropped) {
  EXPECT_EQ(store::SKPaymentQueue::defaultQueue().transactionObserverCount(), 0u);
  startObserving();
  auto& queue = store::SKPaymentQueue::defaultQueue();
  queue.updateTransactions({transaction("gold", "t1"), transaction("gold", "t1"),
                            transaction("gold", "t2", store::SKPaymentTransactionStateFailed),
                            // A fingerprint cannot be made: reported unchecked.
                            transaction("gold", "000-000")});
  ASSERT_TRUE(eventually([&] { return reportedTransactions().size() >= 2; }));
  EXPECT_EQ(linesWithCode(23141).size(), 1u);
  EXPECT_EQ(linesWithCode(23139).size(), 1u);

  // The store tells of t1 again later (a restore): still a duplicate.
  queue.updateTransactions({transaction("gold", "t1"), transaction("gold", "t3")});
  ASSERT_TRUE(eventually([&] { return reportedTransactions().size() >= 3; }));
  settleEngine();
  EXPECT_EQ(reportedTransactions().size(), 3u);
  EXPECT_EQ(linesWithCode(23141).size(), 2u);
}

TEST_F(Purchases, NothingIsReportedWhileCollectionIsOff) {
  startObserving();
  QZMAnalytics::setAnalyticsEnabled(false);
  settleEngine();
  store::SKPaymentQueue::defaultQueue().updateTransactions({transaction("gold", "t1")});
  dispatch::drainMainQueue();
  settleEngine();

  // Not even remembered: told of again once collection is on, it is new.
  QZMAnalytics::setAnalyticsEnabled(true);
  settleEngine();
  store::SKPaymentQueue::defaultQueue().updateTransactions({transaction("gold", "t1")});
  ASSERT_TRUE(eventually([&] { return !reportedTransactions().empty(); }));
  settleEngine();
  EXPECT_EQ(reportedTransactions().size(), 1u);
  EXPECT_TRUE(linesWithCode(23141).empty());
}

// The store's description of a transaction becomes the purchase record the
// reporter keeps.
TEST_F(Purchases, StoreKitTransactionsAreTranslatedFieldByField) {
  using Offer = store::Transaction::Offer;
  struct Case {
    const char* what;
    store::ProductType type;
    std::optional<Offer> offer;
    std::int64_t purchaseType;
    bool freeTrial;
    bool introductory;
  };
  const Case cases[] = {
      {"consumable without offer", store::ProductType::consumable, std::nullopt, 1, false, false},
      {"non-consumable", store::ProductType::nonConsumable, std::nullopt, 0, false, false},
      {"non-renewing", store::ProductType::nonRenewable, std::nullopt, 2, false, false},
      {"introductory free trial", store::ProductType::autoRenewable,
       Offer{Offer::OfferType::introductory, Offer::PaymentMode::freeTrial}, 3, true, true},
      {"promotional pay as you go", store::ProductType::autoRenewable,
       Offer{Offer::OfferType::promotional, Offer::PaymentMode::payAsYouGo}, 3, false, false},
      {"another kind of product", store::ProductType::other, std::nullopt, 0, false, false},
  };
  configureWithRecordingEngine();
  std::uint64_t id = std::numeric_limits<std::uint64_t>::max();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store::Transaction t;
    t.id = id--;
    t.originalID = 7;
    t.productID = "gold";
    t.webOrderLineItemID = "42";
    t.productType = c.type;
    t.offer = c.offer;
    t.purchaseDate = foundation::Date{1'714'564'800};
    ZNHAnalytics::logStoreKitTransaction(t);
    auto items = QZMInAppPurchaseTransactionReporter::sharedInstance()->allPurchaseItems();
    ASSERT_FALSE(items.empty());
    const QZMInAppPurchaseItem& item = items.front();
    EXPECT_EQ(item.transactionID, std::to_string(t.id));
    EXPECT_EQ(item.originalTransactionID, "7");
    EXPECT_EQ(item.webOrderLineItemID, 42);
    EXPECT_EQ(item.purchaseType, c.purchaseType);
    EXPECT_EQ(item.freeTrial, c.freeTrial);
    EXPECT_EQ(item.introductoryOffer, c.introductory);
    EXPECT_EQ(item.purchaseDateIA5String, "2024-05-01T12:00:00Z");
  }
  // The largest identifier keeps all twenty digits.
  auto items = QZMInAppPurchaseTransactionReporter::sharedInstance()->allPurchaseItems();
  EXPECT_EQ(items.back().transactionID, "18446744073709551615");
}

TEST_F(Purchases, ALoggedScreenReportsItsNameAndClassOverTheExtras) {
  LoggedAnalyticsModifier modifier{"Settings", "SettingsView", {{"screen_name", "stale"}, {"tab", std::int64_t{2}}}};
  // Before the app is configured the event is dropped.
  modifier.logScreenView();
  EXPECT_EQ(linesWithCode(25018).size(), 1u);
  EXPECT_TRUE(screen->tracked().empty());

  configureWithRecordingEngine();
  modifier.logScreenView();
  auto tracked = screen->tracked();
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].first,
            (QZMDictionary{{"screen_name", "Settings"}, {"screen_class", "SettingsView"}, {"tab", std::int64_t{2}}}));
}

}  // namespace
