#include "privacy/shutters/cpp/crypto/openssl_util.h"

#include <openssl/err.h>

namespace shutters {

std::string OpenSslErrorText() {
  char text[256];
  ERR_error_string_n(ERR_peek_last_error(), text, sizeof(text));
  ERR_clear_error();
  return text;
}

}  // namespace shutters
