#include "measurement/proto/NANOTestRecords.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "measurement/proto/NANODecodeArena.h"
#include "measurement/proto/NANOFieldHelpers.h"

namespace {

constexpr int64_t kInt64s[] = {-1, 0, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                               1700000000123};
constexpr int32_t kInt32s[] = {-1, 0, 1, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                               300};
constexpr uint32_t kUInt32s[] = {0, 1, 127, 128, std::numeric_limits<uint32_t>::max()};
constexpr uint64_t kUInt64s[] = {0, 1, std::numeric_limits<uint64_t>::max(), uint64_t{1} << 63, 300};
constexpr float kFloats[] = {1.5f, -0.25f, 0.0f, 3.40282347e38f, 1e-30f};
constexpr double kDoubles[] = {0.1, -2.5, 0.0, 1e300, -4.9406564584124654e-324};
const std::string kStrings[] = {"", "a", "h\xC3\xA9llo \"quoted\" \\ back\nline", "\xF0\x9F\x8C\x8A wave",
                                std::string(200, 'x')};

template <class T, size_t N>
T pick(const T (&table)[N], unsigned key) {
  return table[key % N];
}

void fillScalar(NANOFieldFlags flags, void** slot, unsigned key) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: NANOSetBoolValue(slot, key % 2 == 0); break;
    case NANOFieldEnum:
    case NANOFieldUInt32: NANOSetUInt32Value(slot, pick(kUInt32s, key)); break;
    case NANOFieldInt32: NANOSetUInt32Value(slot, static_cast<uint32_t>(pick(kInt32s, key))); break;
    case NANOFieldInt64: NANOSetUInt64Value(slot, static_cast<uint64_t>(pick(kInt64s, key))); break;
    case NANOFieldUInt64: NANOSetUInt64Value(slot, pick(kUInt64s, key)); break;
    case NANOFieldFloat: NANOSetFloatValue(slot, pick(kFloats, key)); break;
    case NANOFieldDouble: NANOSetDoubleValue(slot, pick(kDoubles, key)); break;
    default: break;
  }
}

uint64_t varintItem(NANOFieldFlags flags, unsigned key) {
  switch (NANOFieldKind(flags)) {
    case NANOFieldInt64: return static_cast<uint64_t>(pick(kInt64s, key));
    case NANOFieldUInt32: return pick(kUInt32s, key);
    default: return pick(kUInt64s, key);
  }
}

bool isString(NANOFieldFlags flags) {
  return NANOFieldKind(flags) == NANOFieldString || NANOFieldKind(flags) == NANOFieldBytes;
}

void appendEscaped(std::string& out, const NANOString* string) {
  out += '"';
  for (uint32_t i = 0; i < string->length; ++i) {
    unsigned char c = string->data[i];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\%03o", c);
      out += escaped;
    }
  }
  out += '"';
}

std::string scalarText(NANOFieldFlags flags, const void* cell) {
  char text[64];
  switch (NANOFieldKind(flags)) {
    case NANOFieldBool: return NANOCellBool(cell) ? "true" : "false";
    case NANOFieldInt32: std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(NANOCellUInt32(cell))); break;
    case NANOFieldEnum:
    case NANOFieldUInt32: std::snprintf(text, sizeof text, "%" PRIu32, NANOCellUInt32(cell)); break;
    case NANOFieldInt64: std::snprintf(text, sizeof text, "%" PRId64, static_cast<int64_t>(NANOCellUInt64(cell))); break;
    case NANOFieldUInt64: std::snprintf(text, sizeof text, "%" PRIu64, NANOCellUInt64(cell)); break;
    case NANOFieldFloat: std::snprintf(text, sizeof text, "%.9g", static_cast<double>(NANOCellFloat(cell))); break;
    case NANOFieldDouble: std::snprintf(text, sizeof text, "%.17g", NANOCellDouble(cell)); break;
    default: return "?";
  }
  return text;
}

void appendValue(std::string& out, const NANOFieldSchema& field, const void* cell, int indent);

void appendRecord(std::string& out, const NANOMessageSchema* schema, const NANOMessageInfo* record, int indent) {
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    const void* slot = record->fields[i];
    if (NANOFieldIsRepeated(field.flags)) {
      auto* list = static_cast<const NANOArray*>(slot);
      for (uint32_t j = 0; list != nullptr && j < list->count; ++j) appendValue(out, field, list->items[j], indent);
    } else if (slot != nullptr) {
      appendValue(out, field, slot, indent);
    }
  }
}

void appendValue(std::string& out, const NANOFieldSchema& field, const void* cell, int indent) {
  out.append(static_cast<size_t>(indent), ' ');
  out += field.name;
  if (NANOFieldKind(field.flags) == NANOFieldMessage) {
    out += " {\n";
    appendRecord(out, field.message, static_cast<const NANOMessageInfo*>(cell), indent + 2);
    out.append(static_cast<size_t>(indent), ' ');
    out += "}\n";
    return;
  }
  out += ": ";
  if (isString(field.flags)) {
    appendEscaped(out, static_cast<const NANOString*>(cell));
  } else {
    out += scalarText(field.flags, cell);
  }
  out += '\n';
}

std::string cellDifference(const NANOFieldSchema& field, const void* a, const void* b, const std::string& path);

