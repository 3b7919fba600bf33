#include "measurement/engine/reporters/QZMInAppPurchaseTransactionReporter.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <set>

#include "measurement/api/QZMAnalytics.h"
#include "measurement/engine/reporters/QZMInAppPurchaseProductCache.h"
#include "measurement/foundation/QZMFoundationCategories.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMNumericUtil.h"

namespace {

using foundation::Date;

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QZMInAppPurchaseTransactionReporter> reporter;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

std::int64_t int64Parameter(const QZMDictionary& parameters, const char* name) {
  auto found = parameters.find(name);
  if (found == parameters.end()) return 0;
  const foundation::Object* plain = found->second.plain();
  return plain && plain->isNumber() ? plain->int64Value() : 0;
}

// As the platform reads an integer from text: leading blanks, a sign and the
// digits that follow; 0 without digits, clamped to the int64 range.
std::int64_t integerValue(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n')) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  std::int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    int digit = text[at] - '0';
    if (__builtin_mul_overflow(value, 10, &value) ||
        (negative ? __builtin_sub_overflow(value, digit, &value) : __builtin_add_overflow(value, digit, &value))) {
      return negative ? INT64_MIN : INT64_MAX;
    }
  }
  return value;
}

void logPurchaseLine(std::int64_t code, std::string_view message) {
  QZMMeasurementBase::monitor()->logWithLevel(8, code, message);
}

}  // namespace

std::optional<std::int64_t> QZMMicrosFromDecimal(const store::Decimal& amount) {
  double micros = amount.multiplyingByPowerOf10(6).doubleValue();
  // 2^63 is exact in a double; anything at or beyond it does not fit.
  if (!std::isfinite(micros) || micros >= 9223372036854775808.0 || micros < -9223372036854775808.0) {
    return std::nullopt;
  }
  return QZMSaturatingCast<std::int64_t>(micros);
}

std::int64_t QZMInAppPurchaseItem::dedupeID(bool withWebOrderLineItemID) const {
  if (!nonEmpty(originalTransactionID) || !nonEmpty(productID)) return -1;
  std::string key = *originalTransactionID;
  if (withWebOrderLineItemID && webOrderLineItemID) key += std::to_string(*webOrderLineItemID);
  key += *productID;
  return qzm_64LSBMD5(foundation::Data(key.begin(), key.end()));
}

// ---- The shared reporter ----

std::shared_ptr<QZMInAppPurchaseTransactionReporter> QZMInAppPurchaseTransactionReporter::sharedInstance() {
  std::lock_guard lock(shared().mutex);
  if (!shared().reporter) shared().reporter = std::make_shared<QZMInAppPurchaseTransactionReporter>();
  return shared().reporter;
}

void QZMInAppPurchaseTransactionReporter::setSharedInstance(
    std::shared_ptr<QZMInAppPurchaseTransactionReporter> reporter) {
  std::lock_guard lock(shared().mutex);
  shared().reporter = std::move(reporter);
}

std::vector<QZMInAppPurchaseItem> QZMInAppPurchaseTransactionReporter::allPurchaseItems() const {
  std::lock_guard lock(itemsMutex_);
  return allPurchaseItems_;
}

// ---- Dates ----

std::optional<std::string> QZMInAppPurchaseTransactionReporter::ia5StringFromDate(const std::optional<Date>& date) {
  if (!date || !std::isfinite(date->secondsSince1970)) return std::nullopt;
  std::time_t seconds = QZMSaturatingCast<std::time_t>(std::floor(date->secondsSince1970));
  std::tm parts{};
  if (!gmtime_r(&seconds, &parts)) return std::nullopt;
  char text[40];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (length == 0) return std::nullopt;
  return std::string(text, length);
}

