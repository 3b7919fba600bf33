#include "platform/foundation/JSON.h"

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/foundation/Files.h"

namespace foundation {
namespace {

constexpr std::size_t kMaxDepth = 512;

// Builds Objects straight from the parser's events, refusing deep nesting
// before it can exhaust the stack.
class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  Object result;
  std::string error;

  bool null() override { return add(Object()); }
  bool boolean(bool v) override { return add(Object(v)); }
  bool number_integer(number_integer_t v) override { return add(Object(static_cast<std::int64_t>(v))); }
  bool number_unsigned(number_unsigned_t v) override {
    if (v <= static_cast<number_unsigned_t>(INT64_MAX)) return add(Object(static_cast<std::int64_t>(v)));
    return add(Object(static_cast<double>(v)));
  }
  // A number beyond the range of a double reads as an infinity, which JSON
  // has no text for.
  bool number_float(number_float_t v, const string_t&) override {
    if (!std::isfinite(v)) return fail("number out of range");
    return add(Object(v));
  }
  bool string(string_t& v) override { return add(Object(std::move(v))); }
  bool binary(binary_t&) override { return fail("binary values are not JSON"); }
  bool start_object(std::size_t) override { return open(Object(Dictionary{})); }
  bool key(string_t& k) override {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Object(Array{})); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    return fail(e.what());
  }

 private:
  bool fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }
  bool add(Object value) {
    if (stack_.empty()) {
      result = std::move(value);
      return true;
    }
    Object& top = stack_.back();
    if (top.isArray()) {
      top.array()->push_back(std::move(value));
    } else {
      top.dictionary()->insert_or_assign(keys_.back(), std::move(value));
    }
    return true;
  }
  bool open(Object container) {
    if (stack_.size() >= kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth));
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool close() {
    Object done = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return add(std::move(done));
  }

  std::vector<Object> stack_;
  std::vector<std::string> keys_;
};

Result<nlohmann::json> toJSON(const Object& object, std::size_t depth) {
  if (depth > kMaxDepth) return Error(kJSONErrorDomain, kJSONInvalidObject, "nesting too deep");
  switch (object.kind()) {
    case Object::Kind::null: return nlohmann::json(nullptr);
    case Object::Kind::boolean: return nlohmann::json(object.boolValue());
    case Object::Kind::integer: return nlohmann::json(object.int64Value());
    case Object::Kind::floating: {
      double v = object.doubleValue();
      if (!std::isfinite(v)) return Error(kJSONErrorDomain, kJSONInvalidObject, "NaN and infinities are not JSON");
      return nlohmann::json(v);
    }
    case Object::Kind::string: return nlohmann::json(*object.string());
    case Object::Kind::data: return Error(kJSONErrorDomain, kJSONInvalidObject, "data has no JSON form");
    case Object::Kind::date: return Error(kJSONErrorDomain, kJSONInvalidObject, "dates have no JSON form");
    case Object::Kind::array: {
      auto out = nlohmann::json::array();
      for (const auto& item : *object.array()) {
        auto j = toJSON(item, depth + 1);
        if (!j) return j;
        out.push_back(std::move(*j));
      }
      return out;
    }
    case Object::Kind::dictionary: {
      auto out = nlohmann::json::object();
      for (const auto& [key, item] : *object.dictionary()) {
        auto j = toJSON(item, depth + 1);
        if (!j) return j;
        out[key] = std::move(*j);
      }
      return out;
    }
  }
  return Error(kJSONErrorDomain, kJSONInvalidObject, "unknown kind");
}

Error tooLarge(std::size_t length) {
  return Error(kJSONErrorDomain, kJSONTooLarge,
               "JSON text of " + std::to_string(length) + " bytes is longer than the limit of " +
                   std::to_string(kJSONMaxLength));
}

}  // namespace

Result<Object> parseJSON(std::string_view text) {
  if (text.size() > kJSONMaxLength) return tooLarge(text.size());
  Builder builder;
  bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                                      /*strict=*/true);
  if (!ok) return Error(kJSONErrorDomain, kJSONCorrupt, builder.error.empty() ? "invalid JSON" : builder.error);
  return std::move(builder.result);
}

Result<std::string> serializeJSON(const Object& object, bool pretty) {
  auto j = toJSON(object, 0);
  if (!j) return j.error();
  try {
    return j->dump(pretty ? 2 : -1);
  } catch (const nlohmann::json::exception& e) {
    return Error(kJSONErrorDomain, kJSONInvalidObject, e.what());
  }
}

Result<Object> readJSONFile(const std::string& path) {
  auto bytes = readFile(path, kJSONMaxLength);
  if (!bytes) {
    bool large = bytes.error().domain == kPOSIXErrorDomain && bytes.error().code == EFBIG;
    return Error(kJSONErrorDomain, large ? kJSONTooLarge : kJSONUnreadable, bytes.error().description);
  }
  auto object = parseJSON(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!object) return Error(kJSONErrorDomain, kJSONCorrupt, path + ": " + object.error().description);
  return object;
}

Status writeJSONFile(const std::string& path, const Object& object) {
  auto text = serializeJSON(object, true);
  if (!text) return text.error();
  if (text->size() > kJSONMaxLength) return tooLarge(text->size());
  if (auto written = writeFileAtomically(path, *text); !written)
    return Error(kJSONErrorDomain, kJSONNotWritten, written.error().description);
  return {};
}

}  // namespace foundation