std::string recordDifference(const NANOMessageSchema* schema, const NANOMessageInfo* a, const NANOMessageInfo* b,
                             const std::string& path) {
  if (a == nullptr || b == nullptr) return a == b ? "" : path + ": one record is missing";
  if (std::strcmp(a->name, b->name) != 0) return path + ": " + a->name + " vs " + b->name;
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    std::string at = path + "." + field.name;
    const void* x = a->fields[i];
    const void* y = b->fields[i];
    if (NANOFieldIsRepeated(field.flags)) {
      auto* l = static_cast<const NANOArray*>(x);
      auto* m = static_cast<const NANOArray*>(y);
      if (l == nullptr || m == nullptr) return at + ": list header missing";
      if (l->count != m->count) return at + ": " + std::to_string(l->count) + " vs " + std::to_string(m->count) + " items";
      for (uint32_t j = 0; j < l->count; ++j) {
        std::string d = cellDifference(field, l->items[j], m->items[j], at + "[" + std::to_string(j) + "]");
        if (!d.empty()) return d;
      }
    } else {
      std::string d = cellDifference(field, x, y, at);
      if (!d.empty()) return d;
    }
  }
  return "";
}

std::string cellDifference(const NANOFieldSchema& field, const void* a, const void* b, const std::string& path) {
  if (a == nullptr || b == nullptr) return a == b ? "" : path + ": present in only one";
  switch (NANOFieldKind(field.flags)) {
    case NANOFieldMessage:
      return recordDifference(field.message, static_cast<const NANOMessageInfo*>(a),
                              static_cast<const NANOMessageInfo*>(b), path);
    case NANOFieldString:
    case NANOFieldBytes: {
      auto* s = static_cast<const NANOString*>(a);
      auto* t = static_cast<const NANOString*>(b);
      if (s->length == t->length && (s->length == 0 || std::memcmp(s->data, t->data, s->length) == 0)) return "";
      return path + ": strings differ";
    }
    case NANOFieldFloat:
      return std::memcmp(a, b, sizeof(float)) == 0 ? "" : path + ": " + scalarText(field.flags, a) + " vs " + scalarText(field.flags, b);
    default:
      return NANOCellUInt64(a) == NANOCellUInt64(b) ? ""
                                                   : path + ": " + scalarText(field.flags, a) + " vs " + scalarText(field.flags, b);
  }
}

}  // namespace

Record NewRecord(const NANOMessageSchema* schema) {
  Record record(static_cast<NANOMessageInfo*>(NANOAllocZeroed(sizeof(NANOMessageInfo))), RecordDeleter{schema});
  if (!NANOInitMessageInfo(schema, record.get())) std::abort();
  return record;
}

Record FilledRecord(const NANOMessageSchema* schema, int depth, unsigned seed) {
  Record record = NewRecord(schema);
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    unsigned key = seed + field.tag;
    void** slot = &record->fields[i];
    bool message = NANOFieldKind(field.flags) == NANOFieldMessage;
    if (NANOFieldIsRepeated(field.flags)) {
      auto* list = static_cast<NANOArray*>(*slot);
      if (message) {
        if (depth > 0) {
          for (unsigned k = 0; k < 2; ++k) AppendItem(list, FilledRecord(field.message, depth - 1, key + k).release());
        }
      } else {
        for (unsigned k = 0; k < 3; ++k) {
          if (isString(field.flags)) {
            AppendString(list, kStrings[(key + k) % std::size(kStrings)]);
          } else {
            AppendVarint(list, varintItem(field.flags, key + k));
          }
        }
      }
    } else if (message) {
      if (depth > 0) *slot = FilledRecord(field.message, depth - 1, key).release();
    } else if (isString(field.flags)) {
      const std::string& text = kStrings[key % std::size(kStrings)];
      NANOSetStringValue(slot, text.data(), text.size());
    } else {
      fillScalar(field.flags, slot, key);
    }
  }
  return record;
}

Record Decoded(const NANOMessageSchema* schema, const Bytes& bytes) {
  Record record = NewRecord(schema);
  if (!NANODecodeMessage(schema, bytes.data(), bytes.size(), record.get())) return Record(nullptr, {schema});
  return record;
}

Bytes Encoded(const NANOMessageSchema* schema, const NANOMessageInfo* record, bool* ok) {
  uint8_t* buffer = nullptr;
  int32_t length = NANOEncodeMessage(schema, record, &buffer);
  if (ok != nullptr) *ok = length >= 0;
  if (length < 0) return {};
  Bytes bytes(buffer, buffer + length);
  std::free(buffer);
  return bytes;
}

std::string TextFormat(const NANOMessageSchema* schema, const NANOMessageInfo* record) {
  std::string out;
  appendRecord(out, schema, record, 0);
  return out;
}

std::string Differences(const NANOMessageSchema* schema, const NANOMessageInfo* a, const NANOMessageInfo* b) {
  return recordDifference(schema, a, b, schema->name);
}

Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string Hex(const Bytes& bytes) {
  std::string out;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, "%02x ", b);
    out += byte;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

CapturedOutput::CapturedOutput() {
  NANOSetOutputSink([text = text_](std::string_view s) { *text += s; });
}

CapturedOutput::~CapturedOutput() { NANOSetOutputSink(nullptr); }

std::string StringAt(const NANOMessageInfo* record, int id) {
  auto* string = Slot<NANOString>(record, id);
  if (string == nullptr || string->data == nullptr) return "<absent>";
  return std::string(reinterpret_cast<const char*>(string->data), string->length);
}

void AppendItem(NANOArray* list, void* item) {
  auto** items = static_cast<void**>(
      NANODecodeArena::grow(list->items, sizeof(void*) * list->count, sizeof(void*) * (list->count + 1)));
  if (items == nullptr) std::abort();
  items[list->count] = item;
  list->items = items;
  ++list->count;
}

void AppendString(NANOArray* list, std::string_view text) {
  void* cell = nullptr;
  NANOSetStringValue(&cell, text.data(), text.size());
  AppendItem(list, cell);
}

void AppendVarint(NANOArray* list, uint64_t value) {
  void* cell = nullptr;
  NANOSetUInt64Value(&cell, value);
  AppendItem(list, cell);
}
