#include "engine/VireonVertex.h"

#include <algorithm>
#include <cmath>

#include "engine/Check.h"
#include "engine/Log.h"
#include "engine/Spline.h"

using engine::kFingerHistories;
using engine::kLineCapacity;
using engine::kPointCapacity;

bool VertexCore::reset(float, float) { return true; }
bool VertexCore::update() { return true; }
VertexCore::~VertexCore() = default;

VireonVertex::VireonVertex(engine::Services services) : services_(std::move(services)) {
  timer = std::make_unique<StarTimer>(this, services_.steadyMillis);
  touch = std::make_shared<StarTouch>(this);
  // A finger's stroke never exceeds the frame's budget: no growth mid-run.
  for (auto& stroke : strokeLists) stroke.reserve(engine::kStrokeBudget);
}

VireonVertex::~VireonVertex() = default;

void VireonVertex::createModelBuffers(const BufferMaker& make) {
  point_position_buffer_ = make(kPointCapacity * sizeof(float2));
  point_color_buffer_ = make(kPointCapacity * sizeof(float4));
  point_velocity_buffer_ = make(kPointCapacity * sizeof(float4));
  point_radius_buffer_ = make(kPointCapacity * sizeof(float));
  particle_velocity_buffer_ = make(kPointCapacity * sizeof(float2));
  line_position_buffer_ = make(2 * kLineCapacity * sizeof(float4));
  line_color_buffer_ = make(2 * kLineCapacity * sizeof(float4));
  line_power_buffer_ = make(kLineCapacity * sizeof(float4));
  line_vertex_buffer_ = make(6 * kLineCapacity * engine::kComputeOutSize);
}

void VireonVertex::releaseModelBuffers() {
  for (auto* b : {&point_position_buffer_, &point_color_buffer_, &point_velocity_buffer_, &point_radius_buffer_,
                  &particle_velocity_buffer_, &line_position_buffer_, &line_color_buffer_, &line_power_buffer_,
                  &line_vertex_buffer_}) {
    b->reset();
  }
}

void VireonVertex::setFluidOptions(float fingerRadius_, float vorticity_, float pressure_,
                                   float colorDiffusion_, float velocityDiffusion_, float splatForce_) {
  fingerRadius = fingerRadius_;
  vorticity = vorticity_;
  pressure = pressure_;
  colorDiffusion = colorDiffusion_;
  velocityDiffusion = velocityDiffusion_;
  splatForce = splatForce_;
}

void VireonVertex::setFluidParticles(bool renderPoint_, std::int32_t particleNum_, float damping_,
                                     float particleRadius_, std::int32_t particleFrequency_,
                                     std::int32_t lineNum_) {
  renderPoint = renderPoint_;
  // The splat buffers hold the particles plus one frame's stroke points.
  particleNum = std::clamp(particleNum_, 0, engine::kMaxParticles);
  damping = damping_;
  particleRadius = particleRadius_;
  particleFrequency = particleFrequency_;
  lineNum = std::clamp(lineNum_, 0, kLineCapacity);
}

void VireonVertex::setFluidEffects(bool usingShading_, bool usingBloom_, bool usingSunrays_) {
  usingShading = usingShading_;
  usingBloom = usingBloom_;
  usingSunrays = usingSunrays_;
}

int VireonVertex::randomBelow(int k) { return services_.nextRandom() % k; }

