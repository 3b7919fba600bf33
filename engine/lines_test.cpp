// The line kernel on a few hand-placed lines, the trail passes, and frames
// with everything switched on and off.
#include <algorithm>
#include <limits>

#include "engine/RendererTestSupport.h"

namespace {

class LineKernelTest : public RendererTest {
 protected:
  static constexpr float kSide = 100;

  struct Line {
    float2 head;
    float2 power;
    float4 color{0, 0, 0, 1};
  };
  struct Result {
    float2 head, tail, power;
    float4 color;
    float4 vertexColor[6];
    float2 vertex[6];
  };

  // Puts the lines at the front of the buffers, fills everything after them
  // with a sentinel, runs the kernel once and reads the records back.
  using Field = std::function<Texel(int, int)>;
  static Field everywhere(Texel t) {
    return [t](int, int) { return t; };
  }

  std::vector<Result> run(const std::vector<Line>& lines, int active, const Field& velocity, const Field& dye,
                          float nowTick = 16, float damping = 1, float fade = 0.65f) {
    StarRenderer& r = *renderer;
    constexpr int kRecords = 4;
    auto* position = r.line_position_buffer_->as<float4>();
    auto* color = r.line_color_buffer_->as<float4>();
    auto* power = r.line_power_buffer_->as<float4>();
    auto* out = r.line_vertex_buffer_->as<ComputeOut>();
    for (int i = 0; i < kRecords; ++i) {
      const bool given = i < static_cast<int>(lines.size());
      const float4 sentinel(-7, -7, -7, -7);
      position[2 * i] = given ? float4(lines[i].head.x, lines[i].head.y, 0, 1) : sentinel;
      position[2 * i + 1] = given ? position[2 * i] : sentinel;
      color[2 * i] = color[2 * i + 1] = given ? lines[i].color : sentinel;
      power[i] = given ? float4(lines[i].power.x, lines[i].power.y, 0, 0) : sentinel;
      for (int v = 0; v < 6; ++v) out[6 * i + v] = ComputeOut{sentinel, sentinel, float3(-7, -7, -7)};
    }
    for (auto* b : {r.line_position_buffer_.get(), r.line_color_buffer_.get(), r.line_power_buffer_.get(),
                    r.line_vertex_buffer_.get()}) {
      b->didModifyRange(0, b->length());
    }
    const UniformVireonLine u{float2(kSide, kSide), active, kSide * 1.41421356f, 1.0f, nowTick, fade, damping};
    auto cb = r.compute_command_queue_->commandBuffer();
    auto& e = cb->computeCommandEncoder();
    e.setComputePipelineState(r.line_move_pipeline_);
    e.setBuffer(r.line_position_buffer_, 0, 0);
    e.setBuffer(r.line_color_buffer_, 0, 1);
    e.setBuffer(r.line_power_buffer_, 0, 2);
    e.setBuffer(r.line_vertex_buffer_, 0, 3);
    e.setBytes(&u, sizeof u, 4);
    e.setTexture(texture(8, 8, velocity), 0);
    e.setTexture(texture(8, 8, dye), 1);
    e.dispatchThreadgroups(1, r.line_move_pipeline_->maxTotalThreadsPerThreadgroup());
    e.endEncoding();
    cb->commit();
    cb->waitUntilCompleted();

    for (auto* b : {r.line_position_buffer_.get(), r.line_color_buffer_.get(), r.line_power_buffer_.get(),
                    r.line_vertex_buffer_.get()}) {
      surface->device()->synchronize(*b);
    }
    std::vector<Result> results(kRecords);
    for (int i = 0; i < kRecords; ++i) {
      Result& x = results[i];
      x.head = float2(position[2 * i].x, position[2 * i].y);
      x.tail = float2(position[2 * i + 1].x, position[2 * i + 1].y);
      x.power = float2(power[i].x, power[i].y);
      x.color = color[2 * i];
      for (int v = 0; v < 6; ++v) {
        x.vertex[v] = float2(out[6 * i + v].position.x, out[6 * i + v].position.y);
        x.vertexColor[v] = out[6 * i + v].color;
      }
    }
    return results;
  }
  const Field still = everywhere({0, 0, 0, 1});
};

TEST_F(LineKernelTest, MovesBouncesAndRespawns) {
  std::vector<Result> r = run(
      {
          {{97, 50}, {5, 0}},      // would leave on the right: bounces and moves left
          {{50, 50}, {0, 0}},      // no power: respawns in place of a move
          {{50, 50}, {2, 0}},      // exactly 2 moves
          {{50, 50}, {0, 1.5f}},   // just below 2 respawns
      },
      4, still, still);
  EXPECT_EQ(r[0].power, float2(-5, 0));
  EXPECT_EQ(r[0].head, float2(92, 50));
  EXPECT_EQ(r[0].tail, float2(97, 50));
  EXPECT_EQ(r[2].head, float2(52, 50));
  EXPECT_EQ(r[2].tail, float2(50, 50));
  for (int i : {1, 3}) {
    EXPECT_EQ(r[i].head, r[i].tail) << i;
    EXPECT_GE(r[i].head.x, 0);
    EXPECT_LT(r[i].head.x, kSide);
    EXPECT_GE(r[i].head.y, 0);
    EXPECT_LT(r[i].head.y, kSide);
    EXPECT_EQ(r[i].head.x, std::floor(r[i].head.x));
    // A degenerate segment collapses all six vertices onto the point.
    for (const float2& v : r[i].vertex) EXPECT_EQ(v, r[i].head) << i;
  }
  // Power in texture orientation: y down, so positive power.y moves a line down.
  std::vector<Result> down = run({{{50, 50}, {0, 3}}}, 1, still, still);
  EXPECT_EQ(down[0].head, float2(50, 47));
  // Respawn is reproducible: the same head and index give the same place.
  EXPECT_EQ(run({{{50, 50}, {0, 0}}}, 1, still, still)[0].head, run({{{50, 50}, {0, 0}}}, 1, still, still)[0].head);
}

TEST_F(LineKernelTest, QuadColourAndDamping) {
  // Damping 0.5 halves (8, 0) to 4; then a quad of half-width 1 around the segment.
  std::vector<Result> r = run({{{40, 60}, {8, 0}, {1, 1, 1, 1}}}, 1, still, everywhere({0, 0.5f, 1, 1}), 1000, 0.5f, 0.25f);
  EXPECT_EQ(r[0].head, float2(44, 60));
  const float2 expected[6] = {{44, 61}, {44, 59}, {40, 61}, {44, 59}, {40, 61}, {40, 59}};
  for (int v = 0; v < 6; ++v) {
    EXPECT_NEAR(r[0].vertex[v].x, expected[v].x, 1e-4) << v;
    EXPECT_NEAR(r[0].vertex[v].y, expected[v].y, 1e-4) << v;
  }
  // now_tick 1000: half way to the dye under the line; alpha forced to 1.
  EXPECT_NEAR(r[0].color.x, 0.5f, 1e-6);
  EXPECT_NEAR(r[0].color.y, 0.75f, 1e-3);
  EXPECT_NEAR(r[0].color.z, 1.0f, 1e-3);
  EXPECT_EQ(r[0].color.w, 1);
  // Head vertices at full colour, tail vertices times fade, alpha included.
  for (int v : {0, 1, 3}) EXPECT_EQ(r[0].vertexColor[v], r[0].color);
  for (int v : {2, 4, 5}) {
    EXPECT_NEAR(r[0].vertexColor[v].x, r[0].color.x * 0.25f, 1e-6);
    EXPECT_NEAR(r[0].vertexColor[v].w, 0.25f, 1e-6);
  }
}

TEST_F(LineKernelTest, VelocityPushesAndNaNReadsAsZero) {
  // The push is velocity x diagonal / 320000 x tick / 16.
  const float push = 1000 * (kSide * 1.41421356f / 320000.0f) * (32 / 16.0f);
  // Pushed only where the field moves: the top rows of the texture are the
  // top of the drawable, where y is large.
  auto topRows = [](int, int y) { return y < 4 ? Texel{1000, 0, 0, 1} : Texel{0, 0, 0, 1}; };
  std::vector<Result> pushed = run({{{50, 90}, {3, 0}}, {{50, 10}, {3, 0}}}, 2, topRows, still, 32);
  EXPECT_NEAR(pushed[0].power.x, 3 + push, 1e-2);
  EXPECT_EQ(pushed[1].power.x, 3);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<Result> r = run({{{50, 50}, {3, 0}, {0.5f, 0.5f, 0.5f, 1}}}, 1, everywhere({nan, 1, 0, 1}),
                              everywhere({nan, nan, nan, 1}), 1000);
  EXPECT_EQ(r[0].power, float2(3, 0));
  EXPECT_EQ(r[0].head, float2(53, 50));
  EXPECT_NEAR(r[0].color.x, 0.25f, 1e-6);  // half way to black
}

TEST_F(LineKernelTest, ThreadsPastTheLimitWriteNothing) {
  std::vector<Result> r = run({{{10, 10}, {3, 3}}, {{20, 20}, {3, 3}}, {{30, 30}, {3, 3}}}, 2, still, still);
  EXPECT_EQ(r[1].head, float2(23, 17));
  for (int i : {2, 3}) {
    EXPECT_EQ(r[i].head.x, i == 2 ? 30 : -7) << i;
    EXPECT_EQ(r[i].power, i == 2 ? float2(3, 3) : float2(-7, -7)) << i;
    for (int v = 0; v < 6; ++v) EXPECT_EQ(r[i].vertex[v], float2(-7, -7)) << i << " vertex " << v;
  }
}

// --- Trail passes and whole frames ---

TEST_F(RendererTest, TrailPassesFlipTheTrailTexturesOncePerFrame) {
  sizeTo(kWidth, kHeight);
  auto cb = renderer->commandQueue->commandBuffer();
  const bool front = renderer->lineFrontBuffer;
  renderer->encodeLineTrails(*cb, surface->currentDrawable()->texture());
  std::vector<RecordedPass> passes = recordedPasses(*cb);
  cb->commit();
  ASSERT_EQ(passes.size(), 3u);
  const gpu::Texture* current = renderer->line_textures_[front ? 0 : 1].get();
  const gpu::Texture* previous = renderer->line_textures_[front ? 1 : 0].get();
  EXPECT_EQ(passes[0].label, "Draw Fade");
  EXPECT_EQ(passes[0].target, current);
  EXPECT_EQ(passes[0].textures, std::vector<const gpu::Texture*>{previous});
  EXPECT_EQ(passes[0].load, gpu::LoadAction::Clear);
  EXPECT_EQ(passes[1].label, "Draw Line");
  EXPECT_EQ(passes[1].target, current);
  EXPECT_EQ(passes[1].load, gpu::LoadAction::Load);
  EXPECT_EQ(passes[1].vertexCount, 6u * 9000u);
  EXPECT_EQ(passes[2].label, "Draw Vireon Line");
  EXPECT_EQ(passes[2].target, surface->currentDrawable()->texture().get());
  EXPECT_EQ(passes[2].textures, std::vector<const gpu::Texture*>{current});
  EXPECT_EQ(passes[2].load, gpu::LoadAction::Load);
  EXPECT_NE(renderer->lineFrontBuffer, front);

  // Frames without lines leave the flag and the trails alone.
  const bool flag = renderer->lineFrontBuffer;
  renderer->linesEnabled = false;
  frame();
  renderer->linesEnabled = true;
  renderer->setFluidParticles(true, 100, 0.98f, 0.008f, 1, 0);
  frame();
  EXPECT_EQ(renderer->lineFrontBuffer, flag);
  renderer->setFluidParticles(true, 100, 0.98f, 0.008f, 1, 1);
  frame();
  EXPECT_NE(renderer->lineFrontBuffer, flag);
}

TEST_F(RendererTest, FramesWithEverythingOnAndOff) {
  sizeTo(kWidth, kHeight);
  float2 p(30, 60);
  renderer->touch->began(&p, 1);
  auto run = [&](int frames) {
    for (int i = 0; i < frames; ++i) {
      float2 previous = p;
      p = float2(80 + 50 * std::cos(i * 0.25f), 60 + 35 * std::sin(i * 0.25f));
      renderer->touch->moved(&p, &previous, 1);
      frame();
    }
  };
  // Everything on: defaults plus lighting from the pressure and 15000 lines,
  // and a strong stir so that lines on this small drawable get going.
  renderer->use_shading_pressure = true;
  renderer->setFluidOptions(0.03f, 0.1f, 0.8f, 0.8f, 0.1f, 10.0f);
  renderer->setFluidParticles(true, 200, 0.98f, 0.008f, 1, 15000);
  run(40);
  std::vector<float> on = surface->currentDrawable()->texture()->readPixels();
  EXPECT_TRUE(allFinite(on));
  std::vector<float> trails = renderer->line_textures_[renderer->lineFrontBuffer ? 1 : 0]->readPixels();
  float brightestTrail = 0;
  for (std::size_t i = 0; i < trails.size(); i += 4) brightestTrail = std::max({brightestTrail, trails[i], trails[i + 1], trails[i + 2]});
  EXPECT_GT(brightestTrail, 0.05f) << "the trails drew something";
  for (const auto& t : renderer->renderTargets) EXPECT_TRUE(allFinite(t->readPixels()));

  // Everything off.
  renderer->use_shading_pressure = false;
  renderer->setFluidEffects(false, false, false);
  renderer->setFluidParticles(false, 200, 0.98f, 0.008f, 1, 0);
  run(20);
  std::vector<float> off = surface->currentDrawable()->texture()->readPixels();
  EXPECT_TRUE(allFinite(off));
  EXPECT_GT(*std::max_element(off.begin(), off.end()), 0.05f);
}

}  // namespace