std::optional<Date> QZMInAppPurchaseTransactionReporter::dateFromIA5String(const std::string& text) {
  std::tm parts{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (!end || *end != '\0') return std::nullopt;
  return Date{static_cast<double>(timegm(&parts))};
}

// ---- Fingerprints ----

std::optional<std::string> QZMInAppPurchaseTransactionReporter::transactionFingerprint(
    const store::SKPaymentTransaction* transaction) {
  auto monitor = QZMMeasurementBase::monitor();
  if (!transaction) {
    monitor->logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != store::SKPaymentTransactionStatePurchased) return std::nullopt;
  std::int64_t errorCode = transaction->error ? transaction->error->code : 0;
  const auto& identifier = transaction->transactionIdentifier;
  if (!identifier) {
    monitor->logWithLevel(2, 21015, "Transaction identifier is nil. Code", errorCode);
    return std::nullopt;
  }
  if (identifier->empty()) {
    monitor->logWithLevel(2, 21016, "Transaction identifier is empty. Code", errorCode);
    return std::nullopt;
  }
  if (identifier->find_first_not_of("0-") == std::string::npos) {
    monitor->logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", errorCode);
    return std::nullopt;
  }
  return qzm_MD5String(*identifier);
}

// ---- Batches from the payment queue ----

void QZMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    store::SKPaymentQueue&, const store::SKPaymentTransactions& transactions) {
  auto cache = QZMInAppPurchaseProductCache::sharedInstance();
  store::SKPaymentTransactions kept;
  std::set<std::string> missing;
  for (const auto& transaction : transactions) {
    if (!transaction || transaction->transactionState != store::SKPaymentTransactionStatePurchased) continue;
    const std::string& productIdentifier = transaction->payment.productIdentifier;
    if (productIdentifier.empty()) continue;
    kept.push_back(transaction);
    if (!cache->cachedProductForProductIdentifier(productIdentifier)) missing.insert(productIdentifier);
  }
  if (kept.empty()) return;
  // The records as the batch found them: whatever changes them while a
  // product lookup is out must not change this batch's report.
  std::vector<QZMInAppPurchaseItem> records = allPurchaseItems();
  std::weak_ptr<QZMInAppPurchaseTransactionReporter> weak = weak_from_this();
  if (missing.empty()) {
    dispatch::Queue::global()->async([weak, kept, records] {
      if (auto self = weak.lock()) self->reportTransactionsFromArray(kept, records);
    });
    return;
  }
  cache->requestProductsWithProductIdentifiers(
      missing, dispatch::Queue::global(),
      [weak, kept, records](const QZMProductsByIdentifier& validProducts, const std::set<std::string>&,
                            const std::optional<foundation::Error>& error) {
        if (error && validProducts.empty()) {
          QZMMeasurementBase::monitor()->logWithLevel(1, 21027, "Cannot request product information. Error", *error);
          return;
        }
        if (auto self = weak.lock()) self->reportTransactionsFromArray(kept, records);
      });
}

void QZMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const store::SKPaymentTransactions& transactions) {
  reportTransactionsFromArray(transactions, allPurchaseItems());
}

void QZMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const store::SKPaymentTransactions& transactions, const std::vector<QZMInAppPurchaseItem>& records) {
  auto cache = QZMInAppPurchaseProductCache::sharedInstance();
  for (const auto& transaction : transactions) {
    if (!transaction) continue;
    auto product = cache->cachedProductForProductIdentifier(transaction->payment.productIdentifier);
    std::optional<std::string> original;
    if (transaction->originalTransaction) original = transaction->originalTransaction->transactionIdentifier;
    reportTransactionWithProduct(product, transaction->payment.quantity, transaction->transactionIdentifier, original,
                                 transaction->transactionDate, "1", records);
  }
  std::lock_guard lock(itemsMutex_);
  allPurchaseItems_.clear();
}

// ---- Single purchases ----

void QZMInAppPurchaseTransactionReporter::reportTransactionWithProductID(
    const std::string& productID, const std::string& transactionID, const std::string& originalTransactionID,
    const std::optional<std::string>& webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
    bool isIntroductoryOffer, std::int64_t paymentQuantity, const std::optional<Date>& purchaseDate,
    const std::optional<Date>& originalPurchaseDate, const std::optional<Date>& subscriptionExpirationDate,
    const std::optional<Date>& cancellationDate, const std::string& /*environment*/) {
  // Taken with this purchase's own record in: a batch that forgets the
  // records while the product lookup is out must not turn a free trial into
  // paid revenue.
  std::vector<QZMInAppPurchaseItem> records;
  {
    std::lock_guard lock(itemsMutex_);
    bool known = std::any_of(allPurchaseItems_.begin(), allPurchaseItems_.end(),
                             [&](const QZMInAppPurchaseItem& item) { return item.transactionID == transactionID; });
    if (!known) {
      QZMInAppPurchaseItem item;
      item.freeTrial = isFreeTrial;
      item.introductoryOffer = isIntroductoryOffer;
      item.subscriptionExpirationDateIA5String = ia5StringFromDate(subscriptionExpirationDate);
      item.productID = productID;
      item.originalTransactionID = originalTransactionID;
      item.transactionID = transactionID;
      if (webOrderLineItemID) item.webOrderLineItemID = integerValue(*webOrderLineItemID);
      item.originalPurchaseDateIA5String = ia5StringFromDate(originalPurchaseDate);
      item.purchaseDateIA5String = ia5StringFromDate(purchaseDate);
      item.cancellationDateIA5String = ia5StringFromDate(cancellationDate);
      item.purchaseType = productType;
      allPurchaseItems_.insert(allPurchaseItems_.begin(), std::move(item));
    }
    records = allPurchaseItems_;
  }

  // Whole seconds, as the records keep it, so the two compare equal.
  std::optional<Date> normalizedDate;
  if (auto text = ia5StringFromDate(purchaseDate)) normalizedDate = dateFromIA5String(*text);

  std::weak_ptr<QZMInAppPurchaseTransactionReporter> weak = weak_from_this();
  auto report = [weak, paymentQuantity, transactionID, originalTransactionID, normalizedDate,
                 records = std::move(records)](const store::SKProductPtr& product) {
    dispatch::Queue::global()->async(
        [weak, product, paymentQuantity, transactionID, originalTransactionID, normalizedDate, records] {
          if (auto self = weak.lock()) {
            self->reportTransactionWithProduct(product, paymentQuantity, transactionID, originalTransactionID,
                                               normalizedDate, "2", records);
          }
        });
  };
  auto cache = QZMInAppPurchaseProductCache::sharedInstance();
  if (auto product = cache->cachedProductForProductIdentifier(productID)) {
    report(product);
    return;
  }
  cache->requestProductsWithProductIdentifiers(
      {productID}, dispatch::Queue::global(),
      [report](const QZMProductsByIdentifier& validProducts, const std::set<std::string>&,
               const std::optional<foundation::Error>& error) {
        if (validProducts.empty()) {
          QZMMeasurementBase::monitor()->logWithLevel(1, 21027, "Cannot request product information. Error",
                                                     error ? QZMLogContext(*error) : QZMLogContext());
          return;
        }
        report(validProducts.begin()->second);
      });
}

