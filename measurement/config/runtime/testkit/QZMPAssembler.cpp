#include "measurement/config/runtime/testkit/QZMPAssembler.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include "measurement/proto/NANOFieldAccess.h"

namespace {

struct Mnemonic {
  const char* name;
  const char* opcode;
};

// One line per opcode (some have two spellings).
constexpr Mnemonic kQZMPMnemonics[] = {
    {"+", "0"},           {"&&", "1"},          {"call", "2"},          {"assign", "3"},
    {"break", "4"},       {"run", "5"},         {"continue", "6"},      {"array", "7"},
    {"map", "8"},         {"run9", "9"},        {"/", "10"},            {"==", "12"},
    {"seq", "13"},        {"get", "15"},        {"prop", "16"},         {"prop17", "17"},
    {">", "18"},          {">=", "19"},         {"===", "20"},          {"!==", "21"},
    {"if", "22"},         {"<", "23"},          {"<=", "24"},           {"%", "25"},
    {"*", "26"},          {"neg", "27"},        {"!", "28"},            {"!=", "29"},
    {"||", "30"},         {"first", "32"},      {"first33", "33"},      {"pass", "34"},
    {"pass35", "35"},     {"return", "36"},     {"-", "37"},            {"switch", "38"},
    {"?:", "39"},         {"typeof", "40"},     {"var", "41"},          {"while", "42"},
    {"setprop", "43"},    {"undefined", "44"},  {"null", "45"},         {"list", "46"},
    {"forin", "47"},      {"function", "50"},   {"fn", "51"},           {"const", "52"},
    {"block", "53"},      {"forinconst", "54"}, {"forinvar", "55"},     {"&", "56"},
    {"<<", "57"},         {"~", "58"},          {"|", "59"},            {">>", "60"},
    {">>>", "61"},        {"^", "62"},          {"for", "63"},          {"forof", "64"},
    {"forofconst", "65"}, {"forofvar", "66"},
};

// Protocol-buffer writing, just what the three messages need.
void putVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}
void putKey(std::string& out, int field, int wireType) { putVarint(out, static_cast<std::uint64_t>(field) << 3 | wireType); }
void putBytes(std::string& out, int field, std::string_view bytes) {
  putKey(out, field, 2);
  putVarint(out, bytes.size());
  out.append(bytes);
}
void putDouble(std::string& out, int field, double value) {
  putKey(out, field, 1);
  char bytes[8];
  std::memcpy(bytes, &value, 8);  // little-endian host
  out.append(bytes, 8);
}

// An entity as written, every field optional.
struct Entity {
  std::optional<std::uint32_t> type;
  std::optional<std::string> name;
  std::optional<std::string> string;
  std::optional<bool> boolean;
  std::optional<double> number;
  std::vector<Entity> arguments;

  std::string bytes() const {
    std::string out;
    if (type) {
      putKey(out, 1, 0);
      putVarint(out, *type);
    }
    for (const Entity& argument : arguments) putBytes(out, 2, argument.bytes());
    if (name) putBytes(out, 3, *name);
    if (string) putBytes(out, 4, *string);
    if (boolean) {
      putKey(out, 5, 0);
      putVarint(out, *boolean ? 1 : 0);
    }
    if (number) putDouble(out, 6, *number);
    return out;
  }
};

struct Activity {
  std::string name;
  std::vector<Entity> data;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<foundation::Error> error() const { return error_; }

  // Parses forms until the end (or a closing parenthesis when nested).
  std::vector<Entity> program(std::vector<Activity>* activities) {
    std::vector<Entity> forms;
    while (!error_) {
      skipSpace();
      if (atEnd()) break;
      if (activities && startsWith("(#activity")) {
        pos_ += std::strlen("(#activity");
        Activity activity;
        skipSpace();
        std::optional<std::string> name = quoted();
        if (!name) return fail("an activity needs a quoted rule name"), forms;
        activity.name = *name;
        activity.data = until(')');
        activities->push_back(std::move(activity));
        continue;
      }
      forms.push_back(form());
    }
    return forms;
  }

