#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/store/AdServices.h"
#include "platform/store/StoreKit.h"

namespace store {
namespace {

using foundation::Deadline;

TEST(DecimalTest, ReadsPlainDecimalText) {
  struct Case {
    const char* text;
    std::optional<std::pair<std::int64_t, std::int32_t>> expected;
  };
  const Case cases[] = {
      {"0.99", {{99, -2}}},
      {"-5", {{-5, 0}}},
      {"+12.50", {{1250, -2}}},
      {"7.", {{7, 0}}},
      {".5", {{5, -1}}},
      {"9223372036854775807", {{INT64_MAX, 0}}},
      {"9223372036854775808", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1e3", std::nullopt},
      {" 1", std::nullopt},
  };
  for (const auto& c : cases) {
    auto decimal = Decimal::fromString(c.text);
    ASSERT_EQ(decimal.has_value(), c.expected.has_value()) << c.text;
    if (!decimal) continue;
    EXPECT_EQ(decimal->mantissa(), c.expected->first) << c.text;
    EXPECT_EQ(decimal->exponent(), c.expected->second) << c.text;
  }
}

TEST(DecimalTest, ArithmeticStaysExact) {
  // 0.99 as a double times a million is 989999.99...; the decimal is not.
  Decimal price = *Decimal::fromString("0.99");
  EXPECT_EQ(price.multiplyingByPowerOf10(6).doubleValue(), 990000.0);
  auto twice = price.multiplying(Decimal(2));
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->multiplyingByPowerOf10(6).doubleValue(), 1980000.0);
  EXPECT_EQ(twice->description(), "1.98");

  // Trailing zeros make room before the digits overflow.
  auto big = Decimal(1'000'000'000'000'000'000).multiplying(Decimal(5, -1));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->doubleValue(), 5e17);
  EXPECT_FALSE(Decimal(INT64_MAX).multiplying(Decimal(3)));

  EXPECT_EQ(Decimal(INT64_MIN).description(), "-9223372036854775808");
  EXPECT_EQ(Decimal(-5, -3).description(), "-0.005");
  EXPECT_EQ(Decimal(12, 2).description(), "1200");
}

class Observer final : public SKPaymentTransactionObserver {
 public:
  void paymentQueueUpdatedTransactions(SKPaymentQueue&, const SKPaymentTransactions& transactions) override {
    EXPECT_TRUE(dispatch::isMainThread());
    heard += static_cast<int>(transactions.size());
  }
  int heard = 0;
};

TEST(PaymentQueueTest, ObserversHearUpdatesOnTheMainQueue) {
  auto& queue = SKPaymentQueue::defaultQueue();
  queue.resetForTests();
  auto first = std::make_shared<Observer>();
  auto second = std::make_shared<Observer>();
  queue.addTransactionObserver(first);
  queue.addTransactionObserver(first);
  queue.addTransactionObserver(second);
  EXPECT_EQ(queue.transactionObserverCount(), 2u);

  auto transaction = std::make_shared<SKPaymentTransaction>();
  transaction->transactionState = SKPaymentTransactionStatePurchased;
  queue.updateTransactions({transaction, transaction});
  EXPECT_EQ(first->heard, 0);
  dispatch::drainMainQueue();
  EXPECT_EQ(first->heard, 2);
  EXPECT_EQ(second->heard, 2);

  // A removed observer and one that is gone hear nothing more.
  queue.removeTransactionObserver(first.get());
  second.reset();
  EXPECT_EQ(queue.transactionObserverCount(), 0u);
  queue.updateTransactions({transaction});
  dispatch::drainMainQueue();
  EXPECT_EQ(first->heard, 2);
}

class RequestDelegate final : public SKProductsRequestDelegate {
 public:
  void productsRequestDidReceiveResponse(SKProductsRequest&, const SKProductsResponse& response) override {
    std::lock_guard lock(mutex);
    this->response = response;
    done.notify_all();
  }
  void requestDidFailWithError(SKProductsRequest&, const Error& error) override {
    std::lock_guard lock(mutex);
    this->error = error;
    done.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex);
    return foundation::waitUntil(done, lock, Deadline::afterSeconds(10), [&] { return response || error; });
  }
  std::mutex mutex;
  std::condition_variable done;
  std::optional<SKProductsResponse> response;
  std::optional<Error> error;
};

