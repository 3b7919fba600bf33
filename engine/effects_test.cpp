// The effect shaders and the effects chain on a real headless context.
#include <algorithm>
#include <cstring>

#include "engine/RendererTestSupport.h"

namespace {

constexpr int N = 8;

Texel uniformTexel(float r, float g, float b, float a) { return {r, g, b, a}; }

class EffectShaderTest : public RendererTest {
 protected:
  std::shared_ptr<gpu::Texture> flat(Texel t) {
    return texture(N, N, [t](int, int) { return t; });
  }
};

TEST_F(EffectShaderTest, PrefilterKeepsOnlyTheBrightPartWithAlphaZero) {
  const float threshold = 0.4f, knee = threshold * 0.5f + 0.0001f;
  const UniformBloomPrefilter u{float3(threshold - knee, knee * 2, 0.25f / knee), threshold};
  struct Case {
    Texel in;
  } cases[] = {{{0, 0, 0, 1}}, {{0.1f, 0.05f, 0, 1}}, {{0.5f, 0.3f, 0.1f, 1}}, {{2, 1, 0.5f, 1}}};
  for (const Case& c : cases) {
    std::vector<float> px = runQuadPass(renderer->bloom_prefilter_pass_, N, N, {flat(c.in)}, &u, sizeof u);
    const float br = std::max({c.in.r, c.in.g, c.in.b});
    float rq = std::clamp(br - u.curve.x, 0.0f, u.curve.y);
    rq = u.curve.z * rq * rq;
    const float k = std::max(rq, br - threshold) / std::max(br, 0.0001f);
    Texel got = at(px, N, 4, 4);
    EXPECT_NEAR(got.r, c.in.r * k, 2e-3) << br;
    EXPECT_NEAR(got.g, c.in.g * k, 2e-3) << br;
    EXPECT_EQ(got.a, 0) << br;
    if (br == 0) {
      EXPECT_EQ(got.r, 0);
    }
  }
}

TEST_F(EffectShaderTest, BlurAndFinalAverageFourNeighbours) {
  auto field = [](int x, int y) { return Texel{float(x), float(y * 2), 1, float(x + y)}; };
  const UniformBloomVertex v{float2(1.0f / N, 1.0f / N)};
  const UniformBloomFinal f{0.4f};
  std::vector<float> blur = runQuadPass(renderer->bloom_blur_pass_, N, N, {texture(N, N, field)}, nullptr, 0, &v, sizeof v);
  std::vector<float> final = runQuadPass(renderer->bloom_final_pass_, N, N, {texture(N, N, field)}, &f, sizeof f, &v, sizeof v);
  // Away from the edges the four taps are the four neighbours: their mean is the centre here.
  for (int y = 1; y < N - 1; ++y) {
    for (int x = 1; x < N - 1; ++x) {
      EXPECT_NEAR(at(blur, N, x, y).r, x, 2e-3);
      EXPECT_NEAR(at(blur, N, x, y).a, x + y, 1e-2);
      EXPECT_NEAR(at(final, N, x, y).g, 0.4f * y * 2, 1e-2);
    }
  }
  EXPECT_NEAR(at(blur, N, 0, 4).r, (0 + 0 + 1 + 0) / 4.0f, 2e-3);  // the left tap clamps to the edge
}

TEST_F(EffectShaderTest, SunraysMaskRaysAndBlur) {
  for (float br : {0.0f, 0.01f, 0.03f, 0.04f, 0.5f, 4.0f}) {
    std::vector<float> px =
        runQuadPass(renderer->sunrays_mask_pass_, N, N, {flat(uniformTexel(br, br / 2, 0, 0.3f))});
    const float a = at(px, N, 2, 2).a;
    EXPECT_NEAR(a, 1.0f - std::min(br * 20, 0.8f), 2e-3) << br;
    EXPECT_GE(a, 0.2f - 1e-3);
    EXPECT_LE(a, 1.0f);
    EXPECT_NEAR(at(px, N, 2, 2).r, br, 2e-3 * std::max(1.0f, br));
  }
  // A uniform mask: every one of the 17 samples reads the same alpha.
  const UniformSunrays rays{1.0f};
  std::vector<float> px = runQuadPass(renderer->sunrays_pass_, N, N, {flat(uniformTexel(0, 0, 0, 0.5f))}, &rays, sizeof rays);
  const float expected = 0.5f * (1 + (1 - std::pow(0.95f, 16.0f)) / 0.05f) * 0.7f;
  EXPECT_NEAR(at(px, N, 4, 4).r, expected, 1e-2);
  EXPECT_NEAR(at(px, N, 0, 7).r, expected, 1e-2);
  EXPECT_EQ(at(px, N, 4, 4).a, 1);

  // Horizontal blur: 4/3 of a texel each side, bilinear between neighbours.
  auto field = [](int x, int) { return Texel{float(x * x), 0, 0, 1}; };
  const UniformSunraysBlur h{float2(1.0f / N, 0)};
  std::vector<float> blur = runQuadPass(renderer->sunrays_blur_pass_, N, N, {texture(N, N, field)}, nullptr, 0, &h, sizeof h);
  auto sample = [](float x) {  // bilinear in x, clamped
    x = std::clamp(x, 0.0f, float(N - 1));
    int x0 = int(x);
    int x1 = std::min(x0 + 1, N - 1);
    float f = x - x0;
    return x0 * x0 * (1 - f) + x1 * x1 * f;
  };
  for (int x = 2; x < N - 2; ++x) {
    const float want = sample(x) * 0.29411764f + sample(x - 4 / 3.0f) * 0.35294117f + sample(x + 4 / 3.0f) * 0.35294117f;
    EXPECT_NEAR(at(blur, N, x, 3).r, want, 0.02f * want + 0.02f) << x;
  }
}

TEST_F(EffectShaderTest, HeightAndNormalMaps) {
  const UniformHeightFromPressure hs{2.0f};
  struct Case {
    float pressure, height;
  } cases[] = {{0, 0.5f}, {0.1f, 0.7f}, {-0.1f, 0.3f}, {0.5f, 1}, {-3, 0}};
  for (const Case& c : cases) {
    std::vector<float> px =
        runQuadPass(renderer->height_from_pressure_pass_, N, N, {flat(uniformTexel(c.pressure, 0, 0, 1))}, &hs, sizeof hs);
    EXPECT_NEAR(at(px, N, 3, 3).r, c.height, 2e-3) << c.pressure;
    EXPECT_NEAR(at(px, N, 3, 3).b, c.height, 2e-3);
  }
  const UniformNormalFromHeight n{float2(1.0f / N, 1.0f / N), 2.0f};
  std::vector<float> px = runQuadPass(renderer->normal_from_height_pass_, N, N, {flat(uniformTexel(0.7f, 0, 0, 1))}, &n, sizeof n);
  for (int i : {0, 3, 7}) {
    Texel t = at(px, N, i, i);
    EXPECT_NEAR(t.r, 0.5f, 1e-3);
    EXPECT_NEAR(t.g, 0.5f, 1e-3);
    EXPECT_NEAR(t.b, 0.0f, 1e-3);
    EXPECT_EQ(t.a, 1);
  }
}

TEST_F(EffectShaderTest, CompositionFlags) {
  const Texel dye{0.5f, 0.25f, 0.125f, 1};
  auto color = flat(dye), bloom = flat({0.2f, 0.2f, 0.2f, 1}), noise = flat({0, 0, 0, 1}),
       sunrays = flat({0.5f, 0, 0, 1}), normal = flat({0.5f, 0.5f, 1, 1});
  auto gamma = [](float c) { return std::max(1.055f * std::pow(std::max(c, 0.0f), 0.416666667f) - 0.055f, 0.0f); };
  struct Case {
    int shading, pressure, bloom, sunrays;
    float3 expected;
  } cases[] = {
      {0, 0, 0, 0, {0.5f, 0.25f, 0.125f}},  // plain: (c, max channel)
      {1, 0, 0, 0, {0.5f, 0.25f, 0.125f}},  // a flat dye has no gradient to shade
      {0, 0, 0, 1, {0.25f, 0.125f, 0.0625f}},
      {0, 0, 1, 0, {0.5f + gamma(0.2f - 1 / 255.0f), 0.25f + gamma(0.2f - 1 / 255.0f), 0.125f + gamma(0.2f - 1 / 255.0f)}},
      {0, 0, 1, 1, {0.25f + gamma(0.1f - 1 / 255.0f), 0.125f + gamma(0.1f - 1 / 255.0f), 0.0625f + gamma(0.1f - 1 / 255.0f)}},
  };
  const UniformBloomVertex v{float2(1.0f / N, 1.0f / N)};
  for (const Case& c : cases) {
    const UniformFluidEffects u{float2(4, 4), float2(1.0f / N, 1.0f / N), c.shading, c.pressure, c.bloom, c.sunrays};
    std::vector<float> px =
        runQuadPass(renderer->effects_pass_, N, N, {color, bloom, noise, sunrays, normal}, &u, sizeof u, &v, sizeof v);
    Texel t = at(px, N, 4, 4);
    const float tolerance = 1.5f / 255;
    EXPECT_NEAR(t.r, std::min(c.expected.x, 1.0f), tolerance) << c.shading << c.pressure << c.bloom << c.sunrays;
    EXPECT_NEAR(t.g, std::min(c.expected.y, 1.0f), tolerance);
    EXPECT_NEAR(t.b, std::min(c.expected.z, 1.0f), tolerance);
    EXPECT_NEAR(t.a, std::min(std::max({c.expected.x, c.expected.y, c.expected.z}), 1.0f), tolerance);
  }
}

// --- The chain as recorded ---

class EffectsChainTest : public RendererTest {
 protected:
  void SetUp() override {
    RendererTest::SetUp();
    sizeTo(kWidth, kHeight);  // a 32 x 24 grid: three bloom levels
  }
  struct Encoded {
    std::vector<RecordedPass> passes;
    UniformFluidEffects effects{};
  };
  Encoded encode() {
    auto cb = renderer->commandQueue->commandBuffer();
    renderer->encodeFluidPasses(*cb, surface->currentDrawable()->texture());
    Encoded e{recordedPasses(*cb), {}};
    // The composite's fragment bytes are the last fragment bytes recorded.
    for (const gpu::Command& c : cb->commands()) {
      if (c.op == gpu::Command::Op::SetFragmentBytes && c.dataLength == sizeof(UniformFluidEffects)) {
        std::memcpy(&e.effects, cb->bytes(c).data(), sizeof e.effects);
      }
    }
    cb->commit();
    // Only the picture's passes: everything after the colour advection.
    auto advect = std::find_if(e.passes.begin(), e.passes.end(),
                               [](const RecordedPass& p) { return p.label == "Draw Fluid Adevect Color"; });
    e.passes.erase(e.passes.begin(), advect + 1);
    return e;
  }
  static std::vector<std::string> labels(const std::vector<RecordedPass>& passes) {
    std::vector<std::string> out;
    for (const auto& p : passes) out.push_back(p.label);
    return out;
  }
};

TEST_F(EffectsChainTest, DefaultOptionsRunSunraysBloomAndComposite) {
  ASSERT_EQ(renderer->bloomLevelCount(), 3);
  Encoded e = encode();
  EXPECT_EQ(labels(e.passes),
            (std::vector<std::string>{"Sunrays Mask", "Sunrays", "Sunrays Blur Horizontal", "Sunrays Blur Vertical",
                                      "Bloom Prefilter", "Bloom Blur Down", "Bloom Blur Down", "Bloom Blur Down",
                                      "Bloom Blur Up", "Bloom Blur Up", "Bloom Final", "Draw Fluid With Effects"}));
  StarRenderer& r = *renderer;
  const auto& levels = r.bloom_levels_;
  // Targets and sources of the pyramid; every pass clears first, the up passes too.
  struct Step {
    const gpu::Texture *target, *source;
  } steps[] = {
      {r.sunrays_mask_texture_.get(), r.color_texture_.get()},  {r.sunrays_texture_.get(), r.sunrays_mask_texture_.get()},
      {r.sunrays_blur_texture_.get(), r.sunrays_texture_.get()}, {r.sunrays_texture_.get(), r.sunrays_blur_texture_.get()},
      {r.bloom_texture_.get(), r.color_texture_.get()},          {levels[0].get(), r.bloom_texture_.get()},
      {levels[1].get(), levels[0].get()},                        {levels[2].get(), levels[1].get()},
      {levels[1].get(), levels[2].get()},                        {levels[0].get(), levels[1].get()},
      {r.bloom_texture_.get(), levels[0].get()},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(e.passes[i].target, steps[i].target) << e.passes[i].label << " " << i;
    ASSERT_FALSE(e.passes[i].textures.empty());
    EXPECT_EQ(e.passes[i].textures[0], steps[i].source) << e.passes[i].label << " " << i;
    EXPECT_EQ(e.passes[i].load, gpu::LoadAction::Clear);
  }
  const RecordedPass& composite = e.passes.back();
  EXPECT_EQ(composite.target, surface->currentDrawable()->texture().get());
  EXPECT_EQ(composite.textures, (std::vector<const gpu::Texture*>{r.color_texture_.get(), r.bloom_texture_.get(),
                                                                  r.noise_texture_.get(), r.sunrays_texture_.get(),
                                                                  r.normal_texture_.get()}));
  EXPECT_EQ(e.effects.use_shading_color, 1);
  EXPECT_EQ(e.effects.use_shading_pressure, 0);
  EXPECT_EQ(e.effects.use_bloom, 1);
  EXPECT_EQ(e.effects.use_sunrays, 1);
}

TEST_F(EffectsChainTest, SwitchesChooseThePasses) {
  renderer->setFluidEffects(true, false, false);
  Encoded shadingOnly = encode();
  EXPECT_EQ(labels(shadingOnly.passes), std::vector<std::string>{"Draw Fluid With Effects"});
  EXPECT_EQ(shadingOnly.effects.use_shading_color, 1);
  EXPECT_EQ(shadingOnly.effects.use_bloom + shadingOnly.effects.use_sunrays + shadingOnly.effects.use_shading_pressure, 0);

  renderer->setFluidEffects(false, false, true);
  renderer->use_shading_pressure = true;
  EXPECT_EQ(labels(encode().passes),
            (std::vector<std::string>{"Sunrays Mask", "Sunrays", "Sunrays Blur Horizontal", "Sunrays Blur Vertical",
                                      "Height from Pressure", "Normal from Height", "Draw Fluid With Effects"}));

  renderer->use_shading_pressure = false;
  renderer->setFluidEffects(false, false, false);
  EXPECT_EQ(labels(encode().passes), std::vector<std::string>{"Draw Fluid Main"});

  // One bloom level: one down pass, no up pass.
  renderer->setFluidEffects(false, true, false);
  renderer->bloomIterations = 1;
  sizeTo(kWidth, kHeight);
  EXPECT_EQ(labels(encode().passes), (std::vector<std::string>{"Bloom Prefilter", "Bloom Blur Down", "Bloom Final",
                                                               "Draw Fluid With Effects"}));
  // No bloom level at all: bloom is skipped and the composite leaves it out.
  renderer->bloomIterations = 6;
  sizeTo(30, 15);
  Encoded none = encode();
  EXPECT_EQ(labels(none.passes), std::vector<std::string>{"Draw Fluid With Effects"});
  EXPECT_EQ(none.effects.use_bloom, 0);
}

TEST_F(RendererTest, EffectsOffShowExactlyTheDye) {
  sizeTo(kWidth, kHeight);
  renderer->setFluidEffects(false, false, false);
  renderer->setFluidParticles(true, 150, 0.98f, 0.02f, 1, 0);
  for (int i = 0; i < 5; ++i) frame();
  std::vector<float> dye = renderer->color_texture_->readPixels();
  std::vector<float> shown = surface->currentDrawable()->texture()->readPixels();
  float brightest = 0;
  for (std::size_t i = 0; i < dye.size(); i += 4) {
    for (int c = 0; c < 3; ++c) {
      ASSERT_NEAR(shown[i + c], std::clamp(dye[i + c], 0.0f, 1.0f), 0.6f / 255) << i / 4;
      brightest = std::max(brightest, dye[i + c]);
    }
    ASSERT_EQ(shown[i + 3], 1);
  }
  EXPECT_GT(brightest, 0.1f);
}

}  // namespace
