// A steady frame allocates nothing: the model, the passes, the uniforms and
// the command buffers all reuse what the first frames made.
#include "engine/AllocationCounter.h"
#include "engine/RendererTestSupport.h"

namespace {

TEST_F(RendererTest, SteadyFramesDoNotAllocate) {
  sizeTo(kWidth, kHeight);
  renderer->use_shading_pressure = true;
  renderer->setFluidParticles(true, 200, 0.98f, 0.008f, 1, 15000);
  float2 fingers[5], previous[5];
  auto place = [&](int frame) {
    for (int f = 0; f < 5; ++f) {
      previous[f] = fingers[f];
      fingers[f] = float2(80 + 50 * std::cos(frame * 0.2f + f), 60 + 40 * std::sin(frame * 0.3f + f));
    }
  };
  place(0);
  renderer->touch->began(fingers, 5);
  long during = 0;
  for (int frame = 1; frame <= 40; ++frame) {
    place(frame);
    renderer->touch->moved(fingers, previous, 5);  // event work, not frame work
    const bool measured = frame > 10;
    engine::countAllocations(measured);
    const long before = engine::allocationCount();
    this->frame();
    engine::countAllocations(false);
    if (measured) during += engine::allocationCount() - before;
  }
  EXPECT_EQ(during, 0) << "heap allocations in 30 steady frames";
  EXPECT_GT(renderer->fluid_interpolated_num_ + renderer->particlePointsWritten(), 0);
}

}  // namespace