TEST(ProductsRequestTest, TheCatalogueAnswers) {
  EXPECT_EQ(SKProductsRequest::initWithProductIdentifiers({}), nullptr);

  setProductCatalog(nullptr);
  {
    auto delegate = std::make_shared<RequestDelegate>();
    auto request = SKProductsRequest::initWithProductIdentifiers({"gold"});
    request->setDelegate(delegate);
    request->start();
    ASSERT_TRUE(delegate->wait());
    ASSERT_TRUE(delegate->error);
    EXPECT_EQ(delegate->error->code, kStoreKitErrorUnavailable);
  }

  auto catalog = std::make_shared<SKStaticProductCatalog>(
      std::vector<SKProduct>{{.productIdentifier = "gold", .price = Decimal(99, -2)}});
  setProductCatalog(catalog);
  {
    auto delegate = std::make_shared<RequestDelegate>();
    auto request = SKProductsRequest::initWithProductIdentifiers({"gold", "silver"});
    request->setDelegate(delegate);
    request->start();
    request.reset();  // the request keeps itself alive while it runs
    ASSERT_TRUE(delegate->wait());
    ASSERT_TRUE(delegate->response);
    ASSERT_EQ(delegate->response->products.size(), 1u);
    EXPECT_EQ(delegate->response->products[0]->productIdentifier, "gold");
    EXPECT_EQ(delegate->response->invalidProductIdentifiers, std::vector<std::string>{"silver"});
  }

  catalog->setError(Error(kStoreKitErrorDomain, 5, "offline"));
  {
    auto delegate = std::make_shared<RequestDelegate>();
    auto request = SKProductsRequest::initWithProductIdentifiers({"gold"});
    request->setDelegate(delegate);
    request->start();
    ASSERT_TRUE(delegate->wait());
    ASSERT_TRUE(delegate->error);
    EXPECT_EQ(delegate->error->code, 5);
  }
  EXPECT_EQ(catalog->requestCount(), 2);
  setProductCatalog(nullptr);
}

TEST(AdNetworkTest, KeepsWhatItWasToldAndFailsOnRequest) {
  SKAdNetwork::resetForTests();
  SKAdNetwork::registerAppForAdNetworkAttribution();
  EXPECT_EQ(SKAdNetwork::registrationCount(), 1);

  std::mutex mutex;
  std::condition_variable done;
  std::vector<std::optional<Error>> completions;
  auto completion = [&](const std::optional<Error>& error) {
    std::lock_guard lock(mutex);
    completions.push_back(error);
    done.notify_all();
  };
  SKAdNetwork::failNextUpdateWithError(Error(kSKANErrorDomain, 10, "window closed"));
  SKAdNetwork::updatePostbackConversionValue(12, SKAdNetworkCoarseConversionValueHigh, true, completion);
  SKAdNetwork::updatePostbackConversionValue(13, SKAdNetworkCoarseConversionValueLow, false, completion);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(foundation::waitUntil(done, lock, Deadline::afterSeconds(10), [&] { return completions.size() == 2; }));
  }
  int failures = 0;
  for (const auto& error : completions) failures += error && error->code == 10;
  EXPECT_EQ(failures, 1);
  auto updates = SKAdNetwork::postbackUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].fineValue, 13);
  EXPECT_EQ(updates[0].coarseValue, "low");
  SKAdNetwork::resetForTests();
}

TEST(AttributionTest, AbsentUntilInstalled) {
  EXPECT_EQ(AAAttribution::lookUp(), nullptr);
  auto service = std::make_shared<AAFixedAttribution>(std::string("token"));
  AAAttribution::install(service);
  ASSERT_EQ(AAAttribution::lookUp(), service);
  EXPECT_EQ(*AAAttribution::lookUp()->attributionTokenWithError(), "token");
  EXPECT_EQ(service->requestCount(), 1);
  AAAttribution::install(nullptr);
  EXPECT_EQ(AAAttribution::lookUp(), nullptr);
}

}  // namespace
}  // namespace store
