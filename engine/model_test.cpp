#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "engine/Log.h"
#include "engine/StarTouch.h"
#include "engine/VireonVertex.h"

namespace {

// A model with host-memory buffers, a clock the test moves and a seeded generator.
class TestVertex : public VireonVertex {
 public:
  explicit TestVertex(engine::Services s) : VireonVertex(std::move(s)) {
    createModelBuffers([](std::size_t n) { return std::make_shared<gpu::Buffer>(n); });
  }
  bool UpdateMetalComputePreps() override { return true; }
};

class ModelTest : public ::testing::Test {
 protected:
  ModelTest() {
    engine::setPrintSink([this](std::string_view s) { printed += s; });
  }
  ~ModelTest() override { engine::setPrintSink(nullptr); }

  engine::Services services() {
    engine::Services s;
    s.steadyMillis = [this] { return nowMs; };
    s.calendarSeconds = [] { return std::int64_t{1700000000}; };
    s.seedRandom = [this](unsigned seed) { rng.seed(seed); };
    s.nextRandom = [this] {
      ++randomCalls;
      return static_cast<int>(rng() & 0x7fffffff);
    };
    return s;
  }

  std::unique_ptr<TestVertex> make(float w = 300, float h = 400) {
    auto v = std::make_unique<TestVertex>(services());
    v->reset(w, h);
    return v;
  }

  // One frame at a steady 16 ms.
  void frame(TestVertex& v) {
    nowMs += 16;
    v.update();
  }

