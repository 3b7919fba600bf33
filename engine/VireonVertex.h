// The simulation model: geometry, options, finger histories, particles,
// strokes, palette, the touch store and the frame timer. It knows of the GPU
// only the buffers it fills; the renderer (StarRenderer) creates them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "engine/Services.h"
#include "engine/Spline.h"
#include "engine/StarTouch.h"
#include "engine/simd.h"
#include "platform/gpu/buffer.h"

namespace engine {
constexpr int kPointCapacity = 400;      // splat point records per buffer
constexpr int kStrokeBudget = 100;       // stroke points per frame, all fingers
constexpr int kMaxParticles = kPointCapacity - kStrokeBudget;
constexpr int kLineCapacity = 15000;
constexpr int kFingerHistories = 5;
constexpr int kResetParticles = 210;     // particles re-placed at every reset
constexpr std::size_t kComputeOutSize = 48;  // float4 position, float4 color, float3 normal
}  // namespace engine

class VertexCore {
 public:
  virtual bool reset(float width, float height);
  virtual bool update();
  virtual ~VertexCore();

 protected:
  float width = 0;
  float height = 0;
  float diagonal = 0;
  float4 currentColor{1, 1, 1, 1};
};

class FluidCore {
 public:
  virtual bool step() = 0;

 protected:
  ~FluidCore() = default;

  float2 gridSize;
  float2 touchPoint;
  float2 lastTouchPoint;
  std::int32_t fluid_interpolated_num_ = 0;
  std::deque<float2> fingerHistories[engine::kFingerHistories];
  std::vector<float2> strokeLists[engine::kFingerHistories];
  float gridDiagonal = 0;

  // Option block.
  float fingerRadius = 0.03f;
  float vorticity = 0.1f;
  float pressure = 0.8f;
  float colorDiffusion = 0.8f;
  float velocityDiffusion = 0.1f;
  float splatScale = 3000.0f;
  float splatForce = 1.0f;
  float particleRadius = 0.008f;
  float damping = 0.98f;
  std::int32_t particleFrequency = 1;
  std::int32_t max_fluid_finger_num_ = engine::kFingerHistories;
  std::int32_t max_fluid_interpolate_num_ = 20;
  bool renderPoint = true;
  bool use_shading_pressure = false;
  bool usingShading = true;
  bool usingBloom = true;
  bool usingSunrays = true;
  std::int32_t pressureIterations = 20;
  bool usePressureIteration = true;
  std::int32_t bloomIterations = 6;
  float bloomThreshold = 0.4f;
  float bloomSoftKnee = 0.5f;
  float bloomIntensity = 0.4f;
  bool linesEnabled = true;
  std::int32_t lineNum = 0;
  float lineWidth = 0;
  float lineFade = 0.65f;
  float lineDamping = 0.88f;
  bool lineFrontBuffer = true;
};

class VireonVertex : protected VertexCore,
                     protected FluidCore,
                     public StarTouchDelegate,
                     public StarTimerDelegate {
 public:
  using BufferMaker = std::function<std::shared_ptr<gpu::Buffer>(std::size_t length)>;

  explicit VireonVertex(engine::Services services = engine::Services::system());
  ~VireonVertex() override;

  bool reset(float width, float height) override;
  bool update() override;
  bool step() override;
  void onFps(std::uint64_t frames) override;
  void onDelta(double milliseconds) override;
  void touchesEnded() override;
  void touchesBegan() override;
  void touchesMoved() override;
  void touchesCancelled() override;
  virtual bool UpdateMetalComputePreps() = 0;

  // Option setters; they take effect at the next frame. The counts are kept
  // within what the buffers hold.
  void setFluidOptions(float fingerRadius, float vorticity, float pressure, float colorDiffusion,
                       float velocityDiffusion, float splatForce);
  void setFluidParticles(bool renderPoint, std::int32_t particleNum, float damping, float particleRadius,
                         std::int32_t particleFrequency, std::int32_t lineNum);
  void setFluidEffects(bool usingShading, bool usingBloom, bool usingSunrays);

  // Turns each finger's history into evenly spaced stroke points.
  void interpolateFluid();

  // Splat records written by the last step: particles first, then strokes.
  int particlePointsWritten() const { return particlePointsWritten_; }
  int splatPointsWritten() const { return splatPointsWritten_; }

  using VertexCore::currentColor;
  using VertexCore::diagonal;
  using VertexCore::height;
  using VertexCore::width;

  using FluidCore::fingerHistories;
  using FluidCore::fluid_interpolated_num_;
  using FluidCore::gridDiagonal;
  using FluidCore::gridSize;
  using FluidCore::lastTouchPoint;
  using FluidCore::strokeLists;
  using FluidCore::touchPoint;

  using FluidCore::bloomIntensity;
  using FluidCore::bloomIterations;
  using FluidCore::bloomSoftKnee;
  using FluidCore::bloomThreshold;
  using FluidCore::colorDiffusion;
  using FluidCore::damping;
  using FluidCore::fingerRadius;
  using FluidCore::lineDamping;
  using FluidCore::lineFade;
  using FluidCore::lineFrontBuffer;
  using FluidCore::lineNum;
  using FluidCore::lineWidth;
  using FluidCore::linesEnabled;
  using FluidCore::max_fluid_finger_num_;
  using FluidCore::max_fluid_interpolate_num_;
  using FluidCore::particleFrequency;
  using FluidCore::particleRadius;
  using FluidCore::pressure;
  using FluidCore::pressureIterations;
  using FluidCore::renderPoint;
  using FluidCore::splatForce;
  using FluidCore::splatScale;
  using FluidCore::use_shading_pressure;
  using FluidCore::usePressureIteration;
  using FluidCore::usingBloom;
  using FluidCore::usingShading;
  using FluidCore::usingSunrays;
  using FluidCore::velocityDiffusion;
  using FluidCore::vorticity;

  std::shared_ptr<StarTouch> touch;
  std::unique_ptr<StarTimer> timer;

  std::int32_t touchCount = 0;
  const float2* currentPoints = nullptr;
  const float2* previousPoints = nullptr;

  float lastDeltaMs = 0;
  double elapsedMs = 0;
  float3 palette[20];
  std::int32_t paletteIndex = 0;
  float3 targetColor;
  float frameScale = 0;
  float wrapMargin = 0;
  std::int32_t particleNum = 100;

  std::shared_ptr<gpu::Buffer> point_position_buffer_;
  std::shared_ptr<gpu::Buffer> point_color_buffer_;
  std::shared_ptr<gpu::Buffer> point_velocity_buffer_;
  std::shared_ptr<gpu::Buffer> point_radius_buffer_;
  std::shared_ptr<gpu::Buffer> particle_velocity_buffer_;
  std::shared_ptr<gpu::Buffer> line_position_buffer_;
  std::shared_ptr<gpu::Buffer> line_color_buffer_;
  std::shared_ptr<gpu::Buffer> line_power_buffer_;
  std::shared_ptr<gpu::Buffer> line_vertex_buffer_;

 protected:
  // Creates the nine model buffers at full size, zero-filled.
  void createModelBuffers(const BufferMaker& make);
  // Drops them, for a renderer that must release them before its device.
  void releaseModelBuffers();

  engine::Services services_;

 private:
  int randomBelow(int k);

  int particlePointsWritten_ = 0;
  int splatPointsWritten_ = 0;
  // interpolateFluid's working storage, kept so that frames do not allocate.
  std::vector<double> knotX_, knotY_, knotT_;
  Spline splineX_, splineY_;
};
