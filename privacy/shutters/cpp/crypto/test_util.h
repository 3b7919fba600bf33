// Hex helpers for the crypto tests.
#pragma once

#include <string>
#include <string_view>

namespace shutters::testing_util {

inline std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Unhex(std::string_view hex) {
  std::string out;
  auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1])));
  }
  return out;
}

}  // namespace shutters::testing_util
