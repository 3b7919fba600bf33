#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <functional>
#include <thread>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/engine/reporters/QZMInAppPurchaseProductCache.h"
#include "measurement/engine/reporters/QZMInAppPurchaseTransactionReporter.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "platform/store/StoreKit.h"

namespace {

using foundation::Date;
using store::Decimal;
using store::SKProduct;

// Waits, bounded in real time, for work other threads finish.
bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::int64_t md5(const std::string& text) { return qzm_64LSBMD5(foundation::Data(text.begin(), text.end())); }

Date at(const std::string& text) { return *QZMInAppPurchaseTransactionReporter::dateFromIA5String(text); }

const char* kDay1 = "2024-05-01T12:00:00Z";
const char* kDay2 = "2024-06-01T12:00:00Z";
const char* kDay3 = "2024-07-01T12:00:00Z";

SKProduct gold() {
  return {.productIdentifier = "gold",
          .price = Decimal(99, -2),
          .priceLocaleCurrencyCode = "USD",
          .localizedTitle = "Gold"};
}

SKProduct monthly() {
  return {.productIdentifier = "monthly",
          .price = Decimal(499, -2),
          .priceLocaleCurrencyCode = "USD",
          .localizedTitle = "Monthly",
          .introductoryPrice = store::SKProductDiscount{Decimal(49, -2), store::SKProductDiscountPaymentModePayAsYouGo}};
}

struct Record {
  std::string product;
  std::string transaction;
  std::string original;
  std::int64_t type;
  const char* date;
  bool freeTrial = false;
  bool introductory = false;
  std::optional<std::int64_t> webOrder = std::nullopt;