// ---- The purchase event ----

void QZMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const store::SKProductPtr& product, std::int64_t paymentQuantity,
    const std::optional<std::string>& transactionIdentifier,
    const std::optional<std::string>& originalTransactionIdentifier, const std::optional<Date>& transactionDate,
    const std::string& storeKitVersion) {
  reportTransactionWithProduct(product, paymentQuantity, transactionIdentifier, originalTransactionIdentifier,
                               transactionDate, storeKitVersion, allPurchaseItems());
}

void QZMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const store::SKProductPtr& product, std::int64_t paymentQuantity,
    const std::optional<std::string>& transactionIdentifier,
    const std::optional<std::string>& originalTransactionIdentifier, const std::optional<Date>& transactionDate,
    const std::string& storeKitVersion, const std::vector<QZMInAppPurchaseItem>& records) {
  auto parameters = purchaseParameters(product, paymentQuantity, transactionIdentifier, originalTransactionIdentifier,
                                       transactionDate, records);
  if (!parameters || parameters->empty()) return;
  std::string name = "_iap";
  if (int64Parameter(*parameters, "sub_renew") == 1) {
    parameters->erase("sub_renew");
    name = "_assr";
  }
  if (int64Parameter(*parameters, "sub_convert") == 1) {
    parameters->erase("sub_convert");
    name = "_assc";
  }
  (*parameters)["_skv"] = storeKitVersion;
  QZMAnalytics::logInternalEventWithOrigin("auto", name, *parameters);
}

