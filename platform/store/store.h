// The store's product sheet, as the application uses it: load a product by
// its store item identifier, then show the sheet or fall back to the link.
// A desktop has no store, so its sheet never loads; links open in the browser.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace store {

inline constexpr const char* kStoreErrorDomain = "store";
using foundation::Error;

class ProductViewController {
 public:
  using Completion = std::function<void(std::optional<Error> error)>;
  virtual ~ProductViewController() = default;
  // Calls `completion` once, with an error when the product cannot be shown.
  virtual void loadProduct(std::int64_t itemIdentifier, Completion completion) = 0;
};

class DesktopProductViewController : public ProductViewController {
 public:
  void loadProduct(std::int64_t itemIdentifier, Completion completion) override;
};

// Opens `link` with the user's browser (through xdg-open); an error says why
// it could not, also when there is no xdg-open to hand it to.
foundation::Status openURL(const std::string& link);

}  // namespace store
