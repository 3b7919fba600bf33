#include "measurement/api/ZNHAnalyticsConveniences.h"

#include <string>

std::int64_t productTypeCode(store::ProductType type) {
  switch (type) {
    case store::ProductType::nonConsumable:
      return 0;
    case store::ProductType::consumable:
      return 1;
    case store::ProductType::nonRenewable:
      return 2;
    case store::ProductType::autoRenewable:
      return 3;
    default:
      return 0;
  }
}

void ZNHAnalytics::logTransactionWithProductID(
    const std::string& productID, const std::string& transactionID, const std::string& originalTransactionID,
    const std::optional<std::string>& webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
    bool isIntroductoryOffer, std::int64_t paymentQuantity, const std::optional<foundation::Date>& purchaseDate,
    const std::optional<foundation::Date>& originalPurchaseDate,
    const std::optional<foundation::Date>& subscriptionExpirationDate,
    const std::optional<foundation::Date>& cancellationDate, const std::string& environment) {
  QZMAnalytics::logTransactionWithProductID(productID, transactionID, originalTransactionID, webOrderLineItemID,
                                            productType, isFreeTrial, isIntroductoryOffer, paymentQuantity,
                                            purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
                                            cancellationDate, environment);
}

void ZNHAnalytics::logStoreKitTransaction(const store::Transaction& transaction) {
  using Offer = store::Transaction::Offer;
  bool freeTrial = transaction.offer && transaction.offer->paymentMode == Offer::PaymentMode::freeTrial;
  bool introductory = transaction.offer && transaction.offer->type == Offer::OfferType::introductory;
  // Identifiers are unsigned 64-bit: their whole decimal text, never negative.
  logTransactionWithProductID(transaction.productID, std::to_string(transaction.id),
                              std::to_string(transaction.originalID), transaction.webOrderLineItemID,
                              productTypeCode(transaction.productType), freeTrial, introductory,
                              transaction.purchasedQuantity, transaction.purchaseDate, transaction.originalPurchaseDate,
                              transaction.expirationDate, transaction.revocationDate, transaction.environment.rawValue);
}

void LoggedAnalyticsModifier::logScreenView() const {
  ZNHAnalytics::Parameters parameters = extraParameters;
  parameters["screen_name"] = screenName;
  parameters["screen_class"] = screenClass;
  ZNHAnalytics::logEventWithName("screen_view", parameters);
}
