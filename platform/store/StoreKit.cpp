#include "platform/store/StoreKit.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <utility>

#include "platform/dispatch/Queue.h"

namespace store {

// ---- Decimal ----

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  std::int64_t mantissa = 0;
  std::int32_t exponent = 0;
  bool sawDigit = false;
  bool sawPoint = false;
  for (; at < text.size(); ++at) {
    char c = text[at];
    if (c == '.' && !sawPoint) {
      sawPoint = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    sawDigit = true;
    if (__builtin_mul_overflow(mantissa, 10, &mantissa) || __builtin_add_overflow(mantissa, c - '0', &mantissa)) {
      return std::nullopt;
    }
    if (sawPoint) --exponent;
  }
  if (!sawDigit) return std::nullopt;
  return Decimal(negative ? -mantissa : mantissa, exponent);
}

double Decimal::doubleValue() const {
  // Through text, so the result is the correctly rounded double.
  std::string text = std::to_string(mantissa_) + "e" + std::to_string(exponent_);
  double value = 0;
  auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) {
    if (exponent_ < 0) return 0;
    return mantissa_ < 0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  return value;
}

std::optional<Decimal> Decimal::multiplying(const Decimal& other) const {
  // Trailing zeros move into the exponent first, so that 100 x 10^-2 and
  // similar products keep fitting.
  auto normalized = [](Decimal d) {
    while (d.mantissa_ != 0 && d.mantissa_ % 10 == 0 && d.exponent_ < std::numeric_limits<std::int32_t>::max()) {
      d.mantissa_ /= 10;
      ++d.exponent_;
    }
    return d;
  };
  Decimal a = normalized(*this);
  Decimal b = normalized(other);
  std::int64_t mantissa = 0;
  std::int32_t exponent = 0;
  if (__builtin_mul_overflow(a.mantissa_, b.mantissa_, &mantissa)) return std::nullopt;
  if (__builtin_add_overflow(a.exponent_, b.exponent_, &exponent)) return std::nullopt;
  return Decimal(mantissa, exponent);
}

std::string Decimal::description() const {
  // The magnitude as unsigned, so that INT64_MIN has one too.
  unsigned long long magnitude =
      mantissa_ < 0 ? 0ULL - static_cast<unsigned long long>(mantissa_) : static_cast<unsigned long long>(mantissa_);
  std::string digits = std::to_string(magnitude);
  std::string text;
  if (exponent_ >= 0) {
    text = digits;
    if (magnitude != 0) text.append(static_cast<std::size_t>(std::min(exponent_, 400)), '0');
  } else {
    std::size_t fraction = static_cast<std::size_t>(-static_cast<std::int64_t>(exponent_));
    if (digits.size() <= fraction) digits.insert(0, fraction - digits.size() + 1, '0');
    text = digits.substr(0, digits.size() - fraction) + "." + digits.substr(digits.size() - fraction);
  }
  return mantissa_ < 0 ? "-" + text : text;
}

// ---- The payment queue ----

SKPaymentQueue& SKPaymentQueue::defaultQueue() {
  static auto* queue = new SKPaymentQueue;
  return *queue;
}

void SKPaymentQueue::addTransactionObserver(std::weak_ptr<SKPaymentTransactionObserver> observer) {
  auto strong = observer.lock();
  if (!strong) return;
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [](const auto& held) { return held.expired(); });
  for (const auto& held : observers_) {
    if (held.lock() == strong) return;
  }
  observers_.push_back(std::move(observer));
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [observer](const auto& held) {
    auto strong = held.lock();
    return !strong || strong.get() == observer;
  });
}

std::size_t SKPaymentQueue::transactionObserverCount() {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [](const auto& held) { return held.expired(); });
  return observers_.size();
}

void SKPaymentQueue::updateTransactions(SKPaymentTransactions transactions) {
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  for (auto& observer : observers) {
    dispatch::Queue::main()->async([this, observer, transactions] {
      if (auto strong = observer.lock()) strong->paymentQueueUpdatedTransactions(*this, transactions);
    });
  }
}

void SKPaymentQueue::resetForTests() {
  std::lock_guard lock(mutex_);
  observers_.clear();
}

// ---- Product catalogues ----

namespace {

struct Catalog {
  std::mutex mutex;
  std::shared_ptr<SKProductCatalog> catalog;
};
Catalog& installedCatalog() {
  static auto* c = new Catalog;
  return *c;
}

}  // namespace