bool VireonVertex::reset(float w, float h) {
  engine::print("\nReset Vertex : %f %f\n", w, h);
  engine::print("\n");
  if (w == width && h == height) return true;
  // A drawable under one pixel has no room for lines or particles.
  if (!(w >= 1.0f && h >= 1.0f)) return true;

  width = w;
  height = h;
  diagonal = std::sqrt(w * w + h * h);
  gridSize = float2(w * 0.2f, h * 0.2f);
  gridDiagonal = length(gridSize);
  wrapMargin = diagonal * 0.05f;
  lineNum = 9000;
  lineWidth = diagonal * 0.002f;

  lastDeltaMs = 0;
  targetColor = float3(1, 1, 1);
  for (int i = 0; i < 20; ++i) hsvToRgb(palette[i], i * 18.0f, 0.65f, 0.4f);

  if (!timer) timer = std::make_unique<StarTimer>(this, services_.steadyMillis);
  if (!touch) touch = std::make_shared<StarTouch>(this);

  services_.seedRandom(static_cast<unsigned>(services_.calendarSeconds()));

  const int wi = static_cast<int>(w), hi = static_cast<int>(h);
  auto* linePos = line_position_buffer_->as<float4>();
  auto* lineColor = line_color_buffer_->as<float4>();
  auto* linePower = line_power_buffer_->as<float4>();
  for (int i = 0; i < kLineCapacity; ++i) {
    float x = static_cast<float>(randomBelow(wi));
    float y = static_cast<float>(randomBelow(hi));
    linePos[2 * i] = linePos[2 * i + 1] = float4(x, y, 0, 1);
    lineColor[2 * i] = lineColor[2 * i + 1] = float4(0, 0, 0, 1);
    linePower[i] = float4(0, 0, 0, 0);
  }
  line_position_buffer_->didModifyRange(0, line_position_buffer_->length());
  line_color_buffer_->didModifyRange(0, line_color_buffer_->length());
  line_power_buffer_->didModifyRange(0, line_power_buffer_->length());

  auto* velocity = particle_velocity_buffer_->as<float2>();
  auto* color = point_color_buffer_->as<float4>();
  auto* position = point_position_buffer_->as<float2>();
  for (int i = 0; i < engine::kResetParticles; ++i) {
    velocity[i] = float2(0, 0);
    color[i] = float4(targetColor.x, targetColor.y, targetColor.z, 1.0f);
    float x = static_cast<float>(randomBelow(wi));
    float y = static_cast<float>(randomBelow(hi));
    position[i] = float2(x, y);
  }
  particle_velocity_buffer_->didModifyRange(0, engine::kResetParticles * sizeof(float2));
  point_color_buffer_->didModifyRange(0, engine::kResetParticles * sizeof(float4));
  point_position_buffer_->didModifyRange(0, engine::kResetParticles * sizeof(float2));
  return true;
}

bool VireonVertex::update() {
  timer->tick();
  frameScale = lastDeltaMs * 0.0625f;
  touchCount = touch->count;
  currentPoints = touch->current;
  previousPoints = touch->previous;
  step();
  return true;
}

void VireonVertex::onFps(std::uint64_t frames) {
  engine::print("FPS :: %d\n", static_cast<int>(frames));
  engine::print("\n");
  int k = paletteIndex;
  if (k < 0) k = 19;
  else if (k > 19) k = 0;
  targetColor = palette[k];
  paletteIndex = k - 1;
}

void VireonVertex::onDelta(double ms) {
  if (ms < 1000.0) {
    elapsedMs += ms;
    lastDeltaMs = static_cast<float>(ms);
  }
}

void VireonVertex::touchesBegan() {
  for (int i = 0; i < std::min(max_fluid_finger_num_, kFingerHistories); ++i) fingerHistories[i].clear();
}

void VireonVertex::touchesMoved() {
  const int n = std::min({touchCount, max_fluid_finger_num_, kFingerHistories});
  for (int i = 0; i < n; ++i) fingerHistories[i].push_back(currentPoints[i]);
}

void VireonVertex::touchesEnded() {}
void VireonVertex::touchesCancelled() {}

void VireonVertex::interpolateFluid() {
  const int maxFingers = std::min(max_fluid_finger_num_, kFingerHistories);
  fluid_interpolated_num_ = 0;
  for (int f = 0; f < maxFingers; ++f) strokeLists[f].clear();

  const int fingers = std::min(touchCount, maxFingers);
  if (fingers >= 1) {
    const int budget = (max_fluid_interpolate_num_ * max_fluid_finger_num_) / fingers;
    const int minStep = static_cast<int>(static_cast<double>(diagonal * fingerRadius) * 0.2);
    for (int f = 0; f < fingers; ++f) {
      std::deque<float2>& history = fingerHistories[f];
      const int n = static_cast<int>(history.size());
      if (n < 3) continue;

      std::vector<double>& X = knotX_;
      std::vector<double>& Y = knotY_;
      std::vector<double>& T = knotT_;
      X.assign(n, 0.0);
      Y.assign(n, 0.0);
      T.assign(n, 0.0);
      for (int k = 0; k < n; ++k) {
        X[k] = history[k].x;
        Y[k] = history[k].y;
        if (k == 0) {
          T[k] = 0;
        } else {
          float segment = length(history[k] - history[k - 1]);
          T[k] = T[k - 1] + (segment == 0.0f ? 0.1 : segment);
        }
      }
      Spline& sx = splineX_;
      Spline& sy = splineY_;
      sx.set_points(T, X);
      sy.set_points(T, Y);

      const double total = T[n - 1];
      const int share = budget / (n - 1);
      std::vector<float2>& stroke = strokeLists[f];
      if (share == 0) {
        stroke.emplace_back(static_cast<float>(sx(0)), static_cast<float>(sy(0)));
      } else {
        // A step of at least one pixel keeps the loop finite and the budget.
        long step = std::max<long>({static_cast<long>(total / share), minStep, 1});
        double t = 0;
        do {
          stroke.emplace_back(static_cast<float>(sx(t)), static_cast<float>(sy(t)));
          t += static_cast<double>(step);
        } while (t < total);
      }
      fluid_interpolated_num_ += static_cast<int>(stroke.size());
      while (history.size() > 1) history.pop_front();
    }
  }
  ENGINE_CHECK(fluid_interpolated_num_ <= (max_fluid_finger_num_ * max_fluid_interpolate_num_));
}

