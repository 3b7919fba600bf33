#include "platform/foundation/PropertyList.h"

#include <absl/strings/escaping.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/foundation/Files.h"
#include "platform/foundation/Strings.h"

namespace foundation {
namespace {

constexpr int kMaxDepth = 256;

Error invalid(const std::string& what) { return Error(kPropertyListErrorDomain, kPropertyListInvalidObject, what); }
Error corrupt(const std::string& what, std::size_t offset) {
  return Error(kPropertyListErrorDomain, kPropertyListCorrupt,
               "property list does not parse at byte " + std::to_string(offset) + ": " + what);
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

// Dates are written as UTC ISO 8601 text; a fraction, when present, is the
// shortest decimal that reads back to the same double.
Result<std::string> formatDate(double seconds) {
  if (!std::isfinite(seconds) || seconds < -62135596800.0 || seconds >= 253402300800.0)
    return invalid("date out of the range of years 1 to 9999");
  double whole = std::floor(seconds);
  double fraction = seconds - whole;
  auto total = static_cast<std::int64_t>(whole);
  std::int64_t days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
  std::int64_t secondOfDay = total - days * 86400;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char buffer[96];  // room for any int64 fields, though the range check keeps them short
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld", static_cast<long long>(y), m, d,
                static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  std::string out = buffer;
  if (fraction != 0) {
    std::string f = formatDouble(fraction);  // "0.25" or "1e-07"
    if (f.rfind("0.", 0) == 0) {
      out += f.substr(1);
    } else {
      out += "+" + f;  // tiny fractions keep their exponent form
    }
  }
  return out + "Z";
}

bool isLeapYear(unsigned year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned daysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Exactly `count` decimal digits at `at`: no sign, no blank.
bool readDigits(std::string_view text, std::size_t at, std::size_t count, unsigned& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

bool allDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The two forms formatDate gives a fraction: ".25", or "+1e-07" and
// "+1.5e-07" for the tiny ones.
bool isWrittenFraction(std::string_view text) {
  if (text.size() >= 2 && text[0] == '.') return allDigits(text.substr(1));
  if (text.empty() || text[0] != '+') return false;
  std::string_view number = text.substr(1);
  auto e = number.find("e-");
  if (e == std::string_view::npos || !allDigits(number.substr(e + 2))) return false;
  std::string_view mantissa = number.substr(0, e);
  auto dot = mantissa.find('.');
  if (dot == std::string_view::npos) return allDigits(mantissa);
  return dot == 1 && allDigits(mantissa.substr(0, 1)) && allDigits(mantissa.substr(2));
}

std::optional<double> parseDate(std::string_view text) {
  unsigned year, month, day, hour, minute, second;
  if (text.size() < 20 || text.back() != 'Z' || !readDigits(text, 0, 4, year) || text[4] != '-' ||
      !readDigits(text, 5, 2, month) || text[7] != '-' || !readDigits(text, 8, 2, day) || text[10] != 'T' ||
      !readDigits(text, 11, 2, hour) || text[13] != ':' || !readDigits(text, 14, 2, minute) || text[16] != ':' ||
      !readDigits(text, 17, 2, second)) {
    return std::nullopt;
  }
  // The writer counts no leap seconds, so 60 is never a second it wrote.
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(19, text.size() - 20);
  double fraction = 0;
  if (!rest.empty()) {
    if (!isWrittenFraction(rest)) return std::nullopt;
    std::string f = rest[0] == '.' ? "0" + std::string(rest) : std::string(rest.substr(1));
    auto r = std::from_chars(f.data(), f.data() + f.size(), fraction);
    if (r.ec != std::errc() || r.ptr != f.data() + f.size() || !(fraction >= 0 && fraction < 1)) return std::nullopt;
  }
  std::int64_t total = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  double seconds = static_cast<double>(total) + fraction;
  // A fraction can round the sum past the last instant the writer takes.
  if (!formatDate(seconds)) return std::nullopt;
  return seconds;
}

void escapeText(std::string& out, std::string_view text) {
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default:
        // Control characters have no literal form that survives every reader.
        if (c < 0x20 && c != '\t' && c != '\n') {
          out += "&#" + std::to_string(c) + ";";
        } else {
          out += ch;
        }
    }
  }
}

Status encode(std::string& out, const Object& object, int depth, int indent) {
  if (depth > kMaxDepth) return invalid("nesting deeper than " + std::to_string(kMaxDepth));
  std::string pad(static_cast<std::size_t>(indent), '\t');
  out += pad;
  switch (object.kind()) {
    case Object::Kind::null: return invalid("null has no property-list form");
    case Object::Kind::boolean: out += object.boolValue() ? "<true/>\n" : "<false/>\n"; return {};
    case Object::Kind::integer: out += "<integer>" + std::to_string(object.int64Value()) + "</integer>\n"; return {};
    case Object::Kind::floating: {
      double v = object.doubleValue();
      std::string text = std::isnan(v) ? "nan" : std::isinf(v) ? (v > 0 ? "+infinity" : "-infinity") : formatDouble(v);
      out += "<real>" + text + "</real>\n";
      return {};
    }
    case Object::Kind::string:
      if (!isValidUTF8(*object.string())) return invalid("string is not valid UTF-8");
      out += "<string>";
      escapeText(out, *object.string());
      out += "</string>\n";
      return {};
    case Object::Kind::data: {
      const Data& d = *object.data();
      out += "<data>" + absl::Base64Escape(absl::string_view(reinterpret_cast<const char*>(d.data()), d.size())) +
             "</data>\n";
      return {};
    }
    case Object::Kind::date: {
      auto text = formatDate(object.date()->secondsSince1970);
      if (!text) return text.error();
      out += "<date>" + *text + "</date>\n";
      return {};
    }
    case Object::Kind::array:
      if (object.array()->empty()) {
        out += "<array/>\n";
        return {};
      }
      out += "<array>\n";
      for (const auto& item : *object.array())
        if (auto s = encode(out, item, depth + 1, indent + 1); !s) return s;
      out += pad + "</array>\n";
      return {};
    case Object::Kind::dictionary:
      if (object.dictionary()->empty()) {
        out += "<dict/>\n";
        return {};
      }
      out += "<dict>\n";
      for (const auto& [key, item] : *object.dictionary()) {
        if (!isValidUTF8(key)) return invalid("dictionary key is not valid UTF-8");
        out += pad + "\t<key>";
        escapeText(out, key);
        out += "</key>\n";
        if (auto s = encode(out, item, depth + 1, indent + 1); !s) return s;
      }
      out += pad + "</dict>\n";
      return {};
  }
  return invalid("unknown kind");
}

// A small reader for the XML that encode writes (and the common plist dialect):
// prolog, comments, elements without attributes of interest, entities.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<Object> document() {
    skipMisc(true);
    auto tag = openTag();
    if (!tag) return tag.error();
    Result<Object> root = Error();
    if (tag->name == "plist") {
      if (tag->selfClosing) return corrupt("empty plist", pos_);
      skipMisc(false);
      root = value(0);
      if (!root) return root;
      skipMisc(false);
      if (!closeTag("plist")) return corrupt("expected </plist>", pos_);
    } else {
      // A bare value without the plist wrapper.
      root = valueFor(*tag, 0);
      if (!root) return root;
    }
    skipMisc(false);
    if (pos_ != text_.size()) return corrupt("text after the root element", pos_);
    return root;
  }

