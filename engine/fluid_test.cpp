// The fluid shaders against CPU references on 8x8 fields, the recorded pass
// sequence, and whole frames on a 160x120 drawable.
#include <algorithm>
#include <functional>

#include "engine/RendererTestSupport.h"

namespace {

constexpr int N = 8;
constexpr float kHalfTolerance = 2e-3f;  // relative, for half-float fields

// A field of values that differ everywhere, from a seed.
Texel fieldAt(int x, int y, float seed) {
  return {std::sin(x * 0.9f + y * 0.4f + seed) * 3, std::cos(x * 0.3f - y * 1.1f + seed) * 2, 0.25f * seed, 1};
}

class FluidShaderTest : public RendererTest {
 protected:
  static Texel clamped(const std::function<Texel(int, int)>& f, int x, int y) {
    return f(std::clamp(x, 0, N - 1), std::clamp(y, 0, N - 1));
  }
  // Compares every texel of an 8x8 output with the reference.
  static void expectField(const std::vector<float>& px, const std::function<Texel(int, int)>& reference) {
    for (int y = 0; y < N; ++y) {
      for (int x = 0; x < N; ++x) {
        Texel got = at(px, N, x, y), want = reference(x, y);
        const float* g = &got.r;
        const float* w = &want.r;
        for (int c = 0; c < 4; ++c) {
          EXPECT_NEAR(g[c], w[c], kHalfTolerance * std::max(1.0f, std::abs(w[c]))) << x << "," << y << " channel " << c;
        }
      }
    }
  }
  const UniformTexel texel{float2(1.0f / N, 1.0f / N)};
};

TEST_F(FluidShaderTest, CurlReadsTheXChannelAtAllFourNeighbours) {
  auto field = [](int x, int y) { return fieldAt(x, y, 0.5f); };
  std::vector<float> px = runQuadPass(renderer->curl_pass_, N, N, {texture(N, N, field)}, &texel, sizeof texel);
  // T is the row below (v grows downwards), B the row above.
  expectField(px, [&](int x, int y) {
    float curl = clamped(field, x + 1, y).r - clamped(field, x - 1, y).r - clamped(field, x, y + 1).r +
                 clamped(field, x, y - 1).r;
    return Texel{0.5f * curl, 0, 0, 1};
  });
  std::vector<float> uniform =
      runQuadPass(renderer->curl_pass_, N, N, {texture(N, N, [](int, int) { return Texel{3, -2, 0, 1}; })}, &texel,
                  sizeof texel);
  expectField(uniform, [](int, int) { return Texel{0, 0, 0, 1}; });
}

TEST_F(FluidShaderTest, VorticityConfinesAndClampsTheVelocity) {
  auto curl = [](int x, int y) { return fieldAt(x, y, 1.5f); };
  auto velocity = [](int x, int y) { return fieldAt(x, y, 2.5f); };
  const UniformVorticity u{float2(1.0f / N, 1.0f / N), 0.7f, 0.25f};
  std::vector<float> px = runQuadPass(renderer->vorticity_pass_, N, N, {texture(N, N, velocity), texture(N, N, curl)},
                                      &u, sizeof u);
  expectField(px, [&](int x, int y) {
    float L = clamped(curl, x - 1, y).r, R = clamped(curl, x + 1, y).r, T = clamped(curl, x, y + 1).r,
          B = clamped(curl, x, y - 1).r, C = curl(x, y).r;
    float fx = 0.5f * (std::abs(T) - std::abs(B)), fy = 0.5f * (std::abs(R) - std::abs(L));
    float len = std::sqrt(fx * fx + fy * fy) + 0.0001f;
    fx = fx / len * 0.7f * C;
    fy = -(fy / len * 0.7f * C);
    Texel v = velocity(x, y);
    return Texel{v.r + fx * 0.25f, v.g + fy * 0.25f, 0, 1};
  });

  // A flat curl has no gradient: the force is 0 / 0.0001, and only the clamp acts.
  std::vector<float> flat = runQuadPass(
      renderer->vorticity_pass_, N, N,
      {texture(N, N, [](int, int) { return Texel{2000, -5000, 0, 1}; }), texture(N, N, [](int, int) { return Texel{4, 0, 0, 1}; })},
      &u, sizeof u);
  expectField(flat, [](int, int) { return Texel{1000, -1000, 0, 1}; });
}

TEST_F(FluidShaderTest, DivergenceMirrorsTheCentreAtTheWalls) {
  auto velocity = [](int x, int y) { return fieldAt(x, y, 3.5f); };
  std::vector<float> px =
      runQuadPass(renderer->divergence_pass_, N, N, {texture(N, N, velocity)}, &texel, sizeof texel);
  expectField(px, [&](int x, int y) {
    Texel C = velocity(x, y);
    float L = x == 0 ? -C.r : velocity(x - 1, y).r;
    float R = x == N - 1 ? -C.r : velocity(x + 1, y).r;
    float T = y == N - 1 ? -C.g : velocity(x, y + 1).g;
    float B = y == 0 ? -C.g : velocity(x, y - 1).g;
    return Texel{0.5f * (R - L + T - B), 0, 0, 1};
  });
}

TEST_F(FluidShaderTest, PressureAndGradientSteps) {
  auto pressure = [](int x, int y) { return fieldAt(x, y, 4.5f); };
  auto other = [](int x, int y) { return fieldAt(x, y, 5.5f); };
  std::vector<float> jacobi = runQuadPass(renderer->pressure_pass_, N, N,
                                          {texture(N, N, pressure), texture(N, N, other)}, &texel, sizeof texel);
  expectField(jacobi, [&](int x, int y) {
    float sum = clamped(pressure, x - 1, y).r + clamped(pressure, x + 1, y).r + clamped(pressure, x, y - 1).r +
                clamped(pressure, x, y + 1).r;
    return Texel{(sum - other(x, y).r) * 0.25f, 0, 0, 1};
  });
  std::vector<float> gradient = runQuadPass(renderer->gradient_pass_, N, N,
                                            {texture(N, N, pressure), texture(N, N, other)}, &texel, sizeof texel);
  expectField(gradient, [&](int x, int y) {
    Texel v = other(x, y);
    return Texel{v.r - (clamped(pressure, x + 1, y).r - clamped(pressure, x - 1, y).r),
                 v.g - (clamped(pressure, x, y + 1).r - clamped(pressure, x, y - 1).r), 0, 1};
  });
}

TEST_F(FluidShaderTest, AdvectionMovesAndDissipates) {
  auto dye = [](int x, int y) { return fieldAt(x, y, 6.5f); };
  // Velocity 2 texels per second for half a second: one texel to the right.
  auto velocity = [](int, int) { return Texel{2, 0, 0, 1}; };
  struct Case {
    PipelinePass StarRenderer::*pass;
    float diffusion, divisor;
  } cases[] = {
      {&StarRenderer::advect_color_pass_, 0, 1},
      {&StarRenderer::advect_color_pass_, 2, 2},  // diffusion x delta = 1 halves the field
      {&StarRenderer::advect_velocity_pass_, 2, 2},
  };
  for (const Case& c : cases) {
    const UniformAdvect u{float2(1.0f / N, 1.0f / N), 0.5f, c.diffusion};
    std::vector<float> px =
        runQuadPass((*renderer).*c.pass, N, N, {texture(N, N, dye), texture(N, N, velocity)}, &u, sizeof u);
    expectField(px, [&](int x, int y) {
      Texel d = clamped(dye, x - 1, y);
      return Texel{d.r / c.divisor, d.g / c.divisor, d.b / c.divisor, d.a / c.divisor};
    });
  }
}

TEST_F(FluidShaderTest, FadeSplatAndDisplay) {
  auto field = [](int x, int y) { return Texel{fieldAt(x, y, 7.5f).r, 0.5f, 0.25f, 0.5f}; };
  for (float fade : {1.0f, 0.0f, 0.8f}) {
    const UniformFade u{fade};
    std::vector<float> px = runQuadPass(renderer->pressure_fade_pass_, N, N, {texture(N, N, field)}, &u, sizeof u);
    expectField(px, [&](int x, int y) {
      Texel t = field(x, y);
      return Texel{t.r * fade, t.g * fade, t.b * fade, t.a * fade};
    });
  }
  auto other = [](int x, int y) { return Texel{0.5f, fieldAt(x, y, 8.5f).g, 1, 0.25f}; };
  std::vector<float> splat =
      runQuadPass(renderer->color_splat_pass_, N, N, {texture(N, N, field), texture(N, N, other)});
  expectField(splat, [&](int x, int y) {
    Texel a = field(x, y), b = other(x, y);
    return Texel{a.r + b.r, a.g + b.g, a.b + b.b, 1};
  });
  // The display copy writes (rgb, 1) into an 8-bit target.
  std::vector<float> shown = runQuadPass(renderer->display_pass_, N, N,
                                         {texture(N, N, [](int, int) { return Texel{0.5f, 2, -1, 0}; })});
  EXPECT_NEAR(at(shown, N, 3, 3).r, 0.5f, 1 / 255.0f);
  EXPECT_EQ(at(shown, N, 3, 3).g, 1);
  EXPECT_EQ(at(shown, N, 3, 3).b, 0);
  EXPECT_EQ(at(shown, N, 3, 3).a, 1);
}

TEST_F(FluidShaderTest, PointsAreSoftDiscsThatAdd) {
  constexpr int S = 32;
  const float sprite = 16;  // pixels across for a radius entry of 1
  auto pixels = [&](int count) {
    auto positions = surface->device()->newBuffer(2 * sizeof(float2));
    auto colors = surface->device()->newBuffer(2 * sizeof(float4));
    auto radii = surface->device()->newBuffer(2 * sizeof(float));
    for (int i = 0; i < 2; ++i) {
      positions->as<float2>()[i] = float2(16, 16);
      colors->as<float4>()[i] = float4(1, 0.5f, 0.25f, 1);
      radii->as<float>()[i] = 1;
    }
    for (auto* b : {positions.get(), colors.get(), radii.get()}) b->didModifyRange(0, b->length());
    const UniformVireonPoint u{Renderer::makeOrtho(0, S, 0, S, 1, -1), sprite};
    auto target = surface->device()->newTexture(gpu::PixelFormat::RGBA16Float, S, S);
    gpu::RenderPassDescriptor d;
    d.colorAttachments[0].texture = target;
    d.colorAttachments[0].loadAction = gpu::LoadAction::Clear;
    d.colorAttachments[0].clearColor = {0, 0, 0, 0};
    auto cb = renderer->commandQueue->commandBuffer();
    auto& e = cb->renderCommandEncoder(d);
    e.setRenderPipelineState(renderer->point_velocity_pass_.pipeline);
    e.setVertexBuffer(positions, 0, 0);
    e.setVertexBuffer(colors, 0, 1);
    e.setVertexBuffer(radii, 0, 2);
    e.setVertexBytes(&u, sizeof u, 3);
    e.drawPrimitives(gpu::PrimitiveType::Point, 0, count);
    e.endEncoding();
    cb->commit();
    return target->readPixels();
  };
  std::vector<float> one = pixels(1), two = pixels(2);
  for (int y = 0; y < S; ++y) {
    for (int x = 0; x < S; ++x) {
      const float d = std::hypot(x + 0.5f - 16, y + 0.5f - 16);
      const Texel a = at(one, S, x, y), b = at(two, S, x, y);
      if (d <= sprite / 4 - 0.75f) {  // a quarter of the width, less a texel's reach
        EXPECT_NEAR(a.r, 1, 1e-3) << x << "," << y;
        EXPECT_NEAR(a.g, 0.5f, 1e-3);
        EXPECT_NEAR(a.a, 1, 1e-3);
      } else if (d >= sprite / 2) {
        EXPECT_EQ(a.r, 0) << x << "," << y;
      }
      EXPECT_NEAR(b.r, 2 * a.r, 2e-3) << x << "," << y;
    }
  }
}

// --- The recorded pass sequence ---

class PassSequenceTest : public RendererTest {
 protected:
  void SetUp() override {
    RendererTest::SetUp();
    sizeTo(kWidth, kHeight);
    renderer->setFluidEffects(false, false, false);
  }
  std::vector<RecordedPass> encode() {
    auto cb = renderer->commandQueue->commandBuffer();
    renderer->encodeFluidPasses(*cb, surface->currentDrawable()->texture());
    std::vector<RecordedPass> passes = recordedPasses(*cb);
    cb->commit();
    return passes;
  }
  struct Expected {
    const char* label;
    const gpu::Texture* target;
    std::vector<const gpu::Texture*> textures;
  };
  void expectPasses(const std::vector<RecordedPass>& got, const std::vector<Expected>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].label, want[i].label) << "pass " << i;
      EXPECT_EQ(got[i].target, want[i].target) << "pass " << i << " " << want[i].label;
      EXPECT_EQ(got[i].textures, want[i].textures) << "pass " << i << " " << want[i].label;
      EXPECT_EQ(got[i].load, gpu::LoadAction::Clear) << "pass " << i;
    }
  }
  std::vector<Expected> fluidPasses(const std::vector<Expected>& pressure, const gpu::Texture* fadeSource) {
    StarRenderer& r = *renderer;
    std::vector<Expected> e = {
        {"Draw Vireon Point Color", r.point_color_texture_.get(), {}},
        {"Draw Vireon Point Velocity", r.point_velocity_texture_.get(), {}},
        {"Draw FluidColor", r.color_texture_.get(), {r.color_advect_texture_.get(), r.point_color_texture_.get()}},
        {"Draw Fluid Velocity", r.velocity_texture_.get(),
         {r.velocity_advect_texture_.get(), r.point_velocity_texture_.get()}},
        {"Draw Fluid Curl", r.curl_texture_.get(), {r.velocity_texture_.get()}},
        {"Draw Fluid Vorticity", r.velocity_vorticity_texture_.get(), {r.velocity_texture_.get(), r.curl_texture_.get()}},
        {"Draw FluidColor", r.divergence_texture_.get(), {r.velocity_vorticity_texture_.get()}},
    };
    e.insert(e.end(), pressure.begin(), pressure.end());
    std::vector<Expected> rest = {
        {"Draw Fluid Pressure(Fade)", r.pressure_fade_texture_.get(), {fadeSource}},
        {"Draw Fluid Gradient", r.velocity_gradient_texture_.get(),
         {r.pressure_texture_.get(), r.velocity_vorticity_texture_.get()}},
        {"Draw Fluid Adevect Velocity", r.velocity_advect_texture_.get(),
         {r.velocity_gradient_texture_.get(), r.velocity_gradient_texture_.get()}},
        {"Draw Fluid Adevect Color", r.color_advect_texture_.get(),
         {r.color_texture_.get(), r.velocity_advect_texture_.get()}},
        {"Draw Fluid Main", surface->currentDrawable()->texture().get(), {r.color_texture_.get()}},
    };
    e.insert(e.end(), rest.begin(), rest.end());
    return e;
  }
  // Jacobi iterations: the last always writes pressure_texture_.
  std::vector<Expected> jacobi(int iterations) {
    StarRenderer& r = *renderer;
    std::vector<Expected> e;
    const gpu::Texture* source = r.pressure_fade_texture_.get();
    for (int k = 0; k < iterations; ++k) {
      const gpu::Texture* target =
          (iterations - 1 - k) % 2 == 0 ? r.pressure_texture_.get() : r.pressure_swap_texture_.get();
      e.push_back({"Solve Pressure Iterative", target, {source, r.divergence_texture_.get()}});
      source = target;
    }
    return e;
  }
};

