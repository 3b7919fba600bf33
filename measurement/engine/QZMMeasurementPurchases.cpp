#include <utility>

#include "measurement/engine/QZMMeasurement.h"
#include "measurement/engine/reporters/QZMInAppPurchaseTransactionReporter.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMScheduler.h"

void QZMMeasurement::filterPurchaseTransactions(store::SKPaymentTransactions transactions,
                                                std::function<void(store::SKPaymentTransactions)> callback) {
  scheduler_->scheduleOnWorkerQueueBlockID(
      "QZMMeasurement:3802",
      [weak = weak_from_this(), transactions = std::move(transactions), callback = std::move(callback)] {
        auto self = weak.lock();
        if (!self) return;
        auto monitor = QZMMeasurement::monitor();
        std::shared_ptr<QZMDatabase> database = self->database();
        store::SKPaymentTransactions kept;
        for (const auto& transaction : transactions) {
          if (!transaction || transaction->transactionState != store::SKPaymentTransactionStatePurchased) continue;
          const std::string& productID = transaction->payment.productIdentifier;
          auto fingerprint = QZMInAppPurchaseTransactionReporter::transactionFingerprint(transaction.get());
          if (!fingerprint || fingerprint->empty()) {
            monitor->logWithLevel(2, 23139,
                                  "Purchase has nil or empty fingerprint. Purchase will not be checked for "
                                  "duplicates. Product ID",
                                  productID);
            kept.push_back(transaction);
            continue;
          }
          // Unsure means reported: a purchase is never lost to a failed check.
          foundation::Result<bool> inserted =
              database ? database->insertIfNotDuplicatePurchaseFingerprint(*fingerprint)
                       : foundation::Result<bool>(foundation::Error("QZMMeasurement", 23140, "No database"));
          if (!inserted.ok()) {
            monitor->logWithLevel(1, 23140,
                                  "Failed to save purchase fingerprint. Purchase will not be checked for "
                                  "duplicates. Product ID, error",
                                  productID, inserted.error());
            kept.push_back(transaction);
          } else if (*inserted) {
            kept.push_back(transaction);
          } else {
            monitor->logWithLevel(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
          }
        }
        dispatch::Queue::global()->async([callback, kept = std::move(kept)] { callback(kept); });
      });
}