bool VireonVertex::step() {
  interpolateFluid();

  float t = lastDeltaMs * 0.001f;
  float3 rgb(currentColor.x, currentColor.y, currentColor.z);
  lerpColor(rgb, targetColor, t);
  currentColor = float4(rgb.x, rgb.y, rgb.z, currentColor.w);

  auto* position = point_position_buffer_->as<float2>();
  auto* color = point_color_buffer_->as<float4>();
  auto* splat = point_velocity_buffer_->as<float4>();
  auto* radius = point_radius_buffer_->as<float>();
  auto* velocity = particle_velocity_buffer_->as<float2>();

  int next = 0;
  if (renderPoint && particleNum != 0) {
    const int count = std::clamp(particleNum, 0, engine::kMaxParticles);
    for (int i = 0; i < count; ++i) {
      float2 old = position[i];
      float2 jitter(static_cast<float>(randomBelow(10001) - 5000), 0);
      jitter.y = static_cast<float>(randomBelow(10001) - 5000);
      normalize(jitter);
      jitter = jitter * (diagonal / 6000.0f) * frameScale;

      velocity[i] += jitter;
      position[i] += velocity[i];
      velocity[i] *= damping;

      float2& p = position[i];
      if (p.x < -wrapMargin) p.x = width;
      else if (p.x > width + wrapMargin) p.x = 0;
      if (p.y < -wrapMargin) p.y = height;
      else if (p.y > height + wrapMargin) p.y = 0;

      double dx = static_cast<double>(p.x) - old.x, dy = static_cast<double>(p.y) - old.y;
      if (std::sqrt(dx * dx + dy * dy) > diagonal * 0.01) old = p;

      radius[i] = 2 * particleRadius;
      float2 m = p - old;
      float2 force = float2(m.x / width, -m.y / height) * splatForce * splatScale;
      force.x = force.x * height / width;
      splat[i] = float4(force.x, force.y, 0, 1);
      color[i] = float4(currentColor.x * 0.2f, currentColor.y * 0.2f, currentColor.z * 0.2f, 1.0f);
    }
    next = count;
  }
  particlePointsWritten_ = next;

  if (touchCount >= 1) {
    const int fingers = std::min({max_fluid_finger_num_, touchCount, kFingerHistories});
    for (int f = 0; f < fingers; ++f) {
      lastTouchPoint = previousPoints[f];
      touchPoint = currentPoints[f];
      if (lastTouchPoint.x < 0.000001f && lastTouchPoint.y < 0.000001f) lastTouchPoint = touchPoint;
      const float strength = length(touchPoint - lastTouchPoint) / diagonal;

      const std::vector<float2>& stroke = strokeLists[f];
      const int n = std::min(static_cast<int>(stroke.size()), kPointCapacity - next);
      if (n <= 0) continue;

      float2 ref = fingerHistories[f].empty() ? stroke[0] : fingerHistories[f].back();
      for (int k = 0; k < n; ++k, ++next) {
        const float2 p = stroke[k];
        float angle = std::atan2(p.y - ref.y, p.x - ref.x);
        float2 u = float2(std::cos(angle), std::sin(angle)) * strength;
        float2 force = float2(u.x, -u.y) * splatForce * splatScale;
        force.x = force.x * height / width;
        splat[next] = float4(force.x, force.y, 0, 1);
        position[next] = p;
        radius[next] = 2 * fingerRadius;
        color[next].x = static_cast<float>(std::cos(elapsedMs * 0.01 + f * 0.5));
        color[next].y = static_cast<float>(std::sin(elapsedMs * 0.01 + f * 0.3));
        color[next].z = 0.2f;
        ref = p;
      }
    }
  }
  splatPointsWritten_ = next;

  point_position_buffer_->didModifyRange(0, next * sizeof(float2));
  point_color_buffer_->didModifyRange(0, next * sizeof(float4));
  point_velocity_buffer_->didModifyRange(0, next * sizeof(float4));
  point_radius_buffer_->didModifyRange(0, next * sizeof(float));
  particle_velocity_buffer_->didModifyRange(0, particlePointsWritten_ * sizeof(float2));
  return true;
}
