// Property-list text: whatever reads must write again and read back the same,
// or a file read once could never be saved.
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = foundation::decodePropertyList(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!decoded) return 0;
  auto encoded = foundation::encodePropertyList(*decoded);
  FUZZ_CHECK(encoded, "what decodes encodes");
  auto again = foundation::decodePropertyList(*encoded);
  FUZZ_CHECK(again, "its encoding decodes");
  FUZZ_CHECK(*again == *decoded, "to the same value");
  return 0;
}
