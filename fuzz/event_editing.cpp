// Event-editing programs come from a server: arbitrary bytes, decoded as a
// program, are loaded into an editing instance that then handles two events.
// Every run ends within the instruction budget with its evaluation depth
// unwound, fails only with the interpreter's own errors, and nothing the
// program made outlives the instance.
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/QuietMonitor.h"
#include "measurement/config/runtime/QZMPEventEditing.h"
#include "measurement/config/runtime/QZMPStringValue.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/RegularExpression.h"

namespace {

// Smaller than the engine's budget so that runaway programs end quickly;
// the guards are the same.
constexpr std::uint64_t kInstructionLimit = 100'000;
// One bulk operation may be charged past the budget before the next
// evaluation stops the run: a scan of the longest string.
constexpr std::uint64_t kLargestCharge = kQZMPMaxStringLength;

void checkRun(QZMPEventEditing& editing, const QZMPError& error) {
  FUZZ_CHECK(editing.runtime().evaluationDepth() == 0, "evaluation depth unwinds after a run");
  FUZZ_CHECK(editing.runtime().getInstructionCount() <= kInstructionLimit + kLargestCharge,
             "a run stays within its instruction budget");
  if (error) {
    const std::string& domain = error.domain();
    FUZZ_CHECK(domain == kQZMPGlintErrorDomain || domain == kQZMPEditingErrorDomain ||
                   domain == foundation::kRegularExpressionErrorDomain,
               "errors come from the interpreter's domains");
  }
}

QZMEditEvent purchase() {
  foundation::Dictionary item{{"item_id", foundation::Object("sku")}, {"price", foundation::Object(2.5)}};
  return QZMEditEvent{"purchase",
                      1000,
                      {{"count", foundation::Object(3)},
                       {"_value", foundation::Object(1.5)},
                       {"label", foundation::Object("x")},
                       {"items", foundation::Object(foundation::Array{foundation::Object(item)})}}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzkit::silence();
  std::unique_ptr<QZMPBProgram> program = QZMPBProgram::initWithBuffer(std::span<const std::uint8_t>(data, size));
  if (!program) return 0;
  {
    QZMPEventEditing editing(QZMPRuntime::Options{.instructionLimit = kInstructionLimit});
    QZMPError error;
    const bool loaded = editing.loadProgram(*program, error);
    FUZZ_CHECK(loaded == !error.isSet(), "loading fails exactly when it reports an error");
    checkRun(editing, error);
    for (int round = 0; round < 2; ++round) {
      QZMPError handled;
      const bool changed = editing.handleEvent(purchase(), handled);
      checkRun(editing, handled);
      FUZZ_CHECK(!handled.isSet() || !changed, "a failed event reports no change");
      FUZZ_CHECK(handled.isSet() || changed == (editing.hasEdits() || editing.hasCreatedEvents()),
                 "a handled event reports whether it changed");
      FUZZ_CHECK(editing.eventContext().eventsToLog().size() <= kQZMPMaxEventsToLog, "queued events are bounded");
    }
  }
  FUZZ_CHECK(QZMPObject::liveCount() == 0, "nothing the program made outlives the instance");
  fuzzkit::settleMonitor();
  return 0;
}
