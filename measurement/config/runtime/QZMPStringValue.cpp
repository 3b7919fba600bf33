#include "measurement/config/runtime/QZMPStringValue.h"

#include <cassert>
#include <cstring>
#include <new>
#include <utility>

#include <absl/hash/hash.h>

QZMPStringValue* QZMPStringValue::allocate(std::size_t length) {
  void* memory = ::operator new(sizeof(QZMPStringValue) + (length + 1) * sizeof(char16_t));
  auto* string = new (memory) QZMPStringValue(length);
  string->data()[length] = u'\0';
  return string;
}

void QZMPStringValue::operator delete(void* memory) { ::operator delete(memory); }

QZMPRef<QZMPStringValue> QZMPStringValue::withUTF16(std::u16string_view text) {
  QZMPStringValue* string = allocate(text.size());
  if (!text.empty()) std::memcpy(string->data(), text.data(), text.size() * sizeof(char16_t));
  return QZMPRef<QZMPStringValue>(string);
}

QZMPRef<QZMPStringValue> QZMPStringValue::withUTF8(std::string_view text) {
  return withUTF16(QZMPUTF16FromUTF8(text));
}

QZMPRef<QZMPStringValue> QZMPStringValue::withASCII(std::string_view text) {
  QZMPStringValue* string = allocate(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    assert(static_cast<unsigned char>(text[i]) < 0x80);
    string->data()[i] = static_cast<char16_t>(text[i]);
  }
  return QZMPRef<QZMPStringValue>(string);
}

QZMPRef<QZMPStringValue> QZMPStringValue::empty() { return withUTF16({}); }

QZMPRef<QZMPStringValue> QZMPStringValue::withUTF16(std::u16string_view text, QZMPError& error) {
  if (text.size() > kQZMPMaxStringLength) {
    error.set(QZMPGlintErrorTooLarge);
    return empty();
  }
  return withUTF16(text);
}

QZMPRef<QZMPStringValue> QZMPStringValue::concatenate(std::u16string_view first, std::u16string_view second,
                                                      QZMPError& error) {
  if (first.size() + second.size() > kQZMPMaxStringLength) {
    error.set(QZMPGlintErrorTooLarge);
    return empty();
  }
  QZMPStringValue* string = allocate(first.size() + second.size());
  if (!first.empty()) std::memcpy(string->data(), first.data(), first.size() * sizeof(char16_t));
  if (!second.empty()) std::memcpy(string->data() + first.size(), second.data(), second.size() * sizeof(char16_t));
  return QZMPRef<QZMPStringValue>(string);
}

std::uint32_t QZMPStringValue::computeHash() const {
  hash_ = QZMPHashUTF16(view());
  return hash_;
}

std::string QZMPStringValue::utf8() const { return QZMPUTF8FromUTF16(view()); }

bool QZMPStringValue::equals(const QZMPStringValue& other) const {
  if (this == &other) return true;
  if (length_ != other.length_) return false;
  if (hash_ != 0 && other.hash_ != 0 && hash_ != other.hash_) return false;
  return std::memcmp(data(), other.data(), length_ * sizeof(char16_t)) == 0;
}

bool QZMPStringValue::isBlank() const { return QZMPTrimWhiteSpace(view()).empty(); }

bool QZMPIsWhiteSpace(char16_t unit) {
  if (unit <= 0x20) return unit == 0x20 || (unit >= 0x09 && unit <= 0x0D);
  switch (unit) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return unit >= 0x2000 && unit <= 0x200A;
  }
}

std::u16string_view QZMPTrimWhiteSpace(std::u16string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && QZMPIsWhiteSpace(text[begin])) ++begin;
  while (end > begin && QZMPIsWhiteSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

namespace {

// Code units as absl hashes a text. Its hash is seeded anew in every
// process, so a program cannot work out offline names that collide.
struct HashedUnits {
  std::u16string_view units;

  template <class State>
  friend State AbslHashValue(State state, const HashedUnits& text) {
    return State::combine(State::combine_contiguous(std::move(state), text.units.data(), text.units.size()),
                          text.units.size());
  }
};

}  // namespace

std::uint32_t QZMPHashUTF16(std::u16string_view text) {
  const std::uint64_t full = absl::Hash<HashedUnits>{}(HashedUnits{text});
  // Both halves, so the index's low bits and the filter's high bits each
  // see all of it; never 0, which marks "not computed".
  const auto hash = static_cast<std::uint32_t>(full ^ (full >> 32));
  return hash == 0 ? 1 : hash;
}

std::u16string QZMPUTF16FromUTF8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // Length of the sequence and the smallest code point it may spell, so
    // that overlong forms are refused.
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    }
    std::size_t used = 1;
    bool valid = length != 0;
    while (valid && used < length) {
      if (i + used >= size || (bytes[i + used] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      codePoint = (codePoint << 6) | (bytes[i + used] & 0x3F);
      ++used;
    }
    if (valid && (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      // One replacement for the maximal invalid prefix.
      out.push_back(0xFFFD);
      i += used;
      continue;
    }
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(codePoint));
    }
    i += length;
  }
  return out;
}

std::string QZMPUTF8FromUTF16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t codePoint = text[i];
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
      codePoint = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (codePoint < 0x80) {
      out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
      out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
      out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
      out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
  }
  return out;
}
