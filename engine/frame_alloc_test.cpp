// A steady frame allocates nothing: the model, the passes, the uniforms and
// the command buffers all reuse what the first frames made. Counted with a
// replacement of the global allocation functions for this test program.
#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/RendererTestSupport.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

namespace {
void* counted(std::size_t size) noexcept {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
}  // namespace

// Every plain form goes through malloc and free, so that libraries loaded
// beside the program (Mesa's compiler) pair them up whichever form they use.
void* operator new(std::size_t size) {
  if (void* p = counted(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = counted(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

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
    counting = measured;
    const long before = allocations.load();
    this->frame();
    counting = false;
    if (measured) during += allocations.load() - before;
  }
  EXPECT_EQ(during, 0) << "heap allocations in 30 steady frames";
  EXPECT_GT(renderer->fluid_interpolated_num_ + renderer->particlePointsWritten(), 0);
}

}  // namespace
