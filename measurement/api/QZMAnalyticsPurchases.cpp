#include <utility>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/reporters/QZMInAppPurchaseTransactionReporter.h"

void QZMAnalytics::addPaymentTransactionObserver() {
  store::SKPaymentQueue::defaultQueue().addTransactionObserver(sharedInstance());
}

QZMAnalytics::~QZMAnalytics() { store::SKPaymentQueue::defaultQueue().removeTransactionObserver(this); }

void QZMAnalytics::paymentQueueUpdatedTransactions(store::SKPaymentQueue& queue,
                                                   const store::SKPaymentTransactions& transactions) {
  paymentQueue(queue, transactions);
}

void QZMAnalytics::paymentQueue(store::SKPaymentQueue& queue, const store::SKPaymentTransactions& updatedTransactions) {
  queueOperationWithBlock([queue = &queue, transactions = updatedTransactions] {
    if (!analyticsEnabled()) return;
    auto engine = QZMMeasurement::sharedInstance();
    if (!engine) return;
    engine->filterPurchaseTransactions(transactions, [queue](store::SKPaymentTransactions filtered) {
      QZMInAppPurchaseTransactionReporter::sharedInstance()->paymentQueueUpdatedFilteredTransactions(*queue, filtered);
    });
  });
}

void QZMAnalytics::logTransactionWithProductID(
    const std::string& productID, const std::string& transactionID, const std::string& originalTransactionID,
    const std::optional<std::string>& webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
    bool isIntroductoryOffer, std::int64_t paymentQuantity, const std::optional<foundation::Date>& purchaseDate,
    const std::optional<foundation::Date>& originalPurchaseDate,
    const std::optional<foundation::Date>& subscriptionExpirationDate,
    const std::optional<foundation::Date>& cancellationDate, const std::string& environment) {
  QZMInAppPurchaseTransactionReporter::sharedInstance()->reportTransactionWithProductID(
      productID, transactionID, originalTransactionID, webOrderLineItemID, productType, isFreeTrial,
      isIntroductoryOffer, paymentQuantity, purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
      cancellationDate, environment);
}
