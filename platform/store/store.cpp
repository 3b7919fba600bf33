#include "platform/store/store.h"

#include <SDL.h>

namespace store {

void DesktopProductViewController::loadProduct(std::int64_t itemIdentifier, Completion completion) {
  if (completion) {
    completion(Error(kStoreErrorDomain, 1,
                     "There is no store on this computer to show product " + std::to_string(itemIdentifier)));
  }
}

foundation::Status openURL(const std::string& link) {
  if (SDL_OpenURL(link.c_str()) != 0) {
    return Error(kStoreErrorDomain, 2, std::string("The link could not be opened: ") + SDL_GetError());
  }
  return {};
}

}  // namespace store
