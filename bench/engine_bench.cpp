// What a frame costs: the CPU model alone, then whole headless frames on
// Mesa's llvmpipe at two sizes with the options switched on and off, and
// the share of the pressure solve, the effects and the lines; then what the
// render targets take in memory at three drawable sizes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>
#include <string>

#include <unistd.h>

#include "engine/AllocationCounter.h"
#include "engine/Log.h"
#include "engine/StarRenderer.h"
#include "platform/gpu/surface.h"

namespace {

using Clock = std::chrono::steady_clock;

void report(const std::string& name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
}

// A steady 16 ms frame clock, so every run simulates the same frames.
engine::Services frameClock(std::shared_ptr<std::uint64_t> now) {
  engine::Services s = engine::Services::system();
  s.steadyMillis = [now] { return *now; };
  s.calendarSeconds = [] { return std::int64_t{1700000000}; };
  return s;
}

// Five fingers circling, as a hand stirring the fluid.
struct Hand {
  float2 now[5], before[5];
  void place(int frame, float w, float h) {
    for (int f = 0; f < 5; ++f) {
      before[f] = now[f];
      now[f] = float2(w * (0.5f + 0.35f * std::cos(frame * 0.15f + f * 1.3f)),
                      h * (0.5f + 0.35f * std::sin(frame * 0.2f + f * 0.7f)));
    }
  }
};

class ModelOnly : public VireonVertex {
 public:
  explicit ModelOnly(engine::Services s) : VireonVertex(std::move(s)) {
    createModelBuffers([](std::size_t n) { return std::make_shared<gpu::Buffer>(n); });
  }
  bool UpdateMetalComputePreps() override { return true; }
};

void modelCost() {
  auto now = std::make_shared<std::uint64_t>(1000);
  ModelOnly model(frameClock(now));
  model.reset(1280, 720);
  model.setFluidParticles(true, 200, 0.98f, 0.008f, 1, 9000);
  Hand hand;
  hand.place(0, 1280, 720);
  model.touch->began(hand.now, 5);
  constexpr int kFrames = 20000;
  Clock::duration spent{};
  for (int i = 1; i <= kFrames; ++i) {
    hand.place(i, 1280, 720);
    model.touch->moved(hand.now, hand.before, 5);
    *now += 16;
    const auto start = Clock::now();
    model.update();
    spent += Clock::now() - start;
  }
  report("model_update_step_200_particles_5_fingers",
         std::chrono::duration<double, std::micro>(spent).count() / kFrames, "us/frame");
}

struct FrameCase {
  const char* name;
  std::function<void(StarRenderer&)> configure;
};

struct Frames {
  double msPerFrame;
  long allocations;
};

// A headless surface of that size and a renderer on it whose clock `now`
// holds; the benchmark ends when the surface cannot be made.
struct Rig {
  std::unique_ptr<gpu::HeadlessSurface> surface;
  std::shared_ptr<std::uint64_t> now = std::make_shared<std::uint64_t>(1000);
  std::unique_ptr<StarRenderer> renderer;
};

Rig rig(int w, int h) {
  auto surface = gpu::HeadlessSurface::create(w, h);
  if (!surface.ok()) {
    std::fprintf(stderr, "engine_bench: %s\n", std::string(surface.error().description).c_str());
    std::exit(1);
  }
  Rig made{std::move(*surface)};
  made.renderer = std::make_unique<StarRenderer>(made.surface->device(), frameClock(made.now));
  return made;
}

Frames frameCost(int w, int h, const std::function<void(StarRenderer&)>& configure) {
  Rig made = rig(w, h);
  auto& surface = made.surface;
  auto& now = made.now;
  auto& renderer = made.renderer;
  renderer->drawableSizeWillChange({static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), 0});
  configure(*renderer);
  Hand hand;
  hand.place(0, w, h);
  renderer->touch->began(hand.now, 5);
  auto frame = [&](int i) {
    hand.place(i, w, h);
    renderer->touch->moved(hand.now, hand.before, 5);
    *now += 16;
    renderer->draw(false, surface->currentDrawable(), nullptr);
  };
  // Each frame is timed until the GPU has finished it; the median keeps a
  // busy moment of the machine out of the figure.
  auto finish = [&] {
    auto cb = renderer->commandQueue->commandBuffer();
    cb->commit();
    cb->waitUntilCompleted();
  };
  constexpr int kWarm = 10, kTimed = 40;
  for (int i = 1; i <= kWarm; ++i) frame(i);
  finish();
  std::vector<double> times;
  times.reserve(kTimed);
  long allocated = 0;
  for (int i = kWarm + 1; i <= kWarm + kTimed; ++i) {
    const auto start = Clock::now();
    const long before = engine::allocationCount();
    engine::countAllocations(true);
    frame(i);
    engine::countAllocations(false);
    allocated += engine::allocationCount() - before;
    finish();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + kTimed / 2, times.end());
  renderer.reset();
  return {times[kTimed / 2], allocated};
}

