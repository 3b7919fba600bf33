#include "measurement/engine/reporters/QZMInAppPurchaseProductCache.h"

#include <utility>

#include "measurement/foundation/QZMError.h"

// ---- Products request ----

void QZMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                               std::shared_ptr<dispatch::Queue> queue,
                                                               QZMProductsCompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  auto storeRequest = store::SKProductsRequest::initWithProductIdentifiers(productIdentifiers);
  if (!storeRequest) {
    queue->async([completionHandler = std::move(completionHandler)] {
      completionHandler({}, {}, qzm_errorWithCode(1, "Invalid product identifiers."));
    });
    return;
  }
  auto request = std::make_shared<QZMProductsRequest>();
  {
    std::lock_guard lock(request->mutex_);
    request->productsRequest_ = storeRequest;
    request->completionHandler_ = std::move(completionHandler);
    request->queue_ = std::move(queue);
    // Alive until the handler has run, as nobody else holds it.
    request->self_ = request;
  }
  storeRequest->setDelegate(request);
  storeRequest->start();
}

void QZMProductsRequest::productsRequestDidReceiveResponse(store::SKProductsRequest&,
                                                           const store::SKProductsResponse& response) {
  QZMProductsByIdentifier products;
  for (const auto& product : response.products) {
    if (product && !product->productIdentifier.empty()) products[product->productIdentifier] = product;
  }
  std::set<std::string> invalid(response.invalidProductIdentifiers.begin(), response.invalidProductIdentifiers.end());
  finish(std::move(products), std::move(invalid), std::nullopt);
}

void QZMProductsRequest::requestDidFailWithError(store::SKProductsRequest&, const foundation::Error& error) {
  finish({}, {}, error);
}

void QZMProductsRequest::finish(QZMProductsByIdentifier validProducts, std::set<std::string> invalidIdentifiers,
                                std::optional<foundation::Error> error) {
  std::shared_ptr<dispatch::Queue> queue;
  QZMProductsCompletionHandler handler;
  {
    std::lock_guard lock(mutex_);
    queue = queue_;
    handler = completionHandler_;
  }
  if (!queue || !handler) return;
  queue->async([self = shared_from_this(), handler = std::move(handler), validProducts = std::move(validProducts),
                invalidIdentifiers = std::move(invalidIdentifiers), error = std::move(error)] {
    handler(validProducts, invalidIdentifiers, error);
    self->clearInstance();
  });
}

void QZMProductsRequest::clearInstance() {
  std::shared_ptr<QZMProductsRequest> self;
  std::shared_ptr<store::SKProductsRequest> request;
  {
    std::lock_guard lock(mutex_);
    request = std::move(productsRequest_);
    completionHandler_ = nullptr;
    queue_.reset();
    self = std::move(self_);
  }
  // Released here, outside the lock.
}

// ---- Product cache ----

namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QZMInAppPurchaseProductCache> cache;
};
Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

}  // namespace

std::shared_ptr<QZMInAppPurchaseProductCache> QZMInAppPurchaseProductCache::sharedInstance() {
  std::lock_guard lock(shared().mutex);
  if (!shared().cache) shared().cache = std::make_shared<QZMInAppPurchaseProductCache>();
  return shared().cache;
}

void QZMInAppPurchaseProductCache::setSharedInstance(std::shared_ptr<QZMInAppPurchaseProductCache> cache) {
  std::lock_guard lock(shared().mutex);
  shared().cache = std::move(cache);
}

QZMInAppPurchaseProductCache::QZMInAppPurchaseProductCache()
    : lockQueue_(dispatch::Queue::create(kQZMProductCacheQueueLabel)) {}

store::SKProductPtr QZMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& productIdentifier) {
  store::SKProductPtr product;
  auto read = [&] {
    if (auto found = validProducts_.find(productIdentifier); found != validProducts_.end()) product = found->second;
  };
  if (lockQueue_->isCurrent()) {
    read();
  } else {
    (void)lockQueue_->sync(read);
  }
  return product;
}

std::set<std::string> QZMInAppPurchaseProductCache::invalidProductIdentifiers() {
  std::set<std::string> invalid;
  auto read = [&] { invalid = invalidProductIdentifiers_; };
  if (lockQueue_->isCurrent()) {
    read();
  } else {
    (void)lockQueue_->sync(read);
  }
  return invalid;
}

void QZMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& productIdentifiers, std::shared_ptr<dispatch::Queue> queue,
    QZMProductsCompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  QZMProductsRequest::requestProductsWithProductIdentifiers(
      productIdentifiers, lockQueue_,
      [weak = weak_from_this(), queue = std::move(queue), completionHandler = std::move(completionHandler)](
          const QZMProductsByIdentifier& validProducts, const std::set<std::string>& invalidIdentifiers,
          const std::optional<foundation::Error>& error) {
        if (auto self = weak.lock()) {
          for (const auto& [identifier, product] : validProducts) {
            self->validProducts_[identifier] = product;
            self->invalidProductIdentifiers_.erase(identifier);
          }
          for (const auto& identifier : invalidIdentifiers) {
            self->validProducts_.erase(identifier);
            self->invalidProductIdentifiers_.insert(identifier);
          }
          if (self->validProducts_.size() + self->invalidProductIdentifiers_.size() >= kQZMProductCacheLimit) {
            self->validProducts_ = validProducts;
            self->invalidProductIdentifiers_ = invalidIdentifiers;
          }
        }
        queue->async([completionHandler, validProducts, invalidIdentifiers, error] {
          completionHandler(validProducts, invalidIdentifiers, error);
        });
      });
}
