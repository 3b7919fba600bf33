// Test helpers over records: own one, fill every field of one, print one in
// protobuf text format (the input of protoc --encode), compare two.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOMessageFunctions.h"

using Bytes = std::vector<uint8_t>;

struct RecordDeleter {
  const NANOMessageSchema* schema;
  void operator()(NANOMessageInfo* record) const { NANODeallocMessageInfo(schema, record); }
};
using Record = std::unique_ptr<NANOMessageInfo, RecordDeleter>;

// A new, empty record of the message.
Record NewRecord(const NANOMessageSchema* schema);
// A record with every field set: scalars and strings from small tables of
// telling values (negative, extreme, empty, multi-byte), lists with several
// items. Sub-messages are filled `depth` levels down and absent below.
Record FilledRecord(const NANOMessageSchema* schema, int depth, unsigned seed = 0);
// Decodes into a new record; a null Record when the decode fails.
Record Decoded(const NANOMessageSchema* schema, const Bytes& bytes);

// The encoding, or nothing with *ok false.
Bytes Encoded(const NANOMessageSchema* schema, const NANOMessageInfo* record, bool* ok = nullptr);

std::string TextFormat(const NANOMessageSchema* schema, const NANOMessageInfo* record);
// Empty when the two records hold the same fields, else where they first differ.
std::string Differences(const NANOMessageSchema* schema, const NANOMessageInfo* a, const NANOMessageInfo* b);

Bytes BytesOf(std::string_view text);
std::string Hex(const Bytes& bytes);

// Collects what the runtime prints for as long as it lives.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  const std::string& text() const { return *text_; }

 private:
  std::shared_ptr<std::string> text_ = std::make_shared<std::string>();
};

// Field access for tests, by field ID.
template <class T = void>
T* Slot(const NANOMessageInfo* record, int id) {
  return static_cast<T*>(record->fields[id]);
}
inline NANOArray* List(const NANOMessageInfo* record, int id) { return Slot<NANOArray>(record, id); }
std::string StringAt(const NANOMessageInfo* record, int id);
// Appends an item cell to a list (an owned record, a string or a varint).
void AppendItem(NANOArray* list, void* item);
void AppendString(NANOArray* list, std::string_view text);
void AppendVarint(NANOArray* list, uint64_t value);