void setProductCatalog(std::shared_ptr<SKProductCatalog> catalog) {
  std::lock_guard lock(installedCatalog().mutex);
  installedCatalog().catalog = std::move(catalog);
}

std::shared_ptr<SKProductCatalog> productCatalog() {
  std::lock_guard lock(installedCatalog().mutex);
  return installedCatalog().catalog;
}

SKStaticProductCatalog::SKStaticProductCatalog(std::vector<SKProduct> products) {
  for (auto& product : products) addProduct(std::move(product));
}

void SKStaticProductCatalog::addProduct(SKProduct product) {
  std::lock_guard lock(mutex_);
  products_.push_back(std::make_shared<const SKProduct>(std::move(product)));
}

void SKStaticProductCatalog::setError(std::optional<Error> error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

int SKStaticProductCatalog::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

foundation::Result<SKProductsResponse> SKStaticProductCatalog::productsWithIdentifiers(
    const std::set<std::string>& productIdentifiers) {
  std::lock_guard lock(mutex_);
  ++requests_;
  if (error_) return *error_;
  SKProductsResponse response;
  for (const auto& identifier : productIdentifiers) {
    auto found = std::find_if(products_.begin(), products_.end(),
                              [&](const SKProductPtr& product) { return product->productIdentifier == identifier; });
    if (found == products_.end()) {
      response.invalidProductIdentifiers.push_back(identifier);
    } else {
      response.products.push_back(*found);
    }
  }
  return response;
}

// ---- Products requests ----

std::shared_ptr<SKProductsRequest> SKProductsRequest::initWithProductIdentifiers(
    std::set<std::string> productIdentifiers) {
  if (productIdentifiers.empty()) return nullptr;
  return std::make_shared<SKProductsRequest>(std::move(productIdentifiers));
}

void SKProductsRequest::setDelegate(std::weak_ptr<SKProductsRequestDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void SKProductsRequest::start() {
  dispatch::Queue::global()->async([self = shared_from_this()] {
    auto catalog = productCatalog();
    foundation::Result<SKProductsResponse> answer =
        catalog ? catalog->productsWithIdentifiers(self->productIdentifiers_)
                : foundation::Result<SKProductsResponse>(
                      Error(kStoreKitErrorDomain, kStoreKitErrorUnavailable, "There is no store on this computer"));
    std::shared_ptr<SKProductsRequestDelegate> delegate;
    {
      std::lock_guard lock(self->mutex_);
      if (self->cancelled_) return;
      delegate = self->delegate_.lock();
    }
    if (!delegate) return;
    if (answer.ok()) {
      delegate->productsRequestDidReceiveResponse(*self, *answer);
    } else {
      delegate->requestDidFailWithError(*self, answer.error());
    }
  });
}

void SKProductsRequest::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
}

// ---- The ad network ----

namespace {

struct AdNetworkState {
  std::mutex mutex;
  int registrations = 0;
  std::vector<SKAdNetwork::PostbackUpdate> updates;
  std::optional<Error> nextError;
};
AdNetworkState& adNetwork() {
  static auto* s = new AdNetworkState;
  return *s;
}

}  // namespace

void SKAdNetwork::registerAppForAdNetworkAttribution() {
  std::lock_guard lock(adNetwork().mutex);
  ++adNetwork().registrations;
}

void SKAdNetwork::updatePostbackConversionValue(std::int64_t fineValue,
                                                const SKAdNetworkCoarseConversionValue& coarseValue, bool lockWindow,
                                                Completion completion) {
  std::optional<Error> error;
  {
    std::lock_guard lock(adNetwork().mutex);
    error = std::exchange(adNetwork().nextError, std::nullopt);
    if (!error) adNetwork().updates.push_back({fineValue, coarseValue, lockWindow});
  }
  if (!completion) return;
  dispatch::Queue::global()->async([completion = std::move(completion), error] { completion(error); });
}

int SKAdNetwork::registrationCount() {
  std::lock_guard lock(adNetwork().mutex);
  return adNetwork().registrations;
}

std::vector<SKAdNetwork::PostbackUpdate> SKAdNetwork::postbackUpdates() {
  std::lock_guard lock(adNetwork().mutex);
  return adNetwork().updates;
}

void SKAdNetwork::failNextUpdateWithError(Error error) {
  std::lock_guard lock(adNetwork().mutex);
  adNetwork().nextError = std::move(error);
}

void SKAdNetwork::resetForTests() {
  std::lock_guard lock(adNetwork().mutex);
  adNetwork().registrations = 0;
  adNetwork().updates.clear();
  adNetwork().nextError.reset();
}

}  // namespace store
