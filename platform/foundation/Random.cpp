#include "platform/foundation/Random.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace foundation {

namespace {

// By default OpenSSL frees its state in an exit handler, and a worker that
// starts TLS or hashes while the program ends then finds it half gone. It
// keeps its state instead: this runs before main, ahead of any other use.
const bool kOpenSSLKeptUntilTheEnd = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

}  // namespace

Result<Data> secureRandomBytes(std::size_t count) {
  Data out(count);
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t n = ::getrandom(out.data() + filled, count - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return posixError(errno, "no secure random bytes");
    }
    filled += static_cast<std::size_t>(n);
  }
  return out;
}

Result<std::uint64_t> secureRandomUInt64() {
  auto bytes = secureRandomBytes(8);
  if (!bytes) return bytes.error();
  std::uint64_t v;
  std::memcpy(&v, bytes->data(), sizeof v);
  return v;
}

std::array<std::uint8_t, 16> md5(const void* bytes, std::size_t length) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int size = 0;
  EVP_Digest(bytes, length, digest.data(), &size, EVP_md5(), nullptr);
  return digest;
}

std::string hexString(const std::uint8_t* bytes, std::size_t length) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 15];
  }
  return out;
}

Result<UUID> UUID::random() {
  auto bytes = secureRandomBytes(16);
  if (!bytes) return bytes.error();
  std::array<std::uint8_t, 16> b;
  std::memcpy(b.data(), bytes->data(), 16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return UUID(b);
}

std::optional<UUID> UUID::fromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> b{};
  std::size_t j = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    b[j++] = static_cast<std::uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return UUID(b);
}

std::string UUID::uuidString() const {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += hex[bytes_[i] >> 4];
    out += hex[bytes_[i] & 15];
  }
  return out;
}

}  // namespace foundation