  Entity form() {
    skipSpace();
    if (atEnd()) return fail("a form is missing"), Entity{};
    const char c = text_[pos_];
    if (c == '(') return statement();
    if (c == '{') return entity();
    if (c == '"') {
      std::optional<std::string> value = quoted();
      Entity literal;
      literal.type = 1;
      literal.string = value.value_or("");
      return literal;
    }
    if (c == ')' || c == '}') return fail("unexpected closing bracket"), Entity{};
    const std::string word = token();
    if (word == "true" || word == "false") {
      Entity literal;
      literal.type = 3;
      literal.boolean = word == "true";
      return literal;
    }
    if (word == "undefined" || word == "null") {
      Entity literal;
      literal.type = 4;
      literal.name = word == "undefined" ? "44" : "45";
      return literal;
    }
    if (std::optional<double> value = number(word)) {
      Entity literal;
      literal.type = 2;
      literal.number = *value;
      return literal;
    }
    return fail("not a literal: " + word), Entity{};
  }

 private:
  Entity statement() {
    ++pos_;  // (
    skipSpace();
    Entity result;
    result.type = 4;
    if (!atEnd() && text_[pos_] == '"') {
      result.name = quoted();
    } else {
      const std::string word = token();
      if (word.empty()) return fail("a statement needs a name"), result;
      if (word[0] == '$' && word.size() > 1) {
        result.name = word.substr(1);
      } else if (word.find_first_not_of("0123456789") == std::string::npos) {
        result.name = word;
      } else if (const char* opcode = QZMPOpcodeForMnemonic(word)) {
        result.name = opcode;
      } else {
        return fail("unknown mnemonic: " + word), result;
      }
    }
    result.arguments = until(')');
    return result;
  }

  Entity entity() {
    ++pos_;  // {
    Entity result;
    while (!error_) {
      skipSpace();
      if (atEnd()) return fail("missing }"), result;
      if (text_[pos_] == '}') {
        ++pos_;
        return result;
      }
      const std::size_t save = pos_;
      const std::string word = text_[pos_] == '(' || text_[pos_] == '{' || text_[pos_] == '"' ? "" : token();
      const std::size_t equals = word.find('=');
      if (equals == std::string::npos) {
        pos_ = save;
        result.arguments.push_back(form());
        continue;
      }
      const std::string key = word.substr(0, equals);
      std::string value = word.substr(equals + 1);
      if (value.empty() && !atEnd() && text_[pos_] == '"') value = quoted().value_or("");
      if (key == "type") {
        std::uint32_t type = 0;
        const auto parsed = std::from_chars(value.data(), value.data() + value.size(), type);
        if (parsed.ec != std::errc() || parsed.ptr != value.data() + value.size()) return fail("bad type"), result;
        result.type = type;
      } else if (key == "name") {
        result.name = value;
      } else if (key == "string") {
        result.string = value;
      } else if (key == "bool") {
        result.boolean = value == "true";
      } else if (key == "number") {
        std::optional<double> parsed = number(value);
        if (!parsed) return fail("bad number: " + value), result;
        result.number = *parsed;
      } else {
        return fail("unknown entity field: " + key), result;
      }
    }
    return result;
  }

  std::vector<Entity> until(char close) {
    std::vector<Entity> forms;
    while (!error_) {
      skipSpace();
      if (atEnd()) return fail(std::string("missing ") + close), forms;
      if (text_[pos_] == close) {
        ++pos_;
        break;
      }
      forms.push_back(form());
    }
    return forms;
  }

