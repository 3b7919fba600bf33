#include "engine/Renderer.h"

#include <algorithm>
#include <cmath>

#include "engine/Log.h"

using gpu::PixelFormat;

Renderer::Renderer(std::shared_ptr<gpu::Device> device_, engine::Services services)
    : VireonVertex(std::move(services)), device(std::move(device_)) {}

// Textures, queues and the model's buffers go before the device that owns
// their context; the buffers live in the base class, which outlives it.
Renderer::~Renderer() {
  for (auto& t : renderTargets) t.reset();
  renderTargets.clear();
  commandQueue.reset();
  releaseModelBuffers();
}

VireonVertex::BufferMaker Renderer::deviceBufferMaker() {
  return [device = device](std::size_t length) { return device->newBuffer(length); };
}

void Renderer::selectDevice() {
  engine::print("Selected Device: %s\n", device->name().c_str());
  commandQueue = device->newCommandQueue();
}

std::shared_ptr<gpu::CommandBuffer> Renderer::makeCommandBuffer() {
  std::shared_ptr<gpu::CommandBuffer> cb = commandQueue->commandBuffer();
  cb->addCompletedHandler([this](gpu::CommandBuffer&) { frameSemaphore.signal(); });
  return cb;
}

void Renderer::waitForFrame() { frameSemaphore.wait(); }

void Renderer::clearTextures(const std::vector<std::shared_ptr<gpu::Texture>>& textures, gpu::CommandBuffer& cb) {
  if (textures.empty()) return;
  gpu::RenderPassDescriptor pass;
  for (const auto& texture : textures) {
    if (!texture) continue;
    pass.colorAttachments[0].texture = texture;
    pass.colorAttachments[0].loadAction = gpu::LoadAction::Clear;
    pass.colorAttachments[0].clearColor = {0, 0, 0, 1};
    cb.renderCommandEncoder(pass).endEncoding();
  }
}

std::shared_ptr<gpu::Texture> Renderer::drawableTexture(gpu::Drawable* drawable) {
  return drawable ? drawable->texture() : nullptr;
}

void Renderer::presentAndCommit(gpu::CommandBuffer& cb, gpu::Drawable* drawable) {
  // The surface keeps its drawables alive, so the handler holds a plain pointer.
  if (drawable) cb.addScheduledHandler([drawable](gpu::CommandBuffer&) { drawable->present(); });
  cb.commit();
}

float4x4 Renderer::makeOrtho(float l, float r, float b, float t, float n, float f) {
  float4x4 m;
  m.columns[0] = float4(2 / (r - l), 0, 0, 0);
  m.columns[1] = float4(0, 2 / (t - b), 0, 0);
  m.columns[2] = float4(0, 0, 1 / (f - n), 0);
  m.columns[3] = float4((l + r) / (l - r), (b + t) / (b - t), n / (n - f), 1);
  return m;
}

void Renderer::logLine(const char* text) { engine::print("%s \n", text); }

RenderTargetSizes renderTargetSizes(const DrawableSize& drawable, int maxLevels) {
  RenderTargetSizes s;
  s.gridWidth = static_cast<std::size_t>(static_cast<float>(drawable.width) * 0.2f);
  s.gridHeight = static_cast<std::size_t>(static_cast<float>(drawable.height) * 0.2f);
  const int n = std::clamp(maxLevels, 0, RenderTargetSizes::kMaxLevels);
  for (int i = 0; i < n; ++i) {
    const int scale = static_cast<int>(std::exp2(static_cast<double>(i + 1)));
    const int w = static_cast<int>(s.gridWidth) / scale, h = static_cast<int>(s.gridHeight) / scale;
    if (w < 2 || h < 2) break;
    s.levelWidth[i] = static_cast<std::size_t>(w);
    s.levelHeight[i] = static_cast<std::size_t>(h);
    s.levels = i + 1;
  }
  return s;
}

void Renderer::rebuildRenderTargets(const DrawableSize& size) {
  engine::print("darwable Size Will Change\n");
  for (auto& t : renderTargets) t.reset();
  renderTargets.clear();
  for (auto& level : bloom_levels_) level.reset();

  // The level count follows the drawable at every rebuild, so a small
  // drawable does not cut the bloom of every later, larger one.
  const RenderTargetSizes sizes = renderTargetSizes(size, bloomIterations);
  const std::size_t W = size.width, H = size.height, GW = sizes.gridWidth, GH = sizes.gridHeight;
  auto make = [this](std::size_t w, std::size_t h, PixelFormat format) {
    // A zero-sized target cannot exist; the slot stays empty and nothing draws into it.
    std::shared_ptr<gpu::Texture> t = (w > 0 && h > 0) ? device->newTexture(format, w, h) : nullptr;
    renderTargets.push_back(t);
    return t;
  };

  noise_texture_ = make(W, H, PixelFormat::RGBA8Unorm);
  color_texture_ = make(W, H, PixelFormat::RGBA16Float);
  color_advect_texture_ = make(W, H, PixelFormat::RGBA16Float);
  for (auto* t : {&velocity_texture_, &curl_texture_, &velocity_advect_texture_, &divergence_texture_,
                  &velocity_gradient_texture_, &pressure_texture_, &velocity_vorticity_texture_,
                  &pressure_fade_texture_, &pressure_swap_texture_, &bloom_texture_}) {
    *t = make(GW, GH, PixelFormat::RGBA16Float);
  }
  for (int i = 0; i < sizes.levels; ++i) {
    bloom_levels_[i] = make(sizes.levelWidth[i], sizes.levelHeight[i], PixelFormat::RGBA16Float);
  }
  bloomLevelCount_ = sizes.levels;
  sunrays_mask_texture_ = make(GW, GH, PixelFormat::RGBA16Float);
  sunrays_texture_ = make(GW, GH, PixelFormat::RGBA16Float);
  sunrays_blur_texture_ = make(GW, GH, PixelFormat::RGBA16Float);
  height_texture_ = make(W, H, PixelFormat::RGBA16Float);
  normal_texture_ = make(W, H, PixelFormat::RGBA16Float);
  point_color_texture_ = make(GW, GH, PixelFormat::RGBA8Unorm);
  point_velocity_texture_ = make(GW, GH, PixelFormat::RGBA16Float);
  line_textures_[0] = make(W, H, PixelFormat::RGBA8Unorm);
  line_textures_[1] = make(W, H, PixelFormat::RGBA8Unorm);

  // Not a frame: its completion must not signal the frame semaphore, or
  // every resize would let one more frame into flight.
  std::shared_ptr<gpu::CommandBuffer> cb = commandQueue->commandBuffer();
  clearTextures(renderTargets, *cb);
  cb->commit();
}
