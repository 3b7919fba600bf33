#include "platform/foundation/Error.h"

#include <cstring>

namespace foundation {

std::string Error::text() const { return domain + " " + std::to_string(code) + ": " + description; }

Error posixError(int errorNumber, const std::string& what) {
  return Error(kPOSIXErrorDomain, errorNumber, what + ": " + std::strerror(errorNumber));
}

}  // namespace foundation
