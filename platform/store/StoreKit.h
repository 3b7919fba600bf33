// The store's services as programs reach them: the payment queue and its
// observers, product information requests, the transactions of purchases,
// the ad network's conversion values and the StoreKit 2 transaction record.
//
// A desktop has no store. Nothing here produces a purchase, a product or a
// conversion-value answer by itself: a host (or a test) delivers purchases
// through SKPaymentQueue::updateTransactions, installs a product catalogue,
// and reads what the ad network was told.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace store {

using foundation::Date;
using foundation::Error;

inline constexpr const char* kStoreKitErrorDomain = "SKErrorDomain";
// Errors of this stand-in: no store answers on this computer.
inline constexpr std::int64_t kStoreKitErrorUnavailable = 1;

// A decimal number as the store states prices: mantissa x 10^exponent, so
// that 0.99 stays exactly 0.99.
class Decimal {
 public:
  Decimal() = default;
  explicit Decimal(std::int64_t mantissa, std::int32_t exponent = 0) : mantissa_(mantissa), exponent_(exponent) {}
  // Plain decimal text ("0.99", "-5", "12.50"); nullopt for anything else or
  // more digits than an int64 holds.
  static std::optional<Decimal> fromString(std::string_view text);

  std::int64_t mantissa() const { return mantissa_; }
  std::int32_t exponent() const { return exponent_; }
  // The nearest double.
  double doubleValue() const;
  // The exact product; nullopt when the digits do not fit.
  std::optional<Decimal> multiplying(const Decimal& other) const;
  Decimal multiplyingByPowerOf10(std::int32_t power) const { return Decimal(mantissa_, exponent_ + power); }
  std::string description() const;

 private:
  std::int64_t mantissa_ = 0;
  std::int32_t exponent_ = 0;
};

// ---- Products ----

enum SKProductDiscountPaymentMode : std::int64_t {
  SKProductDiscountPaymentModePayAsYouGo = 0,
  SKProductDiscountPaymentModePayUpFront = 1,
  SKProductDiscountPaymentModeFreeTrial = 2,
};

struct SKProductDiscount {
  Decimal price;
  std::int64_t paymentMode = SKProductDiscountPaymentModePayAsYouGo;
};

struct SKProduct {
  std::string productIdentifier{};
  std::optional<Decimal> price{};
  // The currency of the price's locale ("USD"); nullopt when it has none.
  std::optional<std::string> priceLocaleCurrencyCode{};
  std::optional<std::string> localizedTitle{};
  std::optional<SKProductDiscount> introductoryPrice{};
};
using SKProductPtr = std::shared_ptr<const SKProduct>;

// ---- Payments and transactions ----

enum SKPaymentTransactionState : std::int64_t {
  SKPaymentTransactionStatePurchasing = 0,
  SKPaymentTransactionStatePurchased = 1,
  SKPaymentTransactionStateFailed = 2,
  SKPaymentTransactionStateRestored = 3,
  SKPaymentTransactionStateDeferred = 4,
};

struct SKPayment {
  std::string productIdentifier;
  std::int64_t quantity = 1;
};

struct SKPaymentTransaction {
  std::int64_t transactionState = SKPaymentTransactionStatePurchasing;
  SKPayment payment;
  std::optional<std::string> transactionIdentifier;
  std::optional<Date> transactionDate;
  // The first purchase of a restored or renewed one; nullptr for a first.
  std::shared_ptr<const SKPaymentTransaction> originalTransaction;
  // Set when the transaction failed.
  std::optional<Error> error;
};
using SKPaymentTransactionPtr = std::shared_ptr<const SKPaymentTransaction>;
using SKPaymentTransactions = std::vector<SKPaymentTransactionPtr>;

class SKPaymentQueue;

class SKPaymentTransactionObserver {
 public:
  virtual ~SKPaymentTransactionObserver() = default;
  virtual void paymentQueueUpdatedTransactions(SKPaymentQueue& queue, const SKPaymentTransactions& transactions) = 0;
};

class SKPaymentQueue {
 public:
  static SKPaymentQueue& defaultQueue();

  // Observers are held weakly; adding one twice keeps one entry.
  void addTransactionObserver(std::weak_ptr<SKPaymentTransactionObserver> observer);
  void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
  std::size_t transactionObserverCount();

  // The store's report of transactions that changed: every observer hears
  // of them on the main queue. Only a host or a test calls it here.
  void updateTransactions(SKPaymentTransactions transactions);

  // Forgets every observer.
  void resetForTests();

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;
};

// ---- Product information requests ----

struct SKProductsResponse {
  std::vector<SKProductPtr> products;
  std::vector<std::string> invalidProductIdentifiers;
};

class SKProductsRequest;