  QZMInAppPurchaseItem item() const {
    QZMInAppPurchaseItem item;
    item.productID = product;
    item.transactionID = transaction;
    item.originalTransactionID = original;
    item.purchaseType = type;
    item.purchaseDateIA5String = date;
    item.freeTrial = freeTrial;
    item.introductoryOffer = introductory;
    item.webOrderLineItemID = webOrder;
    return item;
  }
};

QZMDictionary goldBase(std::int64_t quantity) {
  return {{"product_id", "gold"},
          {"price", std::int64_t{990'000}},
          {"value", std::int64_t{990'000} * quantity},
          {"quantity", quantity},
          {"currency", "USD"},
          {"product_name", "Gold"}};
}

QZMDictionary monthlyBase() {
  return {{"product_id", "monthly"},     {"price", std::int64_t{4'990'000}}, {"value", std::int64_t{4'990'000}},
          {"quantity", std::int64_t{1}}, {"currency", "USD"},                {"product_name", "Monthly"}};
}

QZMDictionary with(QZMDictionary base, const QZMDictionary& more) {
  for (const auto& [key, value] : more) base[key] = value;
  return base;
}

class PurchaseParameters : public testkit::FoundationTest {};

TEST_F(PurchaseParameters, ClassifiedAgainstTheRecords) {
  struct Case {
    const char* what;
    SKProduct product;
    std::int64_t quantity;
    std::string transaction;
    std::string original;
    const char* date;
    std::vector<Record> records;
    std::optional<QZMDictionary> expected;
    std::int64_t loggedCode = 0;
  };
  SKProduct noCurrency = gold();
  noCurrency.priceLocaleCurrencyCode.reset();
  SKProduct noPrice = gold();
  noPrice.price.reset();
  SKProduct freeIntro = monthly();
  freeIntro.introductoryPrice->paymentMode = store::SKProductDiscountPaymentModeFreeTrial;

  const Case cases[] = {
      {"two items at 0.99, exact decimal product", gold(), 2, "t1", "t1", kDay1, {}, goldBase(2)},
      {"no currency: no event", noCurrency, 1, "t1", "t1", kDay1, {}, std::nullopt},
      {"no price: no event", noPrice, 1, "t1", "t1", kDay1, {}, std::nullopt},
      {"quantity 0: no value, no event", gold(), 0, "t1", "t1", kDay1, {}, std::nullopt},
      {"a first consumable purchase is deduplicated",
       gold(), 1, "t1", "t1", kDay1,
       {{"gold", "t1", "t1", 1, kDay1}},
       with(goldBase(1), {{"_did", md5("t1gold")}}), 40021},
      {"a restored non-consumable keeps the base",
       gold(), 1, "t2", "t1", kDay2,
       {{"gold", "t1", "t1", 0, kDay1}},
       goldBase(1)},
      {"a record with mismatched IDs counts as consumable",
       gold(), 1, "t2", "t2", kDay2,
       {{"gold", "t2", "t1", 1, kDay2}},
       goldBase(1), 40007},
      {"the first period of a free trial",
       monthly(), 1, "s1", "s1", kDay1,
       {{"monthly", "s1", "s1", 3, kDay1, true, true, 77}},
       with(monthlyBase(), {{"subscription", std::int64_t{1}},
                            {"_did", md5("s177monthly")},
                            {"free_trial", std::int64_t{1}},
                            {"original_price", std::int64_t{4'990'000}},
                            {"price_is_discounted", std::int64_t{1}},
                            {"price", std::int64_t{0}},
                            {"value", std::int64_t{0}}}),
       40009},
      {"a renewal after a free trial converts",
       monthly(), 1, "s2", "s1", kDay2,
       {{"monthly", "s1", "s1", 3, kDay1, true, false, 77}, {"monthly", "s2", "s1", 3, kDay2, false, false, 78}},
       with(monthlyBase(), {{"_did", md5("s178monthly")}, {"sub_convert", std::int64_t{1}}}), 40010},
      {"a renewal after a paid period renews",
       monthly(), 1, "s3", "s1", kDay3,
       {{"monthly", "s3", "s1", 3, kDay3, false, false, 79}, {"monthly", "s2", "s1", 3, kDay2, false, false, 78}},
       with(monthlyBase(), {{"_did", md5("s179monthly")}, {"sub_renew", std::int64_t{1}}}), 40008},
      {"a web order line item ID makes a subscription of any type",
       monthly(), 1, "s1", "s1", kDay1,
       {{"monthly", "s1", "s1", 1, kDay1, false, false, 7}},
       with(monthlyBase(), {{"subscription", std::int64_t{1}}, {"_did", md5("s17monthly")}}), 40008},
      {"an introductory offer reports its price",
       monthly(), 1, "s1", "s1", kDay1,
       {{"monthly", "s1", "s1", 3, kDay1, false, true, 77}},
       with(monthlyBase(), {{"subscription", std::int64_t{1}},
                            {"_did", md5("s177monthly")},
                            {"price_is_discounted", std::int64_t{1}},
                            {"original_price", std::int64_t{4'990'000}},
                            {"price", std::int64_t{490'000}},
                            {"value", std::int64_t{490'000}}}),
       40018},
      {"an introductory offer that is a free trial reports nothing to pay",
       freeIntro, 1, "s1", "s1", kDay1,
       {{"monthly", "s1", "s1", 3, kDay1, false, true, 77}},
       with(monthlyBase(), {{"subscription", std::int64_t{1}},
                            {"_did", md5("s177monthly")},
                            {"price_is_discounted", std::int64_t{1}},
                            {"original_price", std::int64_t{4'990'000}},
                            {"price", std::int64_t{0}},
                            {"value", std::int64_t{0}}})},
      {"two records at the same time cannot be told apart",
       monthly(), 1, "s1", "s1", kDay1,
       {{"monthly", "s1", "s1", 3, kDay1, false, false, 77}, {"gold", "g1", "g1", 1, kDay1}},
       with(monthlyBase(), {{"subscription", std::int64_t{1}}})},
      {"a non-renewing subscription",
       monthly(), 1, "n1", "n1", kDay1,
       {{"monthly", "n1", "n1", 2, kDay1, false, false, 77}},
       with(monthlyBase(), {{"subscription", std::int64_t{1}}, {"_did", md5("n1monthly")}}), 40025},
  };
  QZMInAppPurchaseTransactionReporter reporter;
  for (const auto& c : cases) {
    clearMonitorLines();
    std::vector<QZMInAppPurchaseItem> records;
    for (const auto& record : c.records) records.push_back(record.item());
    auto product = std::make_shared<const SKProduct>(c.product);
    auto parameters = reporter.purchaseParameters(product, c.quantity, c.transaction, c.original, at(c.date), records);
    ASSERT_EQ(parameters.has_value(), c.expected.has_value()) << c.what;
    if (parameters) {
      EXPECT_EQ(*parameters, *c.expected) << c.what;
    }
    if (c.loggedCode != 0) {
      EXPECT_EQ(linesWithCode(c.loggedCode).size(), 1u) << c.what;
    }
  }
}

TEST_F(PurchaseParameters, NeedAProductWithAnIdentifier) {
  QZMInAppPurchaseTransactionReporter reporter;
  EXPECT_FALSE(reporter.purchaseParameters(nullptr, 1, "t", "t", at(kDay1), {}));
  EXPECT_EQ(linesWithCode(40026).size(), 1u);
  SKProduct anonymous = gold();
  anonymous.productIdentifier.clear();
  EXPECT_FALSE(reporter.purchaseParameters(std::make_shared<SKProduct>(anonymous), 1, "t", "t", at(kDay1), {}));
  EXPECT_EQ(linesWithCode(40027).size(), 1u);
  // A missing transaction ID is only logged.
  EXPECT_TRUE(reporter.purchaseParameters(std::make_shared<SKProduct>(gold()), 1, "", "", at(kDay1), {}));
  EXPECT_EQ(linesWithCode(40003).size(), 1u);
}

TEST_F(PurchaseParameters, DatesAreWholeSecondsInUTC) {
  using Reporter = QZMInAppPurchaseTransactionReporter;
  EXPECT_EQ(Reporter::ia5StringFromDate(Date{1714564800.75}), "2024-05-01T12:00:00Z");
  EXPECT_EQ(Reporter::ia5StringFromDate(Date{-0.5}), "1969-12-31T23:59:59Z");
  EXPECT_EQ(Reporter::ia5StringFromDate(std::nullopt), std::nullopt);
  EXPECT_EQ(Reporter::dateFromIA5String("2024-05-01T12:00:00Z"), Date{1714564800});
  EXPECT_EQ(Reporter::dateFromIA5String("2024-05-01 12:00:00"), std::nullopt);
}

TEST_F(PurchaseParameters, FingerprintsOfPurchasedTransactions) {
  struct Case {
    std::int64_t state;
    std::optional<std::string> identifier;
    std::optional<std::string> fingerprint;
    std::int64_t loggedCode;
  };
  const Case cases[] = {
      {store::SKPaymentTransactionStatePurchased, "1000000123", qzm_MD5String("1000000123"), 0},
      {store::SKPaymentTransactionStateRestored, "1000000123", std::nullopt, 0},
      {store::SKPaymentTransactionStatePurchased, std::nullopt, std::nullopt, 21015},
      {store::SKPaymentTransactionStatePurchased, "", std::nullopt, 21016},
      {store::SKPaymentTransactionStatePurchased, "000-00", std::nullopt, 21017},
  };
  for (const auto& c : cases) {
    clearMonitorLines();
    store::SKPaymentTransaction transaction;
    transaction.transactionState = c.state;
    transaction.transactionIdentifier = c.identifier;
    EXPECT_EQ(QZMInAppPurchaseTransactionReporter::transactionFingerprint(&transaction), c.fingerprint);
    if (c.loggedCode != 0) {
      EXPECT_EQ(linesWithCode(c.loggedCode).size(), 1u) << c.loggedCode;
    }
  }
  EXPECT_EQ(QZMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr), std::nullopt);
  EXPECT_EQ(linesWithCode(21014).size(), 1u);
}

// ---- The product cache ----

class ProductCache : public testkit::FoundationTest {
 protected:
  void SetUp() override {
    FoundationTest::SetUp();
    catalog = std::make_shared<store::SKStaticProductCatalog>(std::vector<SKProduct>{gold()});
    store::setProductCatalog(catalog);
  }
  void TearDown() override {
    store::setProductCatalog(nullptr);
    FoundationTest::TearDown();
  }

  struct Answer {
    QZMProductsByIdentifier valid;
    std::set<std::string> invalid;
    std::optional<foundation::Error> error;
    std::string queueLabel;
  };
  std::optional<Answer> request(QZMInAppPurchaseProductCache& cache, const std::set<std::string>& identifiers) {
    std::mutex mutex;
    std::optional<Answer> answer;
    cache.requestProductsWithProductIdentifiers(
        identifiers, queue, [&](const QZMProductsByIdentifier& valid, const std::set<std::string>& invalid,
                                const std::optional<foundation::Error>& error) {
          std::lock_guard lock(mutex);
          answer = Answer{valid, invalid, error, dispatch::currentQueueLabel()};
        });
    EXPECT_TRUE(eventually([&] {
      std::lock_guard lock(mutex);
      return answer.has_value();
    }));
    std::lock_guard lock(mutex);
    return answer;
  }

  std::shared_ptr<store::SKStaticProductCatalog> catalog;
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::create("caller");
};

TEST_F(ProductCache, KeepsTheStoresAnswers) {
  auto owner = std::make_shared<QZMInAppPurchaseProductCache>();
  QZMInAppPurchaseProductCache& cache = *owner;
  auto answer = request(cache, {"gold", "ghost"});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->queueLabel, "caller");
  EXPECT_EQ(answer->valid.size(), 1u);
  EXPECT_EQ(answer->invalid, std::set<std::string>{"ghost"});
  EXPECT_FALSE(answer->error);
  ASSERT_TRUE(cache.cachedProductForProductIdentifier("gold"));
  EXPECT_EQ(cache.cachedProductForProductIdentifier("gold")->price->description(), "0.99");
  EXPECT_FALSE(cache.cachedProductForProductIdentifier("ghost"));
  EXPECT_EQ(cache.invalidProductIdentifiers(), std::set<std::string>{"ghost"});

  // A product the store learnt about leaves the invalid ones.
  SKProduct ghost = gold();
  ghost.productIdentifier = "ghost";
  catalog->addProduct(ghost);
  ASSERT_TRUE(request(cache, {"ghost"}));
  EXPECT_TRUE(cache.cachedProductForProductIdentifier("ghost"));
  EXPECT_TRUE(cache.invalidProductIdentifiers().empty());
}

TEST_F(ProductCache, StartsAfreshWhenItGrowsTooLarge) {
  auto owner = std::make_shared<QZMInAppPurchaseProductCache>();
  QZMInAppPurchaseProductCache& cache = *owner;
  std::set<std::string> first{"gold"};
  for (int i = 0; i < 60; ++i) first.insert("a" + std::to_string(i));
  ASSERT_TRUE(request(cache, first));
  EXPECT_EQ(cache.invalidProductIdentifiers().size(), 60u);

  std::set<std::string> second;
  for (int i = 0; i < 50; ++i) second.insert("b" + std::to_string(i));
  ASSERT_TRUE(request(cache, second));
  EXPECT_EQ(cache.invalidProductIdentifiers(), second);
  EXPECT_FALSE(cache.cachedProductForProductIdentifier("gold"));
}

TEST_F(ProductCache, FailuresReachTheCaller) {
  auto owner = std::make_shared<QZMInAppPurchaseProductCache>();
  QZMInAppPurchaseProductCache& cache = *owner;
  catalog->setError(foundation::Error(store::kStoreKitErrorDomain, 3, "offline"));
  auto answer = request(cache, {"gold"});
  ASSERT_TRUE(answer && answer->error);
  EXPECT_EQ(answer->error->code, 3);
  EXPECT_TRUE(answer->valid.empty());

  // No identifiers: the store request cannot be made.
  answer = request(cache, {});
  ASSERT_TRUE(answer && answer->error);
  EXPECT_EQ(answer->error->code, 1);
  EXPECT_EQ(answer->error->description, "Invalid product identifiers.");
}

// ---- Reporting through the facade ----

class PurchaseReporting : public testkit::FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    catalog = std::make_shared<store::SKStaticProductCatalog>(std::vector<SKProduct>{gold(), monthly()});
    store::setProductCatalog(catalog);
    QZMInAppPurchaseProductCache::setSharedInstance(nullptr);
    QZMInAppPurchaseTransactionReporter::setSharedInstance(nullptr);
    reporter = QZMInAppPurchaseTransactionReporter::sharedInstance();
    configureWithRecordingEngine();
  }
  void TearDown() override {
    store::setProductCatalog(nullptr);
    QZMInAppPurchaseTransactionReporter::setSharedInstance(nullptr);
    QZMInAppPurchaseProductCache::setSharedInstance(nullptr);
    FacadeTest::TearDown();
  }

  // The purchase events the engine was handed, once there are count of them.
  std::vector<testkit::HandedEvent> purchases(std::size_t count) {
    auto collect = [&] {
      std::vector<testkit::HandedEvent> found;
      for (auto& event : recorder->events()) {
        if (event.name != "_err") found.push_back(event);
      }
      return found;
    };
    EXPECT_TRUE(eventually([&] { return collect().size() >= count; })) << "waiting for " << count;
    settleEngine();
    return collect();
  }

  static store::SKPaymentTransactionPtr purchased(std::string product, std::string identifier,
                                                  std::int64_t state = store::SKPaymentTransactionStatePurchased) {
    auto transaction = std::make_shared<store::SKPaymentTransaction>();
    transaction->transactionState = state;
    transaction->payment = {std::move(product), 1};
    transaction->transactionIdentifier = std::move(identifier);
    transaction->transactionDate = at(kDay1);
    return transaction;
  }

  std::shared_ptr<store::SKStaticProductCatalog> catalog;
  std::shared_ptr<QZMInAppPurchaseTransactionReporter> reporter;
};

TEST_F(PurchaseReporting, PaymentQueueBatchesAreReportedWithTheirProducts) {
  reporter->paymentQueueUpdatedFilteredTransactions(
      store::SKPaymentQueue::defaultQueue(),
      {purchased("gold", "t1"), purchased("gold", "t2", store::SKPaymentTransactionStateFailed), purchased("", "t3"),
       purchased("ghost", "t4")});
  // "ghost" is unknown to the store, so its product stays missing.
  ASSERT_TRUE(eventually([&] { return !linesWithCode(40026).empty(); }));
  auto events = purchases(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].name, "_iap");
  EXPECT_EQ(events[0].parameters, with(goldBase(1), {{"_skv", "1"}}));
  EXPECT_EQ(catalog->requestCount(), 1);

  // Now cached: no second question to the store.
  reporter->paymentQueueUpdatedFilteredTransactions(store::SKPaymentQueue::defaultQueue(), {purchased("gold", "t5")});
  EXPECT_EQ(purchases(2).size(), 2u);
  EXPECT_EQ(catalog->requestCount(), 1);
}

TEST_F(PurchaseReporting, AStoreThatCannotAnswerIsLogged) {
  catalog->setError(foundation::Error(store::kStoreKitErrorDomain, 3, "offline"));
  reporter->paymentQueueUpdatedFilteredTransactions(store::SKPaymentQueue::defaultQueue(), {purchased("gold", "t1")});
  EXPECT_TRUE(eventually([&] { return !linesWithCode(21027).empty(); }));
  settleEngine();
  EXPECT_TRUE(recorder->events().empty());
}

TEST_F(PurchaseReporting, SingleTransactionsTellTrialsConversionsAndRenewals) {
  auto report = [&](const char* transaction, const char* webOrder, const char* date, bool freeTrial) {
    reporter->reportTransactionWithProductID("monthly", transaction, "s1", std::string(webOrder),
                                             kQZMInAppPurchaseTypeAutoRenewableSubscription, freeTrial, freeTrial, 1,
                                             at(date), at(kDay1), std::nullopt, std::nullopt, "Sandbox");
  };
  report("s1", "77", kDay1, true);
  auto events = purchases(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_iap");
  EXPECT_EQ(events[0].parameters.at("free_trial"), QZMObject(std::int64_t{1}));
  EXPECT_EQ(events[0].parameters.at("value"), QZMObject(std::int64_t{0}));
  EXPECT_EQ(events[0].parameters.at("_skv"), QZMObject("2"));

  report("s2", "78", kDay2, false);
  events = purchases(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].name, "_assc");
  EXPECT_FALSE(events[1].parameters.contains("sub_convert"));

  // A transaction told twice is recorded once.
  report("s2", "78", kDay2, false);
  events = purchases(3);
  EXPECT_EQ(reporter->allPurchaseItems().size(), 2u);

  report("s3", "79", kDay3, false);
  events = purchases(4);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3].name, "_assr");
  EXPECT_EQ(events[3].parameters.at("_did"), QZMObject(md5("s179monthly")));

  // A batch from the payment queue forgets the records.
  reporter->reportTransactionsFromArray({});
  EXPECT_TRUE(reporter->allPurchaseItems().empty());
}

// A store that holds its answer until the test lets it go.
class HeldCatalog final : public store::SKProductCatalog {
 public:
  explicit HeldCatalog(std::shared_ptr<store::SKProductCatalog> inner) : inner_(std::move(inner)) {}
  foundation::Result<store::SKProductsResponse> productsWithIdentifiers(
      const std::set<std::string>& productIdentifiers) override {
    std::unique_lock lock(mutex_);
    asked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    return inner_->productsWithIdentifiers(productIdentifiers);
  }
  bool waitUntilAsked() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return asked_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::shared_ptr<store::SKProductCatalog> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool asked_ = false;
  bool released_ = false;
};

TEST_F(PurchaseReporting, ABatchWhileAProductLookupIsOutLeavesThatReportItsRecords) {
  auto held = std::make_shared<HeldCatalog>(catalog);
  store::setProductCatalog(held);
  reporter->reportTransactionWithProductID("monthly", "s1", "s1", std::string("77"),
                                           kQZMInAppPurchaseTypeAutoRenewableSubscription, true, false, 1, at(kDay1),
                                           at(kDay1), std::nullopt, std::nullopt, "Sandbox");
  EXPECT_TRUE(held->waitUntilAsked());
  reporter->reportTransactionsFromArray({});
  EXPECT_TRUE(reporter->allPurchaseItems().empty());
  held->release();

  auto events = purchases(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_iap");
  EXPECT_EQ(events[0].parameters, with(monthlyBase(), {{"price", std::int64_t{0}},
                                                       {"value", std::int64_t{0}},
                                                       {"original_price", std::int64_t{4'990'000}},
                                                       {"price_is_discounted", std::int64_t{1}},
                                                       {"free_trial", std::int64_t{1}},
                                                       {"subscription", std::int64_t{1}},
                                                       {"_did", md5("s177monthly")},
                                                       {"_skv", "2"}}));
}

}  // namespace
