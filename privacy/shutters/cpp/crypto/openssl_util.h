// Small helpers over OpenSSL shared by the big-number and curve classes:
// owning pointers with the right free calls, and the text of the error that
// made the last call fail.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace shutters {

struct BignumDeleter {
  // Cleared as well as freed: some numbers are secret scalars.
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
struct BnCtxDeleter {
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
struct EvpMdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct EcGroupDeleter {
  void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
struct EcPointDeleter {
  void operator()(EC_POINT* point) const { EC_POINT_clear_free(point); }
};

using BignumPtr = std::unique_ptr<BIGNUM, BignumDeleter>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxDeleter>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, EcGroupDeleter>;
using EcPointPtr = std::unique_ptr<EC_POINT, EcPointDeleter>;

// The text of the most recent error on this thread's OpenSSL error queue
// (empty queue: OpenSSL's text for "no error"), leaving the queue empty so
// that a later failure is not reported with an old error.
std::string OpenSslErrorText();

}  // namespace shutters
