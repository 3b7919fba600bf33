#include "platform/store/store.h"

#include <SDL.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace store {
namespace {

// The program SDL hands links to. SDL starts it from a child process and
// answers success whether or not it exists, so it is looked for first, along
// the same search path.
constexpr const char* kOpener = "xdg-open";

bool openerFound() {
  const char* path = std::getenv("PATH");
  // What exec uses when there is no PATH.
  std::string_view directories = path != nullptr ? path : "/bin:/usr/bin";
  while (true) {
    const std::size_t colon = directories.find(':');
    std::string_view directory = directories.substr(0, colon);
    const std::string candidate = (directory.empty() ? std::string(".") : std::string(directory)) + "/" + kOpener;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
      return true;
    }
    if (colon == std::string_view::npos) return false;
    directories.remove_prefix(colon + 1);
  }
}

}  // namespace

void DesktopProductViewController::loadProduct(std::int64_t itemIdentifier, Completion completion) {
  if (completion) {
    completion(Error(kStoreErrorDomain, 1,
                     "There is no store on this computer to show product " + std::to_string(itemIdentifier)));
  }
}

foundation::Status openURL(const std::string& link) {
  if (!openerFound()) {
    return Error(kStoreErrorDomain, 3,
                 "The link " + link + " could not be opened: there is no " + kOpener + " on the PATH to open it with");
  }
  if (SDL_OpenURL(link.c_str()) != 0) {
    return Error(kStoreErrorDomain, 2, "The link " + link + " could not be opened: " + SDL_GetError());
  }
  return {};
}

}  // namespace store