 private:
  struct Tag {
    std::string name;
    bool selfClosing = false;
  };

  void skipSpace() {
    while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) && text_[pos_] != '\0') ++pos_;
  }

  // Whitespace, comments and (in the prolog) declarations.
  void skipMisc(bool prolog) {
    for (;;) {
      skipSpace();
      if (text_.compare(pos_, 4, "<!--") == 0) {
        auto end = text_.find("-->", pos_ + 4);
        pos_ = end == std::string_view::npos ? text_.size() : end + 3;
      } else if (prolog && (text_.compare(pos_, 2, "<?") == 0 || text_.compare(pos_, 2, "<!") == 0)) {
        auto end = text_.find('>', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        return;
      }
    }
  }

  Result<Tag> openTag() {
    if (pos_ >= text_.size() || text_[pos_] != '<') return corrupt("expected an element", pos_);
    auto end = text_.find('>', pos_);
    if (end == std::string_view::npos) return corrupt("unterminated element", pos_);
    std::string_view inside = text_.substr(pos_ + 1, end - pos_ - 1);
    if (inside.empty() || inside[0] == '/') return corrupt("expected an element", pos_);
    Tag tag;
    if (inside.back() == '/') {
      tag.selfClosing = true;
      inside.remove_suffix(1);
    }
    auto space = inside.find_first_of(" \t\r\n");
    tag.name = std::string(inside.substr(0, space));
    pos_ = end + 1;
    return tag;
  }

  bool closeTag(std::string_view name) {
    skipSpaceAndComments();
    std::string expected = "</" + std::string(name);
    if (text_.compare(pos_, expected.size(), expected) != 0) return false;
    std::size_t p = pos_ + expected.size();
    while (p < text_.size() && std::strchr(" \t\r\n", text_[p]) && text_[p] != '\0') ++p;
    if (p >= text_.size() || text_[p] != '>') return false;
    pos_ = p + 1;
    return true;
  }

  void skipSpaceAndComments() { skipMisc(false); }

  // Character data up to the next '<', with entities decoded.
  Result<std::string> characters() {
    std::string out;
    while (pos_ < text_.size() && text_[pos_] != '<') {
      char c = text_[pos_];
      if (c != '&') {
        out += c;
        ++pos_;
        continue;
      }
      auto semi = text_.find(';', pos_);
      if (semi == std::string_view::npos || semi - pos_ > 12) return corrupt("bad entity", pos_);
      std::string_view name = text_.substr(pos_ + 1, semi - pos_ - 1);
      if (name == "amp") out += '&';
      else if (name == "lt") out += '<';
      else if (name == "gt") out += '>';
      else if (name == "quot") out += '"';
      else if (name == "apos") out += '\'';
      else if (name.size() > 1 && name[0] == '#') {
        bool hex = name[1] == 'x' || name[1] == 'X';
        std::string_view digits = name.substr(hex ? 2 : 1);
        std::uint32_t cp = 0;
        auto r = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
        if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
          return corrupt("bad character reference", pos_);
        appendUTF8(out, cp);
      } else {
        return corrupt("unknown entity", pos_);
      }
      pos_ = semi + 1;
    }
    return out;
  }

  Result<std::string> textElement(const Tag& tag) {
    if (tag.selfClosing) return std::string();
    auto text = characters();
    if (!text) return text;
    if (!closeTag(tag.name)) return corrupt("expected </" + tag.name + ">", pos_);
    return text;
  }

  Result<Object> value(int depth) {
    auto tag = openTag();
    if (!tag) return tag.error();
    return valueFor(*tag, depth);
  }

  Result<Object> valueFor(const Tag& tag, int depth) {
    if (depth > kMaxDepth) return corrupt("nesting deeper than " + std::to_string(kMaxDepth), pos_);
    const std::string& n = tag.name;
    if (n == "true" || n == "false") {
      if (!tag.selfClosing && !closeTag(n)) return corrupt("expected </" + n + ">", pos_);
      return Object(n == "true");
    }
    if (n == "dict") return dictionary(tag, depth);
    if (n == "array") return array(tag, depth);
    std::size_t at = pos_;
    auto text = textElement(tag);
    if (!text) return text.error();
    if (n == "string") {
      if (!isValidUTF8(*text)) return corrupt("string is not valid UTF-8", at);
      return Object(std::move(*text));
    }
    if (n == "integer") {
      std::string t = trimmed(*text);
      std::int64_t v = 0;
      const char* begin = t.data() + (t.size() > 1 && t[0] == '+' ? 1 : 0);
      auto r = std::from_chars(begin, t.data() + t.size(), v);
      if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
        return corrupt("integer \"" + t + "\" is not a signed 64-bit number", at);
      return Object(v);
    }
    if (n == "real") {
      std::string t = trimmed(*text);
      if (t == "nan") return Object(std::nan(""));
      if (t == "+infinity" || t == "inf" || t == "+inf") return Object(HUGE_VAL);
      if (t == "-infinity" || t == "-inf") return Object(-HUGE_VAL);
      double v = 0;
      const char* begin = t.data() + (t.size() > 1 && t[0] == '+' ? 1 : 0);
      auto r = std::from_chars(begin, t.data() + t.size(), v);
      if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
        return corrupt("real \"" + t + "\" is not a number", at);
      return Object(v);
    }
    if (n == "date") {
      auto seconds = parseDate(trimmed(*text));
      if (!seconds) return corrupt("date \"" + *text + "\" is no ISO 8601 UTC instant of years 1 to 9999", at);
      return Object(Date{*seconds});
    }
    if (n == "data") {
      std::string compact;
      for (char c : *text)
        if (!std::strchr(" \t\r\n", c) || c == '\0') compact += c;
      std::string bytes;
      if (!absl::Base64Unescape(compact, &bytes)) return corrupt("data is not Base64", at);
      return Object(Data(bytes.begin(), bytes.end()));
    }
    return corrupt("unknown element <" + n + ">", at);
  }

  Result<Object> dictionary(const Tag& tag, int depth) {
    Dictionary d;
    if (tag.selfClosing) return Object(std::move(d));
    for (;;) {
      skipSpaceAndComments();
      if (closeTag("dict")) return Object(std::move(d));
      auto keyTag = openTag();
      if (!keyTag) return keyTag.error();
      if (keyTag->name != "key") return corrupt("expected <key> in <dict>", pos_);
      std::size_t at = pos_;
      auto key = textElement(*keyTag);
      if (!key) return key.error();
      if (!isValidUTF8(*key)) return corrupt("key is not valid UTF-8", at);
      skipSpaceAndComments();
      auto item = value(depth + 1);
      if (!item) return item;
      d.insert_or_assign(std::move(*key), std::move(*item));
    }
  }

  Result<Object> array(const Tag& tag, int depth) {
    Array a;
    if (tag.selfClosing) return Object(std::move(a));
    for (;;) {
      skipSpaceAndComments();
      if (closeTag("array")) return Object(std::move(a));
      auto item = value(depth + 1);
      if (!item) return item;
      a.push_back(std::move(*item));
    }
  }

  static std::string trimmed(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

Error tooLarge(std::size_t length) {
  return Error(kPropertyListErrorDomain, kPropertyListTooLarge,
               "property list of " + std::to_string(length) + " bytes is longer than the limit of " +
                   std::to_string(kPropertyListMaxLength));
}

}  // namespace

Result<std::string> encodePropertyList(const Object& object) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  if (auto s = encode(out, object, 0, 0); !s) return s.error();
  out += "</plist>\n";
  if (out.size() > kPropertyListMaxLength) return tooLarge(out.size());
  return out;
}

