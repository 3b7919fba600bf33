// Test support for the renderer: a real headless GPU context, a renderer
// with a clock and a random generator the test controls, and helpers to read
// what a frame recorded and to run one pipeline on small textures.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/Log.h"
#include "engine/StarRenderer.h"
#include "platform/gpu/surface.h"

class TestRenderer : public StarRenderer {
 public:
  using StarRenderer::setComputePipelineDescriptor;
  using StarRenderer::setRenderPipelineDescriptor;
  using StarRenderer::StarRenderer;

  bool update() override {
    if (onUpdate) onUpdate();
    return StarRenderer::update();
  }
  std::function<void()> onUpdate;
};

// One recorded render pass: its label, target, load action and what it drew.
struct RecordedPass {
  std::string label;
  const gpu::Texture* target = nullptr;
  gpu::LoadAction load = gpu::LoadAction::Load;
  std::vector<const gpu::Texture*> textures;  // by slot
  std::size_t vertexCount = 0;
  bool points = false;
};

inline std::vector<RecordedPass> recordedPasses(const gpu::CommandBuffer& cb) {
  std::vector<RecordedPass> passes;
  for (const gpu::Command& c : cb.commands()) {
    switch (c.op) {
      case gpu::Command::Op::BeginRenderPass:
        passes.push_back({std::string(cb.label(c)), c.texture.get(), c.loadAction, {}, 0, false});
        break;
      case gpu::Command::Op::SetFragmentTexture:
        passes.back().textures.resize(std::max<std::size_t>(passes.back().textures.size(), c.index + 1));
        passes.back().textures[c.index] = c.texture.get();
        break;
      case gpu::Command::Op::DrawPrimitives:
        passes.back().vertexCount = c.count;
        passes.back().points = c.primitive == gpu::PrimitiveType::Point;
        break;
      default:
        break;
    }
  }
  return passes;
}

// A texel as read back.
struct Texel {
  float r, g, b, a;
};

class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::setPrintSink([this](std::string_view s) { printed += s; });
    auto s = gpu::HeadlessSurface::create(kWidth, kHeight);
    ASSERT_TRUE(s.ok()) << s.error().text();
    surface = std::move(s).value();
    renderer = std::make_unique<TestRenderer>(surface->device(), services());
  }
  void TearDown() override {
    renderer.reset();
    surface.reset();
    engine::setPrintSink(nullptr);
  }

  engine::Services services() {
    engine::Services s;
    s.steadyMillis = [this] { return nowMs; };
    s.calendarSeconds = [] { return std::int64_t{1700000000}; };
    s.seedRandom = [this](unsigned seed) { rng.seed(seed); };
    s.nextRandom = [this] { return static_cast<int>(rng() & 0x7fffffff); };
    return s;
  }

  void sizeTo(std::size_t w, std::size_t h) {
    surface->resize(w, h);
    renderer->drawableSizeWillChange({w, h, 0});
  }

  // One frame at a steady 16 ms.
  void frame() {
    nowMs += 16;
    renderer->draw(false, surface->currentDrawable(), nullptr);
  }

  // One finger down at `at`, then `moves` moves of `step`, each followed by
  // a frame (or by the model's update alone). Answers where the finger is.
  float2 drag(float2 at, float2 step, int moves, bool drawFrames = true) {
    renderer->touch->began(&at, 1);
    for (int i = 0; i < moves; ++i) {
      float2 previous = at;
      at += step;
      renderer->touch->moved(&at, &previous, 1);
      if (drawFrames) {
        frame();
      } else {
        nowMs += 16;
        renderer->update();
      }
    }
    return at;
  }

  static Texel at(const std::vector<float>& px, std::size_t width, std::size_t x, std::size_t y) {
    const float* p = &px[(y * width + x) * 4];
    return {p[0], p[1], p[2], p[3]};
  }

  std::shared_ptr<gpu::Texture> texture(std::size_t w, std::size_t h, const std::function<Texel(int x, int y)>& f,
                                        gpu::PixelFormat format = gpu::PixelFormat::RGBA16Float) {
    auto t = surface->device()->newTexture(format, w, h);
    std::vector<float> values;
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        Texel v = f(static_cast<int>(x), static_cast<int>(y));
        values.insert(values.end(), {v.r, v.g, v.b, v.a});
      }
    }
    t->replace(values);
    return t;
  }

  // Runs one full-screen pass of `pass` into a new texture and reads it.
  std::vector<float> runQuadPass(PipelinePass& pass, std::size_t w, std::size_t h,
                                 std::initializer_list<std::shared_ptr<gpu::Texture>> textures,
                                 const void* fragmentBytes = nullptr, std::size_t fragmentLength = 0,
                                 const void* vertexBytes = nullptr, std::size_t vertexLength = 0) {
    auto target = surface->device()->newTexture(pass.pipeline->colorAttachment().pixelFormat, w, h);
    gpu::RenderPassDescriptor d;
    d.colorAttachments[0].texture = target;
    d.colorAttachments[0].loadAction = gpu::LoadAction::Clear;
    auto cb = renderer->commandQueue->commandBuffer();
    auto& e = cb->renderCommandEncoder(d);
    e.setRenderPipelineState(pass.pipeline);
    e.setVertexBuffer(renderer->quad_vertex_buffer_, 0, 0);
    if (vertexBytes) e.setVertexBytes(vertexBytes, vertexLength, 1);
    std::uint32_t slot = 0;
    for (const auto& t : textures) e.setFragmentTexture(t, slot++);
    if (fragmentBytes) e.setFragmentBytes(fragmentBytes, fragmentLength, 0);
    e.drawPrimitives(gpu::PrimitiveType::Triangle, 0, 6);
    e.endEncoding();
    cb->commit();
    return target->readPixels();
  }

  // Units the frame semaphore holds now (taken and given back).
  long framesFree() {
    long n = 0;
    while (renderer->frameSemaphore.wait(foundation::Deadline::afterSeconds(0))) ++n;
    for (long i = 0; i < n; ++i) renderer->frameSemaphore.signal();
    return n;
  }

  static bool allFinite(const std::vector<float>& px) {
    for (float v : px) {
      if (!std::isfinite(v)) return false;
    }
    return true;
  }

  static constexpr std::size_t kWidth = 160, kHeight = 120;
  std::uint64_t nowMs = 5000;
  std::minstd_rand rng{1};
  std::string printed;
  std::unique_ptr<gpu::HeadlessSurface> surface;
  std::unique_ptr<TestRenderer> renderer;
};