TEST_F(PassSequenceTest, FirstFrameFadesTheDivergenceAndSolvesNothing) {
  EXPECT_FALSE(renderer->pressureHistoryValid);
  expectPasses(encode(), fluidPasses({}, renderer->divergence_texture_.get()));
  EXPECT_TRUE(renderer->pressureHistoryValid);
}

TEST_F(PassSequenceTest, LaterFramesRunTheJacobiPingPong) {
  encode();
  expectPasses(encode(), fluidPasses(jacobi(20), renderer->pressure_texture_.get()));
  renderer->pressureIterations = 1;
  expectPasses(encode(), fluidPasses(jacobi(1), renderer->pressure_texture_.get()));
  renderer->pressureIterations = 3;
  expectPasses(encode(), fluidPasses(jacobi(3), renderer->pressure_texture_.get()));
  renderer->pressureIterations = 0;
  expectPasses(encode(), fluidPasses({}, renderer->pressure_texture_.get()));
  renderer->usePressureIteration = false;
  expectPasses(encode(), fluidPasses({{"Draw Fluid Pressure", renderer->pressure_texture_.get(),
                                       {renderer->pressure_fade_texture_.get(), renderer->divergence_texture_.get()}}},
                                     renderer->pressure_texture_.get()));
  // A rebuild does not forget the history.
  sizeTo(80, 60);
  EXPECT_TRUE(renderer->pressureHistoryValid);
}