class SKProductsRequestDelegate {
 public:
  virtual ~SKProductsRequestDelegate() = default;
  virtual void productsRequestDidReceiveResponse(SKProductsRequest& request, const SKProductsResponse& response) = 0;
  virtual void requestDidFailWithError(SKProductsRequest& request, const Error& error) = 0;
};

// Where product information comes from. None is installed on a desktop.
class SKProductCatalog {
 public:
  virtual ~SKProductCatalog() = default;
  virtual foundation::Result<SKProductsResponse> productsWithIdentifiers(
      const std::set<std::string>& productIdentifiers) = 0;
};

// A catalogue of fixed products: every other identifier is invalid, and an
// error, when set, fails every request.
class SKStaticProductCatalog final : public SKProductCatalog {
 public:
  explicit SKStaticProductCatalog(std::vector<SKProduct> products = {});
  void addProduct(SKProduct product);
  void setError(std::optional<Error> error);
  // How many requests reached the catalogue.
  int requestCount() const;
  foundation::Result<SKProductsResponse> productsWithIdentifiers(
      const std::set<std::string>& productIdentifiers) override;

 private:
  mutable std::mutex mutex_;
  std::vector<SKProductPtr> products_;
  std::optional<Error> error_;
  int requests_ = 0;
};

void setProductCatalog(std::shared_ptr<SKProductCatalog> catalog);
std::shared_ptr<SKProductCatalog> productCatalog();

class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
 public:
  // nullptr for no identifiers: there is nothing to ask.
  static std::shared_ptr<SKProductsRequest> initWithProductIdentifiers(std::set<std::string> productIdentifiers);

  // Held weakly.
  void setDelegate(std::weak_ptr<SKProductsRequestDelegate> delegate);
  // Asks the catalogue on the global queue; the delegate hears the answer
  // there, once. The request keeps itself alive until then. Without a
  // catalogue the request fails.
  void start();
  // The delegate hears nothing after this.
  void cancel();
  const std::set<std::string>& productIdentifiers() const { return productIdentifiers_; }

  explicit SKProductsRequest(std::set<std::string> productIdentifiers)
      : productIdentifiers_(std::move(productIdentifiers)) {}

 private:
  const std::set<std::string> productIdentifiers_;
  std::mutex mutex_;
  std::weak_ptr<SKProductsRequestDelegate> delegate_;
  bool cancelled_ = false;
};

// ---- The ad network ----

using SKAdNetworkCoarseConversionValue = std::string;
// Plain literals: nothing to destroy while a worker may still use them at exit.
inline constexpr const char* SKAdNetworkCoarseConversionValueLow = "low";
inline constexpr const char* SKAdNetworkCoarseConversionValueMedium = "medium";
inline constexpr const char* SKAdNetworkCoarseConversionValueHigh = "high";
inline constexpr const char* kSKANErrorDomain = "SKANErrorDomain";

// The ad network's attribution of installs. The desktop keeps what it was
// told, so a host can show it and tests can read it; a test may make the
// next postback update fail.
class SKAdNetwork {
 public:
  struct PostbackUpdate {
    std::int64_t fineValue = 0;
    SKAdNetworkCoarseConversionValue coarseValue;
    bool lockWindow = false;
  };
  using Completion = std::function<void(const std::optional<Error>& error)>;

  static void registerAppForAdNetworkAttribution();
  // The completion runs once, on the global queue.
  static void updatePostbackConversionValue(std::int64_t fineValue, const SKAdNetworkCoarseConversionValue& coarseValue,
                                            bool lockWindow, Completion completion);

  static int registrationCount();
  static std::vector<PostbackUpdate> postbackUpdates();
  // The next update fails with this error (once).
  static void failNextUpdateWithError(Error error);
  static void resetForTests();
};

// ---- StoreKit 2 ----

// A product's kind as StoreKit 2 names it.
enum class ProductType { consumable, nonConsumable, nonRenewable, autoRenewable, other };

struct Transaction {
  struct Offer {
    enum class OfferType { introductory, promotional, code, other };
    enum class PaymentMode { freeTrial, payAsYouGo, payUpFront, other };
    OfferType type = OfferType::introductory;
    PaymentMode paymentMode = PaymentMode::payAsYouGo;
  };
  // "Production", "Sandbox" or "Xcode".
  struct Environment {
    std::string rawValue = "Production";
  };

  std::uint64_t id = 0;
  std::uint64_t originalID = 0;
  std::string productID;
  std::optional<std::string> webOrderLineItemID;
  ProductType productType = ProductType::consumable;
  std::optional<Offer> offer;
  std::int64_t purchasedQuantity = 1;
  Date purchaseDate;
  Date originalPurchaseDate;
  std::optional<Date> expirationDate;
  std::optional<Date> revocationDate;
  Environment environment;
};

}  // namespace store