std::optional<QZMDictionary> QZMInAppPurchaseTransactionReporter::purchaseParameters(
    const store::SKProductPtr& product, std::int64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, const std::optional<Date>& transactionDate,
    const std::vector<QZMInAppPurchaseItem>& records) const {
  if (!product) {
    logPurchaseLine(40026, "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  const std::string& productID = product->productIdentifier;
  if (productID.empty()) {
    logPurchaseLine(40027, "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }

  QZMDictionary parameters;
  parameters["product_id"] = productID;
  auto setMicros = [&](const char* name, const store::Decimal& amount) {
    if (auto micros = QZMMicrosFromDecimal(amount)) parameters[name] = *micros;
  };
  // quantity x price, both exact, before the conversion.
  auto setValue = [&](const store::Decimal& price) {
    if (auto total = price.multiplying(store::Decimal(quantity))) setMicros("value", *total);
  };
  if (product->price) {
    setMicros("price", *product->price);
    if (quantity != 0) {
      setValue(*product->price);
      parameters["quantity"] = quantity;
    }
  }
  if (product->priceLocaleCurrencyCode) parameters["currency"] = *product->priceLocaleCurrencyCode;
  if (product->localizedTitle) parameters["product_name"] = *product->localizedTitle;

  if (!nonEmpty(transactionID)) logPurchaseLine(40003, "Transaction ID cannot be nil or empty.");

  [&] {
    std::vector<QZMInAppPurchaseItem> productRecords;
    for (const auto& record : records) {
      if (record.productID == productID) productRecords.push_back(record);
    }
    if (productRecords.empty()) return;
    std::stable_sort(productRecords.begin(), productRecords.end(),
                     [](const QZMInAppPurchaseItem& a, const QZMInAppPurchaseItem& b) {
                       return a.purchaseDateIA5String.value_or("") < b.purchaseDateIA5String.value_or("");
                     });
    const QZMInAppPurchaseItem& last = productRecords.back();

    const std::optional<std::int64_t>& type = last.purchaseType;
    bool autoRenewable = type == kQZMInAppPurchaseTypeAutoRenewableSubscription;
    bool nonRenewing = type == kQZMInAppPurchaseTypeNonRenewingSubscription;
    if (!autoRenewable && !nonRenewing && last.webOrderLineItemID) autoRenewable = true;
    bool subscription = autoRenewable || nonRenewing;
    if (type == kQZMInAppPurchaseTypeNonConsumable && nonEmpty(transactionID) && nonEmpty(originalTransactionID) &&
        *transactionID != *originalTransactionID) {
      return;
    }

    if (!subscription) {
      if (last.transactionID == last.originalTransactionID) {
        if (type == kQZMInAppPurchaseTypeConsumable) {
          logPurchaseLine(40021, "Transaction of consumable item will be reported");
        } else if (type == kQZMInAppPurchaseTypeNonConsumable) {
          logPurchaseLine(40022, "Transaction of non-consumable item will be reported");
        }
        parameters["_did"] = last.dedupeID(false);
      } else {
        logPurchaseLine(40007,
                        "Transaction with mismatched transaction ID and original transaction ID will be reported as "
                        "consumable");
      }
      return;
    }

    auto dateText = ia5StringFromDate(transactionDate);
    std::vector<const QZMInAppPurchaseItem*> dateRecords;
    for (const auto& record : records) {
      if (dateText && record.purchaseDateIA5String == dateText) dateRecords.push_back(&record);
    }
    if (dateRecords.size() != 1) {
      parameters["subscription"] = std::int64_t{1};
      return;
    }
    const QZMInAppPurchaseItem& rec = *dateRecords.front();
    if (nonRenewing) {
      parameters["subscription"] = std::int64_t{1};
      parameters["_did"] = rec.dedupeID(false);
      logPurchaseLine(40025, "Transaction of non-renewing subscription will be reported");
      return;
    }

    if (rec.originalTransactionID == rec.transactionID) parameters["subscription"] = std::int64_t{1};
    parameters["_did"] = rec.dedupeID(true);
    auto renewalMarker = [&] {
      if (rec.originalTransactionID == rec.transactionID) return;
      auto at = std::find_if(productRecords.begin(), productRecords.end(), [&](const QZMInAppPurchaseItem& item) {
        return item.productID == rec.productID && item.transactionID == rec.transactionID &&
               item.purchaseDateIA5String == rec.purchaseDateIA5String;
      });
      if (at == productRecords.end() || at == productRecords.begin()) return;
      if (std::prev(at)->freeTrial) {
        parameters["sub_convert"] = std::int64_t{1};
      } else {
        parameters["sub_renew"] = std::int64_t{1};
      }
    };
    if (!rec.freeTrial && !rec.introductoryOffer) {
      logPurchaseLine(40008, "Transaction of auto-renewable subscription will be reported");
      renewalMarker();
    }
    if (rec.freeTrial) {
      parameters["free_trial"] = std::int64_t{1};
      if (nonEmpty(transactionID) && nonEmpty(originalTransactionID) && *transactionID != *originalTransactionID) {
        return;
      }
      logPurchaseLine(40009, "Transaction of free-trial auto-renewable subscription will be reported");
    }
    if (rec.introductoryOffer) {
      parameters["price_is_discounted"] = std::int64_t{1};
      renewalMarker();
      logPurchaseLine(40018, "Transaction of introductory offer will be reported");
    }
    logPurchaseLine(40010, "Transaction of auto-renewable subscription renewal will be reported");
  }();

  auto freeOfCharge = [&] {
    if (auto price = parameters.find("price"); price != parameters.end()) parameters["original_price"] = price->second;
    parameters["price_is_discounted"] = std::int64_t{1};
    parameters["price"] = std::int64_t{0};
    parameters["value"] = std::int64_t{0};
  };
  if (int64Parameter(parameters, "free_trial") == 1) {
    freeOfCharge();
  } else if (int64Parameter(parameters, "price_is_discounted") == 1 && product->introductoryPrice) {
    const store::SKProductDiscount& discount = *product->introductoryPrice;
    if (discount.paymentMode == store::SKProductDiscountPaymentModeFreeTrial) {
      freeOfCharge();
    } else {
      if (auto price = parameters.find("price"); price != parameters.end()) {
        parameters["original_price"] = price->second;
      }
      parameters.erase("price");
      setMicros("price", discount.price);
      parameters.erase("value");
      if (quantity != 0) setValue(discount.price);
    }
  }

  for (const char* required : {"price", "value", "currency", "product_id"}) {
    if (!parameters.contains(required)) return std::nullopt;
  }
  return parameters;
}