// Bytes the process holds in memory now (llvmpipe keeps textures there).
double residentBytes() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// What the render targets of one drawable size take: the bytes of the
// textures as made, and how much the process grows once they are made and a
// frame has been drawn into them.
void targetMemory(int w, int h) {
  Rig made = rig(w, h);
  auto& surface = made.surface;
  auto& now = made.now;
  auto& renderer = made.renderer;
  renderer->drawableSizeWillChange({1, 1, 0});
  renderer->draw(false, nullptr, nullptr);
  const double before = residentBytes();
  renderer->drawableSizeWillChange({static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), 0});
  *now += 16;
  renderer->draw(false, surface->currentDrawable(), nullptr);
  auto cb = renderer->commandQueue->commandBuffer();
  cb->commit();
  cb->waitUntilCompleted();
  const double grown = residentBytes() - before;
  double bytes = 0;
  for (const auto& t : renderer->renderTargets) {
    if (t) bytes += static_cast<double>(t->width() * t->height() * (t->pixelFormat() == gpu::PixelFormat::RGBA16Float ? 8 : 4));
  }
  const std::string size = std::to_string(w) + "x" + std::to_string(h);
  constexpr double kMiB = 1024.0 * 1024.0;
  report("render_targets_" + size, bytes / kMiB, "MiB");
  report("render_targets_" + size + "_per_pixel", bytes / (static_cast<double>(w) * h), "bytes");
  report("resident_growth_" + size, grown / kMiB, "MiB");
  renderer.reset();
}

}  // namespace

int main() {
  engine::setPrintSink([](std::string_view) {});  // the engine's own lines are not figures
  modelCost();

  auto effectsOff = [](StarRenderer& r) { r.setFluidEffects(false, false, false); };
  auto lines = [](int n) {
    return [n](StarRenderer& r) { r.lineNum = n; };
  };
  const FrameCase cases[] = {
      {"default", [](StarRenderer&) {}},
      {"everything_off",
       [](StarRenderer& r) {
         r.setFluidEffects(false, false, false);
         r.setFluidParticles(false, 0, 0.98f, 0.008f, 1, 0);
       }},
      {"effects_off", effectsOff},
      {"no_pressure_solve", [](StarRenderer& r) { r.pressureIterations = 0; }},
      {"lines_0", lines(0)},
      {"lines_9000", lines(9000)},
      {"lines_15000", lines(15000)},
  };
  long allocated = 0;
  for (auto [w, h] : {std::pair{320, 240}, std::pair{640, 360}}) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    double measured[std::size(cases)];
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      Frames f = frameCost(w, h, cases[i].configure);
      measured[i] = f.msPerFrame;
      allocated += f.allocations;
      report("frame_" + size + "_" + cases[i].name, f.msPerFrame, "ms/frame");
    }
    const double whole = measured[0];
    report("share_" + size + "_jacobi_passes", 100 * (whole - measured[3]) / whole, "%");
    report("share_" + size + "_effects", 100 * (whole - measured[2]) / whole, "%");
    report("share_" + size + "_lines_9000", 100 * (measured[5] - measured[4]) / measured[5], "%");
  }
  report("frame_heap_allocations_after_warm_up", static_cast<double>(allocated), "allocations");
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}, std::pair{3840, 2160}}) targetMemory(w, h);
  return 0;
}
