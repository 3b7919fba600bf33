// The interpreter's strings: immutable sequences of UTF-16 code units (what
// the language's lengths and indexes count), held in one allocation with a
// hash computed on first use. Text from the host arrives as UTF-8 and leaves
// as UTF-8; ill-formed sequences either way become U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "measurement/config/runtime/QZMPError.h"
#include "measurement/config/runtime/QZMPObject.h"

// The longest string a program can make, in code units.
inline constexpr std::size_t kQZMPMaxStringLength = std::size_t{1} << 22;
// Text work charged as one instruction: a program that copies, scans or
// compares long strings pays for it, so no run outlasts its budget by much.
// Shorter texts are free.
inline constexpr std::size_t kQZMPCodeUnitsPerInstruction = 64;

class QZMPStringValue final : public QZMPObject {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::string;

  static QZMPRef<QZMPStringValue> withUTF16(std::u16string_view text);
  static QZMPRef<QZMPStringValue> withUTF8(std::string_view text);
  // Every byte must be ASCII (number formatting, fixed names).
  static QZMPRef<QZMPStringValue> withASCII(std::string_view text);
  static QZMPRef<QZMPStringValue> empty();
  // Text a program makes: beyond kQZMPMaxStringLength sets code 20 and gives
  // the empty string.
  static QZMPRef<QZMPStringValue> withUTF16(std::u16string_view text, QZMPError& error);
  static QZMPRef<QZMPStringValue> concatenate(std::u16string_view first, std::u16string_view second,
                                              QZMPError& error);

  std::u16string_view view() const { return {data(), length_}; }
  std::size_t length() const { return length_; }
  std::uint32_t hash() const { return hash_ != 0 ? hash_ : computeHash(); }
  std::string utf8() const;

  bool equals(const QZMPStringValue& other) const;
  bool equals(std::u16string_view text) const { return view() == text; }
  // Empty, or white space and line breaks only.
  bool isBlank() const;

  static void operator delete(void* memory);

 private:
  explicit QZMPStringValue(std::size_t length) : length_(static_cast<std::uint32_t>(length)) {}
  ~QZMPStringValue() override = default;
  static QZMPStringValue* allocate(std::size_t length);
  std::uint32_t computeHash() const;
  char16_t* data() { return reinterpret_cast<char16_t*>(this + 1); }
  const char16_t* data() const { return reinterpret_cast<const char16_t*>(this + 1); }

  std::uint32_t length_;
  mutable std::uint32_t hash_ = 0;  // 0 until computed
};

// The Unicode white-space and line-break set (categories Zs, Zl, Zp, the
// controls U+0009 to U+000D and U+0085).
bool QZMPIsWhiteSpace(char16_t unit);
std::u16string_view QZMPTrimWhiteSpace(std::u16string_view text);

// Seeded anew in every process: a program cannot aim names at one hash.
std::uint32_t QZMPHashUTF16(std::u16string_view text);
std::u16string QZMPUTF16FromUTF8(std::string_view text);
std::string QZMPUTF8FromUTF16(std::u16string_view text);