Result<Object> decodePropertyList(std::string_view text) {
  if (text.size() > kPropertyListMaxLength) return tooLarge(text.size());
  auto object = Reader(text).document();
  // The writer indents every line and spells out control characters, so a
  // long text may read into a value whose text would be too long to write:
  // a file that could be read but never saved again. Short texts cannot
  // grow that much (a line at the deepest level grows about 40 times).
  constexpr std::size_t kMostGrowth = 40;
  if (object && text.size() > kPropertyListMaxLength / kMostGrowth) {
    if (auto again = encodePropertyList(*object); !again) return again.error();
  }
  return object;
}

Result<Object> readPropertyListFile(const std::string& path) {
  auto bytes = readFile(path, kPropertyListMaxLength);
  if (!bytes) {
    bool large = bytes.error().domain == kPOSIXErrorDomain && bytes.error().code == EFBIG;
    return Error(kPropertyListErrorDomain, large ? kPropertyListTooLarge : kPropertyListUnreadable,
                 bytes.error().description);
  }
  auto object = decodePropertyList(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!object) {
    Error e = object.error();
    e.description = path + ": " + e.description;
    return e;
  }
  return object;
}

Result<Dictionary> readPropertyListDictionary(const std::string& path) {
  auto object = readPropertyListFile(path);
  if (!object) return object.error();
  if (!object->isDictionary())
    return Error(kPropertyListErrorDomain, kPropertyListWrongRoot, path + ": the root is not a dictionary");
  return std::move(*object->dictionary());
}

Status writePropertyListFile(const std::string& path, const Object& object, int mode) {
  auto text = encodePropertyList(object);
  if (!text) return text.error();
  if (auto written = writeFileAtomically(path, *text, mode); !written)
    return Error(kPropertyListErrorDomain, kPropertyListNotWritten, written.error().description);
  return {};
}

}  // namespace foundation
