// JSON text: whatever parses serialises and parses back to the same value.
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/foundation/JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = foundation::parseJSON(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed) return 0;
  auto text = foundation::serializeJSON(*parsed);
  FUZZ_CHECK(text, "what parses serialises");
  auto again = foundation::parseJSON(*text);
  FUZZ_CHECK(again, "its text parses");
  FUZZ_CHECK(*again == *parsed, "to the same value");
  return 0;
}
