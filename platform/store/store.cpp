#include "platform/store/store.h"

#include <SDL.h>

namespace store {

void DesktopProductViewController::loadProduct(std::int64_t itemIdentifier, Completion completion) {
  if (completion) {
    completion(Error{"There is no store on this computer to show product " + std::to_string(itemIdentifier)});
  }
}

std::optional<Error> openURL(const std::string& link) {
  if (SDL_OpenURL(link.c_str()) != 0) return Error{std::string("The link could not be opened: ") + SDL_GetError()};
  return std::nullopt;
}

}  // namespace store