  std::optional<std::string> quoted() {
    if (atEnd() || text_[pos_] != '"') return fail("expected a quoted string"), std::nullopt;
    ++pos_;
    std::string out;
    while (!atEnd() && text_[pos_] != '"') {
      char c = text_[pos_++];
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (atEnd()) break;
      c = text_[pos_++];
      switch (c) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'x': {
          unsigned value = 0;
          if (!hex(2, &value)) return fail("bad \\x escape"), std::nullopt;
          out.push_back(static_cast<char>(value));
          break;
        }
        case 'u': {
          unsigned unit = 0;
          if (!hex(4, &unit)) return fail("bad \\u escape"), std::nullopt;
          char32_t codePoint = unit;
          if (unit >= 0xD800 && unit <= 0xDBFF && startsWith("\\u")) {
            pos_ += 2;
            unsigned low = 0;
            if (!hex(4, &low) || low < 0xDC00 || low > 0xDFFF) return fail("unpaired surrogate"), std::nullopt;
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return fail("unpaired surrogate"), std::nullopt;
          }
          appendUTF8(out, codePoint);
          break;
        }
        default: out.push_back(c); break;
      }
    }
    if (atEnd()) return fail("unterminated string"), std::nullopt;
    ++pos_;
    return out;
  }

  bool hex(int digits, unsigned* value) {
    if (pos_ + digits > text_.size()) return false;
    const auto parsed = std::from_chars(text_.data() + pos_, text_.data() + pos_ + digits, *value, 16);
    if (parsed.ptr != text_.data() + pos_ + digits) return false;
    pos_ += digits;
    return true;
  }

  static void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  static std::optional<double> number(std::string_view word) {
    if (word == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (word == "Infinity") return std::numeric_limits<double>::infinity();
    if (word == "-Infinity") return -std::numeric_limits<double>::infinity();
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    double value = 0;
    const auto parsed = std::from_chars(word.data(), word.data() + word.size(), value);
    if (word.empty() || parsed.ec != std::errc() || parsed.ptr != word.data() + word.size()) return std::nullopt;
    return value;
  }

  // A bare word: up to white space, a bracket or a quote.
  std::string token() {
    const std::size_t start = pos_;
    while (!atEnd() && !std::strchr(" \t\r\n(){}\";", text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  void skipSpace() {
    while (!atEnd()) {
      if (text_[pos_] == ';') {
        while (!atEnd() && text_[pos_] != '\n') ++pos_;
      } else if (std::strchr(" \t\r\n", text_[pos_])) {
        ++pos_;
      } else {
        break;
      }
    }
  }

  bool atEnd() const { return pos_ >= text_.size(); }
  bool startsWith(std::string_view prefix) const { return text_.substr(pos_).starts_with(prefix); }

  void fail(const std::string& message) {
    if (error_) return;
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    error_ = foundation::Error("QZMPAssembler", 1,
                               std::to_string(line) + ":" + std::to_string(column) + ": " + message);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::optional<foundation::Error> error_;
};

template <class M>
foundation::Result<std::shared_ptr<M>> decode(const foundation::Result<std::string>& bytes) {
  if (!bytes) return bytes.error();
  std::unique_ptr<M> message =
      M::initWithBuffer({reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
  if (!message) return foundation::Error("QZMPAssembler", 2, "the message runtime refused the bytes");
  return std::shared_ptr<M>(std::move(message));
}

}  // namespace

const char* QZMPOpcodeForMnemonic(std::string_view mnemonic) {
  for (const Mnemonic& entry : kQZMPMnemonics) {
    if (mnemonic == entry.name) return entry.opcode;
  }
  return nullptr;
}

foundation::Result<std::string> QZMPAssembleEntityBytes(std::string_view text) {
  Parser parser(text);
  std::vector<Entity> forms = parser.program(nullptr);
  if (parser.error()) return *parser.error();
  if (forms.size() != 1) return foundation::Error("QZMPAssembler", 1, "expected exactly one form");
  return forms[0].bytes();
}

foundation::Result<std::string> QZMPAssembleProgramBytes(std::string_view text) {
  Parser parser(text);
  std::vector<Activity> activities;
  std::vector<Entity> forms = parser.program(&activities);
  if (parser.error()) return *parser.error();
  std::string out;
  for (const Entity& form : forms) putBytes(out, 1, form.bytes());
  if (!activities.empty()) {
    std::string list;
    for (const Activity& activity : activities) {
      std::string one;
      putBytes(one, 1, activity.name);
      for (const Entity& data : activity.data) putBytes(one, 2, data.bytes());
      putBytes(list, 1, one);
    }
    putBytes(out, 2, list);
  }
  return out;
}

foundation::Result<std::shared_ptr<QZMPBRuntimeEntity>> QZMPAssembleEntity(std::string_view text) {
  return decode<QZMPBRuntimeEntity>(QZMPAssembleEntityBytes(text));
}

foundation::Result<std::shared_ptr<QZMPBProgram>> QZMPAssembleProgram(std::string_view text) {
  return decode<QZMPBProgram>(QZMPAssembleProgramBytes(text));
}

foundation::Result<std::vector<std::shared_ptr<QZMPBRuntimeEntity>>> QZMPAssembleStatements(std::string_view text) {
  foundation::Result<std::shared_ptr<QZMPBProgram>> program = QZMPAssembleProgram(text);
  if (!program) return program.error();
  std::optional<std::vector<std::shared_ptr<QZMPBRuntimeEntity>>> statements =
      NANOGetArray<QZMPBRuntimeEntity>(program->get(), QZMPBProgram::kInstructions);
  if (!statements) return foundation::Error("QZMPAssembler", 2, "the program has no statement list");
  return std::move(*statements);
}