  std::uint64_t nowMs = 5000;
  std::minstd_rand rng{1};
  int randomCalls = 0;
  std::string printed;
};

float2* positions(VireonVertex& v) { return v.point_position_buffer_->as<float2>(); }
float4* splats(VireonVertex& v) { return v.point_velocity_buffer_->as<float4>(); }

TEST(Colour, HsvToRgb) {
  struct Case {
    float hue, s, v;
    float3 rgb;
  } cases[] = {
      {18, 0.65f, 0.4f, {0.4f, 0.218f, 0.14f}},
      {0, 1, 1, {1, 0, 0}},
      {120, 1, 1, {0, 1, 0}},
      {240, 1, 1, {0, 0, 1}},
      {300, 1, 0.5f, {0.5f, 0, 0.5f}},
      {90, 0, 0.7f, {0.7f, 0.7f, 0.7f}},
  };
  for (const Case& c : cases) {
    float3 out;
    hsvToRgb(out, c.hue, c.s, c.v);
    EXPECT_NEAR(out.x, c.rgb.x, 1e-6) << c.hue;
    EXPECT_NEAR(out.y, c.rgb.y, 1e-6) << c.hue;
    EXPECT_NEAR(out.z, c.rgb.z, 1e-6) << c.hue;
  }
  float3 at360, at0;
  hsvToRgb(at360, 360, 0.65f, 0.4f);
  hsvToRgb(at0, 0, 0.65f, 0.4f);
  EXPECT_EQ(at360, at0);
}

TEST(Colour, LerpColor) {
  float3 a(1, 0, 0.5f);
  lerpColor(a, float3(0, 1, 0.5f), 0.25f);
  EXPECT_FLOAT_EQ(a.x, 0.75f);
  EXPECT_FLOAT_EQ(a.y, 0.25f);
  EXPECT_FLOAT_EQ(a.z, 0.5f);
}

struct TimerLog : StarTimerDelegate {
  std::vector<std::uint64_t> fps;
  std::vector<double> deltas;
  void onFps(std::uint64_t frames) override { fps.push_back(frames); }
  void onDelta(double ms) override { deltas.push_back(ms); }
};

TEST(StarTimer, ReportsAfterMoreThan1000Ms) {
  std::uint64_t now = 0;
  TimerLog log;
  StarTimer timer(&log, [&] { return now; });

  now = 2000;  // first tick: uptime since 0 is past 1000 ms
  timer.tick();
  EXPECT_EQ(log.fps, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(log.deltas.back(), 2000);

  now = 3000;  // 1000 ms after the report: not yet
  timer.tick();
  EXPECT_EQ(log.fps.size(), 1u);
  now = 3001;  // 1001 ms: reported, counting both frames since
  timer.tick();
  EXPECT_EQ(log.fps, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(log.deltas, (std::vector<double>{2000, 1000, 1}));
  EXPECT_EQ(timer.seconds, 2u);

  // A second timer starts from its own zero, not from the first one's state.
  TimerLog other;
  StarTimer second(&other, [&] { return now; });
  second.tick();
  EXPECT_EQ(other.fps, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(other.deltas, (std::vector<double>{3001}));
}

TEST_F(ModelTest, ConstructionDefaultsAndSetters) {
  TestVertex v(services());
  EXPECT_EQ(v.lineNum, 0);
  EXPECT_EQ(v.particleNum, 100);
  EXPECT_EQ(v.currentColor, float4(1, 1, 1, 1));
  EXPECT_EQ(v.touch->count, 0);

  v.setFluidOptions(0.05f, 0.2f, 0.7f, 0.6f, 0.3f, 2.0f);
  EXPECT_EQ(v.splatScale, 3000.0f);
  EXPECT_EQ(v.fingerRadius, 0.05f);
  EXPECT_EQ(v.splatForce, 2.0f);
  v.setFluidEffects(false, true, false);
  EXPECT_FALSE(v.use_shading_pressure);
  EXPECT_FALSE(v.usingShading);
  EXPECT_TRUE(v.usingBloom);

  struct Case {
    int particles, lines, wantParticles, wantLines;
  } cases[] = {
      {200, 15000, 200, 15000},
      {301, 15001, engine::kMaxParticles, engine::kLineCapacity},
      {-5, -1, 0, 0},
  };
  for (const Case& c : cases) {
    v.setFluidParticles(true, c.particles, 0.9f, 0.01f, 3, c.lines);
    EXPECT_EQ(v.particleNum, c.wantParticles);
    EXPECT_EQ(v.lineNum, c.wantLines);
  }
  EXPECT_EQ(v.particleFrequency, 3);
}

TEST_F(ModelTest, ResetLaysOutGeometryPaletteAndLines) {
  auto v = make(300, 400);
  EXPECT_NE(printed.find("\nReset Vertex : 300.000000 400.000000\n\n"), std::string::npos);
  EXPECT_FLOAT_EQ(v->diagonal, 500);
  EXPECT_FLOAT_EQ(v->gridSize.x, 60);
  EXPECT_FLOAT_EQ(v->gridSize.y, 80);
  EXPECT_FLOAT_EQ(v->gridDiagonal, 100);
  EXPECT_FLOAT_EQ(v->wrapMargin, 25);
  EXPECT_EQ(v->lineNum, 9000);
  EXPECT_FLOAT_EQ(v->lineWidth, 1);
  EXPECT_EQ(v->targetColor, float3(1, 1, 1));
  EXPECT_NEAR(v->palette[1].x, 0.4f, 1e-6);
  EXPECT_NEAR(v->palette[1].y, 0.218f, 1e-6);

  auto* lines = v->line_position_buffer_->as<float4>();
  auto* colours = v->line_color_buffer_->as<float4>();
  for (int i = 0; i < engine::kLineCapacity; i += 997) {
    EXPECT_EQ(lines[2 * i], lines[2 * i + 1]);
    EXPECT_GE(lines[2 * i].x, 0);
    EXPECT_LT(lines[2 * i].x, 300);
    EXPECT_LT(lines[2 * i].y, 400);
    EXPECT_EQ(lines[2 * i].w, 1);
    EXPECT_EQ(colours[2 * i + 1], float4(0, 0, 0, 1));
  }
  EXPECT_EQ(v->point_color_buffer_->as<float4>()[209], float4(1, 1, 1, 1));
  EXPECT_EQ(v->point_color_buffer_->as<float4>()[210], float4(0, 0, 0, 0));  // buffers start zeroed
}

TEST_F(ModelTest, ResetWithSameSizeOrTinySizeChangesNothing) {
  auto v = make(300, 400);
  v->setFluidParticles(true, 100, 0.98f, 0.008f, 1, 1234);
  float2 first = positions(*v)[0];
  int calls = randomCalls;

  printed.clear();
  EXPECT_TRUE(v->reset(300, 400));
  EXPECT_NE(printed.find("Reset Vertex"), std::string::npos);
  EXPECT_EQ(v->lineNum, 1234);
  EXPECT_EQ(randomCalls, calls);
  EXPECT_EQ(positions(*v)[0], first);

  for (auto [w, h] : {std::pair{0.0f, 0.0f}, {0.5f, 400.0f}, {300.0f, 0.0f}}) {
    EXPECT_TRUE(v->reset(w, h));
    EXPECT_EQ(v->width, 300);
    EXPECT_EQ(v->lineNum, 1234);
    EXPECT_EQ(randomCalls, calls);
  }

  EXPECT_TRUE(v->reset(400, 300));
  EXPECT_EQ(v->lineNum, 9000);
}

TEST_F(ModelTest, PaletteIsTakenBackwardsOncePerReport) {
  auto v = make();
  std::vector<int> order;
  for (int report = 0; report < 22; ++report) {
    v->onFps(60);
    for (int k = 0; k < 20; ++k)
      if (v->targetColor == v->palette[k]) order.push_back(k);
  }
  std::vector<int> want = {0, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 19};
  EXPECT_EQ(order, want);
  EXPECT_NE(printed.find("FPS :: 60\n\n"), std::string::npos);
}

TEST_F(ModelTest, FirstFrameTimeIsIgnored) {
  auto v = make();
  frame(*v);  // uptime 5016 ms since the timer's zero
  EXPECT_EQ(v->elapsedMs, 0);
  EXPECT_EQ(v->lastDeltaMs, 0);
  frame(*v);
  EXPECT_EQ(v->elapsedMs, 16);
  EXPECT_FLOAT_EQ(v->frameScale, 1.0f);
  v->onDelta(std::nan(""));
  v->onDelta(1000);
  EXPECT_EQ(v->elapsedMs, 16);
}

TEST_F(ModelTest, ParticleLeavingTheLeftEdgeWrapsWithoutForce) {
  auto v = make(300, 400);
  v->setFluidParticles(true, 1, 0.98f, 0.008f, 1, 9000);
  frame(*v);
  positions(*v)[0] = float2(5, 100);
  v->particle_velocity_buffer_->as<float2>()[0] = float2(-100, 0);
  frame(*v);
  EXPECT_EQ(positions(*v)[0].x, 300);
  EXPECT_EQ(splats(*v)[0], float4(0, 0, 0, 1));
  EXPECT_FLOAT_EQ(v->point_radius_buffer_->as<float>()[0], 0.016f);
  EXPECT_EQ(v->particlePointsWritten(), 1);
}

// Feeds one finger's points through the touch store as the view controller does.
void stroke(TestVertex& v, std::initializer_list<float2> points) {
  float2 prev = *points.begin();
  for (float2 p : points) {
    v.touch->moved(&p, &prev, 1);
    prev = p;
  }
}

TEST_F(ModelTest, StraightStrokeSampledAtTheMinimumStep) {
  auto v = make(300, 400);  // diagonal 500; radius 0.02 gives a 2-pixel step
  v->setFluidOptions(0.02f, 0.1f, 0.8f, 0.8f, 0.1f, 1.0f);
  v->setFluidParticles(true, 10, 0.98f, 0.008f, 1, 9000);
  float2 p0(100, 100);
  v->touch->began(&p0, 1);
  stroke(*v, {p0});  // before the first frame: the snapshot count is 0, nothing kept
  EXPECT_TRUE(v->fingerHistories[0].empty());
  frame(*v);
  stroke(*v, {{100, 100}, {110, 100}, {120, 100}});
  ASSERT_EQ(v->fingerHistories[0].size(), 3u);
  frame(*v);

  ASSERT_EQ(v->fluid_interpolated_num_, 10);
  ASSERT_EQ(v->strokeLists[0].size(), 10u);
  for (int k = 0; k < 10; ++k) {
    EXPECT_NEAR(v->strokeLists[0][k].x, 100 + 2 * k, 1e-4);
    EXPECT_NEAR(v->strokeLists[0][k].y, 100, 1e-4);
  }
  ASSERT_EQ(v->fingerHistories[0].size(), 1u);
  EXPECT_EQ(v->fingerHistories[0].front(), float2(120, 100));

  // Stroke points follow the particles and point along the stroke, the
  // first one back toward the newest touch.
  EXPECT_EQ(v->splatPointsWritten(), 20);
  EXPECT_EQ(positions(*v)[10], float2(100, 100));
  float4 first = splats(*v)[10], second = splats(*v)[11];
  EXPECT_LT(first.x, 0);
  EXPECT_GT(second.x, 0);
  float strength = 10.0f / 500.0f;
  EXPECT_NEAR(second.x, strength * 3000 * 400 / 300, 1e-2);
  EXPECT_NEAR(second.y, 0, 1e-3);
  EXPECT_FLOAT_EQ(v->point_radius_buffer_->as<float>()[10], 0.04f);
}

TEST_F(ModelTest, FingerWithFewerThanThreePointsWaits) {
  auto v = make();
  float2 p0(50, 50);
  v->touch->began(&p0, 1);
  frame(*v);
  stroke(*v, {{50, 50}, {60, 60}});
  frame(*v);
  EXPECT_EQ(v->fluid_interpolated_num_, 0);
  EXPECT_EQ(v->fingerHistories[0].size(), 2u);
  stroke(*v, {{70, 70}});
  frame(*v);
  EXPECT_GT(v->fluid_interpolated_num_, 0);
}

TEST_F(ModelTest, RepeatedIdenticalPointsStillMakeAStroke) {
  auto v = make();
  float2 p(80, 80);
  v->touch->began(&p, 1);
  frame(*v);
  stroke(*v, {p, p, p, p});
  frame(*v);
  EXPECT_EQ(v->fluid_interpolated_num_, 1);
  EXPECT_EQ(v->strokeLists[0][0], p);
}

TEST_F(ModelTest, StrokeBudgetIsSharedByFingers) {
  struct Case {
    int fingers;
    int pointsPerFinger;
    float spacing;
  } cases[] = {{1, 3, 200}, {1, 40, 15}, {1, 150, 3}, {2, 30, 40}, {5, 3, 300}, {5, 25, 9}, {3, 10, 0.01f}};
  for (const Case& c : cases) {
    auto v = make(2000, 1500);
    v->setFluidOptions(0.001f, 0.1f, 0.8f, 0.8f, 0.1f, 1.0f);  // minimum step 0
    std::vector<float2> now(c.fingers), prev(c.fingers);
    for (int f = 0; f < c.fingers; ++f) now[f] = float2(10 + f * 100.0f, 10);
    v->touch->began(now.data(), c.fingers);
    frame(*v);
    for (int k = 0; k < c.pointsPerFinger; ++k) {
      prev = now;
      for (int f = 0; f < c.fingers; ++f) now[f].y = 10 + (k + 1) * c.spacing;
      v->touch->moved(now.data(), prev.data(), c.fingers);
    }
    frame(*v);
    EXPECT_LE(v->fluid_interpolated_num_, 100) << c.fingers << " x " << c.pointsPerFinger;
    EXPECT_GT(v->fluid_interpolated_num_, 0);
    for (int f = 0; f < c.fingers; ++f)
      EXPECT_LE(static_cast<int>(v->strokeLists[f].size()), 100 / c.fingers);
    EXPECT_EQ(v->splatPointsWritten(), v->particleNum + v->fluid_interpolated_num_);
  }
}

TEST_F(ModelTest, TouchesAreBoundedToSlotsAndHistories) {
  auto v = make();
  std::vector<float2> points(12, float2(30, 30)), prev(12, float2(20, 20));
  v->touch->began(points.data(), 12);
  EXPECT_EQ(v->touch->count, StarTouch::kSlots);
  frame(*v);
  EXPECT_EQ(v->touchCount, 10);
  v->touch->moved(points.data(), prev.data(), 12);
  for (int f = 0; f < 5; ++f) EXPECT_EQ(v->fingerHistories[f].size(), 1u);

  v->touch->ended(points.data(), 12);
  EXPECT_EQ(v->touch->count, 0);
  EXPECT_EQ(v->fingerHistories[0].size(), 1u);  // ended keeps the histories
  frame(*v);
  EXPECT_EQ(v->fluid_interpolated_num_, 0);
}

TEST_F(ModelTest, RenderPointOffPutsStrokesFirst) {
  auto v = make(300, 400);
  v->setFluidParticles(false, 100, 0.98f, 0.008f, 1, 9000);
  float2 p0(100, 100);
  v->touch->began(&p0, 1);
  frame(*v);
  stroke(*v, {{100, 100}, {150, 100}, {200, 100}});
  frame(*v);
  EXPECT_EQ(v->particlePointsWritten(), 0);
  EXPECT_EQ(v->splatPointsWritten(), v->fluid_interpolated_num_);
  EXPECT_EQ(positions(*v)[0], float2(100, 100));
}

TEST_F(ModelTest, FingerThatHasNotMovedSplatsNoForce) {
  auto v = make(300, 400);
  v->setFluidParticles(false, 0, 0.98f, 0.008f, 1, 9000);
  float2 p0(100, 100);
  v->touch->began(&p0, 1);
  frame(*v);
  // Moves that leave the previous point at the origin, as before any move.
  float2 zero(0, 0);
  for (float2 p : {float2(100, 100), float2(120, 100), float2(140, 100)}) v->touch->moved(&p, &zero, 1);
  frame(*v);
  ASSERT_GT(v->splatPointsWritten(), 0);
  for (int i = 0; i < v->splatPointsWritten(); ++i) {
    EXPECT_EQ(splats(*v)[i].x, 0);
    EXPECT_EQ(splats(*v)[i].y, 0);
  }
}

}  // namespace
