// Turns the host application's store purchases into the internal purchase
// events "_iap", "_assr" (a subscription renewal) and "_assc" (a free trial
// converted). Purchases arrive in batches from the payment queue, already
// freed of duplicates by the engine, or one by one described field by field
// (StoreKit 2). The reporter keeps records of the single purchases it was
// told of, to tell first subscription periods, renewals and conversions
// apart, and looks up the product's price through the product cache.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/model/QZMValue.h"
#include "platform/foundation/Object.h"
#include "platform/store/StoreKit.h"

// Purchase types as the records keep them.
enum QZMInAppPurchaseType : std::int64_t {
  kQZMInAppPurchaseTypeNonConsumable = 0,
  kQZMInAppPurchaseTypeConsumable = 1,
  kQZMInAppPurchaseTypeNonRenewingSubscription = 2,
  kQZMInAppPurchaseTypeAutoRenewableSubscription = 3,
};

// One purchase as described to the reporter. Dates are kept as text in the
// reporter's date format.
struct QZMInAppPurchaseItem {
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::optional<std::string> subscriptionExpirationDateIA5String;
  std::optional<std::string> productID;
  std::optional<std::string> originalTransactionID;
  std::optional<std::string> transactionID;
  std::optional<std::int64_t> webOrderLineItemID;
  std::optional<std::string> originalPurchaseDateIA5String;
  std::optional<std::string> purchaseDateIA5String;
  std::optional<std::string> cancellationDateIA5String;
  std::optional<std::int64_t> purchaseType;

  // The purchase's "_did": the low 64 bits of the MD5 of the original
  // transaction ID, the web order line item ID's digits (when asked for and
  // present) and the product ID; -1 without both IDs.
  std::int64_t dedupeID(bool withWebOrderLineItemID) const;
};

class QZMInAppPurchaseTransactionReporter : public std::enable_shared_from_this<QZMInAppPurchaseTransactionReporter> {
 public:
  static std::shared_ptr<QZMInAppPurchaseTransactionReporter> sharedInstance();
  // nullptr makes a new one at the next sharedInstance().
  static void setSharedInstance(std::shared_ptr<QZMInAppPurchaseTransactionReporter> reporter);

  // Purchased transactions with a product identifier are reported once
  // their products are known (asked of the store when not cached).
  void paymentQueueUpdatedFilteredTransactions(store::SKPaymentQueue& queue,
                                               const store::SKPaymentTransactions& transactions);
  // Reports each with its cached product, then forgets the records.
  void reportTransactionsFromArray(const store::SKPaymentTransactions& transactions);
  // The same, judged against the records as they were when the batch came.
  void reportTransactionsFromArray(const store::SKPaymentTransactions& transactions,
                                   const std::vector<QZMInAppPurchaseItem>& records);
  // A single purchase: kept as a record (unless one of its transaction ID is
  // held) and reported once its product is known. The environment is not used.
  void reportTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                      const std::string& originalTransactionID,
                                      const std::optional<std::string>& webOrderLineItemID, std::int64_t productType,
                                      bool isFreeTrial, bool isIntroductoryOffer, std::int64_t paymentQuantity,
                                      const std::optional<foundation::Date>& purchaseDate,
                                      const std::optional<foundation::Date>& originalPurchaseDate,
                                      const std::optional<foundation::Date>& subscriptionExpirationDate,
                                      const std::optional<foundation::Date>& cancellationDate,
                                      const std::string& environment);
  // Logs the purchase event of one transaction, when its parameters hold a
  // price, a value, a currency and a product ID.
  void reportTransactionWithProduct(const store::SKProductPtr& product, std::int64_t paymentQuantity,
                                    const std::optional<std::string>& transactionIdentifier,
                                    const std::optional<std::string>& originalTransactionIdentifier,
                                    const std::optional<foundation::Date>& transactionDate,
                                    const std::string& storeKitVersion);
  // The same, judged against the records the report started with.
  void reportTransactionWithProduct(const store::SKProductPtr& product, std::int64_t paymentQuantity,
                                    const std::optional<std::string>& transactionIdentifier,
                                    const std::optional<std::string>& originalTransactionIdentifier,
                                    const std::optional<foundation::Date>& transactionDate,
                                    const std::string& storeKitVersion,
                                    const std::vector<QZMInAppPurchaseItem>& records);

  // The purchase event's parameters, judged against the records; nullopt
  // when there is no purchase event to log.
  std::optional<QZMDictionary> purchaseParameters(const store::SKProductPtr& product, std::int64_t paymentQuantity,
                                                  const std::optional<std::string>& transactionIdentifier,
                                                  const std::optional<std::string>& originalTransactionIdentifier,
                                                  const std::optional<foundation::Date>& transactionDate,
                                                  const std::vector<QZMInAppPurchaseItem>& records) const;

  // The lower-case hexadecimal MD5 of a purchased transaction's identifier,
  // which the engine keeps to drop duplicates; nullopt (logged) otherwise.
  static std::optional<std::string> transactionFingerprint(const store::SKPaymentTransaction* transaction);

  // "yyyy-MM-dd'T'HH:mm:ssZZZZZ" in UTC ("2024-05-01T12:00:00Z"); nullopt
  // for none.
  static std::optional<std::string> ia5StringFromDate(const std::optional<foundation::Date>& date);
  // The reverse; nullopt for text of another form.
  static std::optional<foundation::Date> dateFromIA5String(const std::string& text);

  // Newest first.
  std::vector<QZMInAppPurchaseItem> allPurchaseItems() const;

 private:
  // Purchases are reported from global queues at once.
  mutable std::mutex itemsMutex_;
  std::vector<QZMInAppPurchaseItem> allPurchaseItems_;
};

// Price amounts as events carry them: int64 micros of the exact decimal,
// truncated toward zero; nullopt when it does not fit.
std::optional<std::int64_t> QZMMicrosFromDecimal(const store::Decimal& amount);
