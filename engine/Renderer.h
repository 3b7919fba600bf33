// The frame driver between the shell and the engine's passes: the device,
// the command queue, a frame semaphore that keeps one frame in flight, and
// every render target sized from the drawable.
//
// For the shell: construct a StarRenderer with the surface's device, call
// drawableSizeWillChange with the drawable size before the first frame and at
// every size change, and draw once per display frame with the surface's
// current drawable. Touches go into `touch` (StarTouch's writer helpers);
// options through setFluidOptions / setFluidParticles / setFluidEffects.
// Everything runs on the thread that owns the GL context.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/VireonVertex.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/gpu/gpu.h"

// A drawable size: width and height in pixels; depth is ignored.
struct DrawableSize {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t depth = 0;
};

// The simulation grid (a fifth of the drawable each way) and the bloom
// levels (each half the one before, starting at half the grid, while both
// sides stay at least 2), for at most maxLevels levels.
struct RenderTargetSizes {
  static constexpr int kMaxLevels = 6;
  std::size_t gridWidth = 0, gridHeight = 0;
  int levels = 0;
  std::size_t levelWidth[kMaxLevels] = {}, levelHeight[kMaxLevels] = {};
};
RenderTargetSizes renderTargetSizes(const DrawableSize& drawable, int maxLevels);

class Renderer : public VireonVertex {
 public:
  static constexpr int kMaxBloomLevels = RenderTargetSizes::kMaxLevels;

  explicit Renderer(std::shared_ptr<gpu::Device> device, engine::Services services = engine::Services::system());
  ~Renderer() override;

  // Stores the size, rebuilds the projection and the render targets, then
  // resets the model; returns reset's result.
  virtual bool drawableSizeWillChange(DrawableSize size) = 0;
  // One frame: waits for the previous one, updates the model, encodes the
  // passes onto the drawable (if any), presents it and commits. The paused
  // flag and the depth-stencil texture are not used.
  virtual void draw(bool paused, gpu::Drawable* drawable, const gpu::Texture* depthStencil) = 0;

  // Prints the device name and makes the main command queue.
  void selectDevice();
  // A command buffer of the main queue whose completion signals the frame semaphore.
  std::shared_ptr<gpu::CommandBuffer> makeCommandBuffer();
  void waitForFrame();
  // Clears every non-null texture of the list to opaque black, one pass each.
  void clearTextures(const std::vector<std::shared_ptr<gpu::Texture>>& textures, gpu::CommandBuffer& cb);
  std::shared_ptr<gpu::Texture> drawableTexture(gpu::Drawable* drawable);
  // Presents the drawable (if any) once the commands are scheduled, and commits.
  void presentAndCommit(gpu::CommandBuffer& cb, gpu::Drawable* drawable);
  // Orthographic projection, column-major.
  static float4x4 makeOrtho(float left, float right, float bottom, float top, float near, float far);
  // The text, a blank and a line end, on the engine's output.
  static void logLine(const char* text);

  // Makes every render target for the drawable size and clears them. The
  // clear is committed on its own command buffer, outside frame pacing.
  void rebuildRenderTargets(const DrawableSize& drawableSize);
  // Bloom levels made by the last rebuild: at most bloomIterations and 6,
  // fewer on small drawables.
  int bloomLevelCount() const { return bloomLevelCount_; }

  std::shared_ptr<gpu::Device> device;
  std::vector<std::shared_ptr<gpu::Texture>> renderTargets;
  dispatch::Semaphore frameSemaphore{1};
  std::shared_ptr<gpu::CommandQueue> commandQueue;

  // Render targets, in creation order (all also in renderTargets).
  std::shared_ptr<gpu::Texture> noise_texture_;
  std::shared_ptr<gpu::Texture> color_texture_;
  std::shared_ptr<gpu::Texture> color_advect_texture_;
  std::shared_ptr<gpu::Texture> velocity_texture_;
  std::shared_ptr<gpu::Texture> curl_texture_;
  std::shared_ptr<gpu::Texture> velocity_advect_texture_;
  std::shared_ptr<gpu::Texture> divergence_texture_;
  std::shared_ptr<gpu::Texture> velocity_gradient_texture_;
  std::shared_ptr<gpu::Texture> pressure_texture_;
  std::shared_ptr<gpu::Texture> velocity_vorticity_texture_;
  std::shared_ptr<gpu::Texture> pressure_fade_texture_;
  std::shared_ptr<gpu::Texture> pressure_swap_texture_;
  std::shared_ptr<gpu::Texture> bloom_texture_;
  std::shared_ptr<gpu::Texture> bloom_levels_[kMaxBloomLevels];
  std::shared_ptr<gpu::Texture> sunrays_mask_texture_;
  std::shared_ptr<gpu::Texture> sunrays_texture_;
  std::shared_ptr<gpu::Texture> sunrays_blur_texture_;
  std::shared_ptr<gpu::Texture> height_texture_;
  std::shared_ptr<gpu::Texture> normal_texture_;
  std::shared_ptr<gpu::Texture> point_color_texture_;
  std::shared_ptr<gpu::Texture> point_velocity_texture_;
  std::shared_ptr<gpu::Texture> line_textures_[2];

 protected:
  // The shared-storage buffers of the model, made by the device.
  BufferMaker deviceBufferMaker();

 private:
  int bloomLevelCount_ = 0;
};
