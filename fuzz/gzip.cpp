// gzip inflation of arbitrary bytes, bombs included: bounded output, and what
// inflates compresses and inflates back the same.
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "platform/utilities/Gzip.h"

namespace {
// Small enough to keep each run quick; bombs still meet it.
constexpr std::size_t kLimit = 256 << 10;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  foundation::Data input(data, data + size);
  auto inflated = drk_dataByInflatingGzippedData(input, kLimit);
  if (!inflated) return 0;
  FUZZ_CHECK(inflated->size() <= kLimit, "inflation stays within its limit");
  auto compressed = drk_dataByGzippingData(*inflated);
  FUZZ_CHECK(compressed, "what inflates compresses");
  auto again = drk_dataByInflatingGzippedData(*compressed, kLimit);
  FUZZ_CHECK(again, "its compression inflates");
  FUZZ_CHECK(*again == *inflated, "to the same bytes");
  return 0;
}