TEST_F(PassSequenceTest, PointPassesDrawExactlyThisFramesSplats) {
  renderer->setFluidParticles(false, 50, 0.98f, 0.008f, 1, 0);
  float2 p = drag(float2(20, 60), float2(10, 0), 4, false);
  ASSERT_GT(renderer->splatPointsWritten(), 0);
  std::vector<RecordedPass> passes = encode();
  for (int i : {0, 1}) {
    EXPECT_TRUE(passes[i].points);
    EXPECT_EQ(passes[i].vertexCount, static_cast<std::size_t>(renderer->splatPointsWritten()));
  }
  // No finger and no particles: both point passes still clear their targets, with nothing drawn.
  renderer->touch->ended(&p, 1);
  nowMs += 16;
  renderer->update();
  passes = encode();
  EXPECT_EQ(passes[0].vertexCount, 0u);
  EXPECT_EQ(passes[1].vertexCount, 0u);
}

// --- Whole frames ---

TEST_F(RendererTest, DragLeavesDyeAlongItsPathAndNothingGoesNaN) {
  sizeTo(kWidth, kHeight);
  renderer->setFluidParticles(false, 0, 0.98f, 0.008f, 1, 0);  // strokes only, no lines
  renderer->setFluidEffects(false, false, false);
  // A light touch, so the dye stays where the finger put it.
  renderer->setFluidOptions(0.03f, 0.1f, 0.8f, 0.8f, 0.1f, 0.02f);
  // A finger from (20, 90) to (140, 90), top-left origin, over 30 frames.
  float2 p = drag(float2(20, kHeight - 90.0f), float2(4, 0), 30);
  renderer->touch->ended(&p, 1);

  std::vector<float> dye = renderer->color_texture_->readPixels();
  auto brightness = [&](int x, int y) {
    Texel t = at(dye, kWidth, x, y);
    return std::max({std::abs(t.r), std::abs(t.g), std::abs(t.b)});
  };
  int dyedAlongPath = 0;
  for (int x = 40; x < 130; x += 10) dyedAlongPath += brightness(x, 90) > 0.05f;
  EXPECT_GE(dyedAlongPath, 7);
  for (int x = 0; x < static_cast<int>(kWidth); x += 4) {
    EXPECT_LT(brightness(x, 10), 1e-3) << x;   // 80 pixels above the stroke
    EXPECT_LT(brightness(x, 30), 1e-3) << x;
  }
  // The drawable shows the dye (no effects: a plain copy).
  Texel shown = at(surface->currentDrawable()->texture()->readPixels(), kWidth, 80, 90);
  EXPECT_GT(std::max({shown.r, shown.g, shown.b}), 0.05f);

  // Default options, particles and a moving finger for 100 frames: all fields finite.
  renderer->setFluidParticles(true, 200, 0.98f, 0.008f, 1, 9000);
  renderer->setFluidEffects(true, true, true);
  renderer->touch->began(&p, 1);
  for (int i = 0; i < 100; ++i) {
    float2 previous = p;
    p = float2(80 + 60 * std::cos(i * 0.2f), 60 + 40 * std::sin(i * 0.3f));
    renderer->touch->moved(&p, &previous, 1);
    frame();
  }
  for (const auto& t : {renderer->color_texture_, renderer->velocity_texture_, renderer->pressure_texture_,
                        renderer->color_advect_texture_, renderer->velocity_advect_texture_}) {
    EXPECT_TRUE(allFinite(t->readPixels())) << t->width() << "x" << t->height();
  }
}

}  // namespace
