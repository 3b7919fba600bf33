// Product information for purchase reports. QZMProductsRequest asks the store
// once and reports on a queue of the caller's choosing; the product cache
// keeps what the store answered, by product identifier, for the process.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/store/StoreKit.h"

inline constexpr const char* kQZMProductCacheQueueLabel = "com.dralix.dxv.measurement.iap-cache";
// The two collections are started afresh when they reach this many entries.
inline constexpr std::size_t kQZMProductCacheLimit = 101;

using QZMProductsByIdentifier = std::map<std::string, store::SKProductPtr>;
// Valid products by identifier, the identifiers the store did not know, and
// the store's error.
using QZMProductsCompletionHandler =
    std::function<void(const QZMProductsByIdentifier& validProducts, const std::set<std::string>& invalidIdentifiers,
                       const std::optional<foundation::Error>& error)>;

class QZMProductsRequest : public store::SKProductsRequestDelegate,
                           public std::enable_shared_from_this<QZMProductsRequest> {
 public:
  // The handler runs once, asynchronously on the queue; nothing happens
  // without a queue or a handler. A request the store cannot make answers
  // error 1, "Invalid product identifiers.".
  static void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                    std::shared_ptr<dispatch::Queue> queue,
                                                    QZMProductsCompletionHandler completionHandler);

  void productsRequestDidReceiveResponse(store::SKProductsRequest& request,
                                         const store::SKProductsResponse& response) override;
  void requestDidFailWithError(store::SKProductsRequest& request, const foundation::Error& error) override;

 private:
  void finish(QZMProductsByIdentifier validProducts, std::set<std::string> invalidIdentifiers,
              std::optional<foundation::Error> error);
  // Drops the request, the handler and the queue, and with them the
  // object's hold on itself.
  void clearInstance();

  std::mutex mutex_;
  std::shared_ptr<store::SKProductsRequest> productsRequest_;
  QZMProductsCompletionHandler completionHandler_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::shared_ptr<QZMProductsRequest> self_;
};

class QZMInAppPurchaseProductCache : public std::enable_shared_from_this<QZMInAppPurchaseProductCache> {
 public:
  static std::shared_ptr<QZMInAppPurchaseProductCache> sharedInstance();
  // nullptr makes a new empty one at the next sharedInstance().
  static void setSharedInstance(std::shared_ptr<QZMInAppPurchaseProductCache> cache);

  QZMInAppPurchaseProductCache();

  // nullptr when the store's answer did not hold it.
  store::SKProductPtr cachedProductForProductIdentifier(const std::string& productIdentifier);
  // Asks the store and keeps its answer; the handler then gets this
  // response, asynchronously on the queue. Nothing without queue or handler.
  void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                             std::shared_ptr<dispatch::Queue> queue,
                                             QZMProductsCompletionHandler completionHandler);

  std::set<std::string> invalidProductIdentifiers();

 private:
  const std::shared_ptr<dispatch::Queue> lockQueue_;
  // Touched on the lock queue only.
  std::set<std::string> invalidProductIdentifiers_;
  QZMProductsByIdentifier validProducts_;
};
