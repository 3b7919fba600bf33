// Every measurement message, decoded from arbitrary bytes through the message
// classes: what decodes encodes, its encoding decodes to a message that
// encodes to the same bytes, and a deep copy encodes the same. The first
// byte picks the message, the rest is its encoding.
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/MeasurementMessageList.h"
#include "measurement/proto/NANODiagnostics.h"
#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Log.h"

namespace {

template <class M>
void roundTrip(std::span<const std::uint8_t> bytes) {
  std::unique_ptr<M> first;
  {
    // Opened here, as for the second decode below, so that both charge the
    // outermost record alike.
    NANODecodeBudget budget(bytes.size());
    first = M::initWithBuffer(bytes);
  }
  if (!first) return;
  auto encoded = first->protoBuffer();
  FUZZ_CHECK(encoded, "a decoded message encodes");
  std::unique_ptr<M> second;
  {
    // The encoding can be shorter than the input (unknown fields dropped,
    // numbers written short): it holds the same message, so it must decode
    // within its own budget.
    NANODecodeBudget budget(encoded->size());
    second = M::initWithBuffer(*encoded);
  }
  FUZZ_CHECK(second, "its encoding decodes");
  FUZZ_CHECK(second->protoBuffer() == encoded, "and encodes to the same bytes");
  auto copy = M::initWithMessageInfo(first->messageInfo());
  FUZZ_CHECK(copy, "a decoded message copies");
  FUZZ_CHECK(copy->protoBuffer() == encoded, "and its copy encodes the same");
}

using RoundTrip = void (*)(std::span<const std::uint8_t>);
constexpr RoundTrip kMessages[] = {
#define TOLV_ROUND_TRIP(M) &roundTrip<M>,
    TOLV_MEASUREMENT_MESSAGES(TOLV_ROUND_TRIP)
#undef TOLV_ROUND_TRIP
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Refused inputs are the rule here; their diagnostics would only slow the
  // run down.
  static const bool quiet = [] {
    NANOSetOutputSink([](std::string_view) {});
    foundation::setLogSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  kMessages[data[0] % std::size(kMessages)](std::span<const std::uint8_t>(data + 1, size - 1));
  return 0;
}
