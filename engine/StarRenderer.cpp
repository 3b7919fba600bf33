#include "engine/StarRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/Log.h"
#include "engine/shaders/Shaders.h"

using gpu::BlendFactor;
using gpu::LoadAction;
using gpu::PixelFormat;

namespace {

// Two triangles over the whole target; v grows downwards.
constexpr VertexInOut2 kQuad[6] = {
    {{1, -1, 1, 1}, {1, 1}}, {{-1, -1, 1, 1}, {0, 1}}, {{-1, 1, 1, 1}, {0, 0}},
    {{1, -1, 1, 1}, {1, 1}}, {{-1, 1, 1, 1}, {0, 0}},  {{1, 1, 1, 1}, {1, 0}},
};

[[noreturn]] void buildFailed(const char* function) {
  std::fprintf(stderr, "StarRenderer::%s: Assertion `false' failed.\n", function);
  std::fflush(stderr);
  std::abort();
}

float power2(int exponent) { return static_cast<float>(static_cast<std::int32_t>(std::exp2(static_cast<double>(exponent)))); }

}  // namespace

StarRenderer::StarRenderer(std::shared_ptr<gpu::Device> device_, engine::Services services)
    : Renderer(std::move(device_), std::move(services)) {
  loadMetalInternal();
  createModelBuffers(deviceBufferMaker());
  quad_vertex_buffer_ = device->newBuffer(sizeof(kQuad), kQuad);
}

StarRenderer::~StarRenderer() {
  owned_pipelines_.clear();
  owned_pass_descriptors_.clear();
}

bool StarRenderer::UpdateMetalComputePreps() {
  engine::print("UpdateMetalComputePreps\n");
  return true;
}

void StarRenderer::loadMetalInternal() {
  logLine("[tolv] loadMetalInternal");
  selectDevice();

  const auto F16 = PixelFormat::RGBA16Float, U8 = PixelFormat::RGBA8Unorm;
  const auto One = BlendFactor::One, Zero = BlendFactor::Zero, SrcA = BlendFactor::SourceAlpha,
             OneMinusSrcA = BlendFactor::OneMinusSourceAlpha;
  struct Build {
    PipelinePass StarRenderer::*entry;
    const std::string& (*text)();
    const char* vertex;
    const char* fragment;
    PixelFormat format;
    bool blend;
    BlendFactor destinationRGB, sourceRGB, destinationAlpha, sourceAlpha;
  };
  const Build builds[] = {
      {&StarRenderer::color_splat_pass_, shaders::colorSplatText, "fluid_vertex", "fluid_color_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::velocity_splat_pass_, shaders::colorSplatText, "fluid_vertex", "fluid_color_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::curl_pass_, shaders::curlText, "fluid_vertex", "fluid_curl_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::vorticity_pass_, shaders::vorticityText, "fluid_vertex", "fluid_vorticity_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::divergence_pass_, shaders::divergenceText, "fluid_vertex", "fluid_divergence_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::pressure_fade_pass_, shaders::fadeText, "fade_vertex", "fade_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::pressure_pass_, shaders::pressureText, "fluid_vertex", "fluid_pressure_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::gradient_pass_, shaders::gradientText, "fluid_vertex", "fluid_gradient_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::advect_color_pass_, shaders::advectColorText, "fluid_vertex", "fluid_advect_col_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::advect_velocity_pass_, shaders::advectVelocityText, "fluid_vertex", "fluid_advect_vel_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::display_pass_, shaders::displayText, "cube_vertex", "cube_fragment", U8, false, Zero, One, Zero, One},
      {&StarRenderer::bloom_prefilter_pass_, shaders::bloomPrefilterText, "fluid_vertex", "fluid_bloom_prefilter_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::bloom_blur_pass_, shaders::bloomBlurText, "fluid_bloom_vertex", "fluid_bloom_blur_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::bloom_blur_add_pass_, shaders::bloomBlurText, "fluid_bloom_vertex", "fluid_bloom_blur_fragment", F16, true, One, One, One, One},
      {&StarRenderer::bloom_final_pass_, shaders::bloomFinalText, "fluid_bloom_vertex", "fluid_bloom_final_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::sunrays_mask_pass_, shaders::sunraysMaskText, "fluid_vertex", "fluid_sunrays_mask_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::sunrays_pass_, shaders::sunraysText, "fluid_vertex", "fluid_sunrays_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::sunrays_blur_pass_, shaders::sunraysBlurText, "fluid_sunrays_blur_vertex", "fluid_sunrays_blur_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::height_from_pressure_pass_, shaders::heightFromPressureText, "fluid_vertex", "fluid_height_from_pressure_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::normal_from_height_pass_, shaders::normalFromHeightText, "fluid_vertex", "fluid_normal_from_height_fragment", F16, false, Zero, One, Zero, One},
      {&StarRenderer::effects_pass_, shaders::effectsText, "fluid_bloom_vertex", "fluid_effects_fragment", U8, true, OneMinusSrcA, One, Zero, One},
      {&StarRenderer::point_color_pass_, shaders::pointText, "vireon_particle_vertex", "vireon_particle_fragment", U8, true, One, One, One, One},
      {&StarRenderer::point_velocity_pass_, shaders::pointText, "vireon_particle_vertex", "vireon_particle_fragment", F16, true, One, One, One, One},
      {&StarRenderer::line_pass_, shaders::lineText, "line_vertex", "line_fragment", U8, true, One, SrcA, One, SrcA},
      {&StarRenderer::line_fade_pass_, shaders::fadeText, "fade_vertex", "fade_fragment", U8, false, Zero, One, Zero, One},
      {&StarRenderer::line_composite_pass_, shaders::displayText, "cube_vertex", "cube_fragment", U8, true, One, SrcA, One, SrcA},
  };
  for (const Build& b : builds) {
    setRenderPipelineDescriptor(this->*b.entry, b.text(), b.vertex, b.fragment, b.format, b.blend, b.destinationRGB,
                                b.sourceRGB, b.destinationAlpha, b.sourceAlpha);
    owned_pipelines_.push_back((this->*b.entry).pipeline);
  }
  setComputePipelineDescriptor(line_move_pipeline_, compute_command_queue_, shaders::lineMoveText(),
                               "vireon_line_move_compute");
  for (const Build& b : builds) {
    auto descriptor = std::make_shared<gpu::RenderPassDescriptor>();
    (this->*b.entry).descriptor = descriptor;
    owned_pass_descriptors_.push_back(descriptor);
  }
}

void StarRenderer::setRenderPipelineDescriptor(PipelinePass& entry, const std::string& source,
                                               const char* vertexName, const char* fragmentName,
                                               PixelFormat format, bool blendingEnabled,
                                               BlendFactor destinationRGB, BlendFactor sourceRGB,
                                               BlendFactor destinationAlpha, BlendFactor sourceAlpha) {
  auto library = device->newLibrary(source);
  if (!library.ok()) {
    engine::print("%s", std::string(library.error().description).c_str());
    buildFailed("setRenderPipelineDescriptor");
  }
  std::shared_ptr<gpu::Function> vertex = (*library)->newFunction(vertexName);
  std::shared_ptr<gpu::Function> fragment = (*library)->newFunction(fragmentName);
  if (!vertex) {
    engine::print("Failed to load %s \n", vertexName);
    std::abort();
  }
  if (!fragment) {
    engine::print("Failed to load %s \n", fragmentName);
    std::abort();
  }
  gpu::RenderPipelineDescriptor d;
  d.vertexFunction = vertex;
  d.fragmentFunction = fragment;
  auto& a = d.colorAttachments[0];
  a.pixelFormat = format;
  a.blendingEnabled = blendingEnabled;
  if (blendingEnabled) {
    a.rgbBlendOperation = gpu::BlendOperation::Add;
    a.destinationRGBBlendFactor = destinationRGB;
    a.sourceRGBBlendFactor = sourceRGB;
    a.alphaBlendOperation = gpu::BlendOperation::Add;
    a.destinationAlphaBlendFactor = destinationAlpha;
    a.sourceAlphaBlendFactor = sourceAlpha;
  }
  auto state = device->newRenderPipelineState(d);
  if (!state.ok()) {
    engine::print("%s", std::string(state.error().description).c_str());
    buildFailed("setRenderPipelineDescriptor");
  }
  entry.pipeline = *state;
}

void StarRenderer::setComputePipelineDescriptor(std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                                                std::shared_ptr<gpu::CommandQueue>& queue,
                                                const std::string& source, const char* kernelName) {
  auto library = device->newLibrary(source);
  if (!library.ok()) {
    engine::print("%s", std::string(library.error().description).c_str());
    buildFailed("setComputePipelineDescriptor");
  }
  std::shared_ptr<gpu::Function> kernel = (*library)->newFunction(kernelName);
  if (!kernel) {
    engine::print("Failed to load%s \n", kernelName);
    std::abort();
  }
  auto state = device->newComputePipelineState(kernel);
  if (!state.ok()) {
    engine::print("%s", std::string(state.error().description).c_str());
    buildFailed("setComputePipelineDescriptor");
  }
  pipeline = *state;
  queue = device->newCommandQueue();
}

// --- Frame driver ---

bool StarRenderer::drawableSizeWillChange(DrawableSize size) {
  drawableSize = size;
  projection = makeOrtho(0, static_cast<float>(size.width), 0, static_cast<float>(size.height), 1, -1);
  rebuildRenderTargets(size);
  return reset(static_cast<float>(size.width), static_cast<float>(size.height));
}

void StarRenderer::draw(bool, gpu::Drawable* drawable, const gpu::Texture*) {
  waitForFrame();
  std::shared_ptr<gpu::CommandBuffer> cb = makeCommandBuffer();
  update();
  std::shared_ptr<gpu::Texture> target = drawableTexture(drawable);
  if (target && targetsReady()) {
    encodeFluidPasses(*cb, target);
    if (linesEnabled && lineNum != 0) encodeLineTrails(*cb, target);
  }
  presentAndCommit(*cb, drawable);
}

// A drawable under five pixels a side has no simulation grid: nothing to draw.
bool StarRenderer::targetsReady() const { return velocity_texture_ && color_texture_ && line_textures_[0]; }

float2 StarRenderer::gridTexelSize() const { return float2(1.0f / gridSize.x, 1.0f / gridSize.y); }

gpu::RenderCommandEncoder& StarRenderer::beginPass(gpu::CommandBuffer& cb, PipelinePass& pass,
                                                   const std::shared_ptr<gpu::Texture>& target, const char* label,
                                                   LoadAction load) {
  auto& a = pass.descriptor->colorAttachments[0];
  a.texture = target;
  a.loadAction = load;
  a.clearColor = {0, 0, 0, 1};
  a.storeAction = gpu::StoreAction::Store;
  gpu::RenderCommandEncoder& e = cb.renderCommandEncoder(*pass.descriptor);
  e.setLabel(label);
  e.setRenderPipelineState(pass.pipeline);
  e.setCullMode(gpu::CullMode::None);
  return e;
}

void StarRenderer::quadPass(gpu::CommandBuffer& cb, PipelinePass& pass, const std::shared_ptr<gpu::Texture>& target,
                            const char* label, std::initializer_list<std::shared_ptr<gpu::Texture>> textures,
                            PassBytes fragmentBytes, PassBytes vertexBytes) {
  gpu::RenderCommandEncoder& e = beginPass(cb, pass, target, label);
  e.setVertexBuffer(quad_vertex_buffer_, 0, 0);
  if (vertexBytes.data) e.setVertexBytes(vertexBytes.data, vertexBytes.length, 1);
  std::uint32_t slot = 0;
  for (const auto& t : textures) e.setFragmentTexture(t, slot++);
  if (fragmentBytes.data) e.setFragmentBytes(fragmentBytes.data, fragmentBytes.length, 0);
  e.drawPrimitives(gpu::PrimitiveType::Triangle, 0, 6);
  e.endEncoding();
}

// --- Fluid ---

void StarRenderer::encodeFluidPasses(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable) {
  const float dt = lastDeltaMs * 0.001f;
  const UniformTexel texel{gridTexelSize()};

  encodeSplatPoints(cb);
  quadPass(cb, color_splat_pass_, color_texture_, "Draw FluidColor", {color_advect_texture_, point_color_texture_});
  quadPass(cb, velocity_splat_pass_, velocity_texture_, "Draw Fluid Velocity",
           {velocity_advect_texture_, point_velocity_texture_});
  quadPass(cb, curl_pass_, curl_texture_, "Draw Fluid Curl", {velocity_texture_}, bytesOf(texel));
  const UniformVorticity vorticityUniform{gridTexelSize(), vorticity, dt};
  quadPass(cb, vorticity_pass_, velocity_vorticity_texture_, "Draw Fluid Vorticity",
           {velocity_texture_, curl_texture_}, bytesOf(vorticityUniform));
  quadPass(cb, divergence_pass_, divergence_texture_, "Draw FluidColor", {velocity_vorticity_texture_},
           bytesOf(texel));
  if (pressureHistoryValid) solvePressure(cb);
  const UniformFade fade{pressure};
  quadPass(cb, pressure_fade_pass_, pressure_fade_texture_, "Draw Fluid Pressure(Fade)",
           {pressureHistoryValid ? pressure_texture_ : divergence_texture_}, bytesOf(fade));
  pressureHistoryValid = true;
  quadPass(cb, gradient_pass_, velocity_gradient_texture_, "Draw Fluid Gradient",
           {pressure_texture_, velocity_vorticity_texture_}, bytesOf(texel));
  const UniformAdvect advectVelocity{gridTexelSize(), dt, velocityDiffusion};
  quadPass(cb, advect_velocity_pass_, velocity_advect_texture_, "Draw Fluid Adevect Velocity",
           {velocity_gradient_texture_, velocity_gradient_texture_}, bytesOf(advectVelocity));
  const UniformAdvect advectColor{gridTexelSize(), dt, colorDiffusion};
  quadPass(cb, advect_color_pass_, color_advect_texture_, "Draw Fluid Adevect Color",
           {color_texture_, velocity_advect_texture_}, bytesOf(advectColor));

  if (usingBloom || use_shading_pressure || usingSunrays || usingShading) {
    encodeEffects(cb, drawable);
  } else {
    quadPass(cb, display_pass_, drawable, "Draw Fluid Main", {color_texture_});
  }
}

void StarRenderer::encodeSplatPoints(gpu::CommandBuffer& cb) {
  // Exactly the records this frame's step wrote: particles, then strokes.
  const std::size_t n = static_cast<std::size_t>(splatPointsWritten());
  point_uniform_.finalM = projection;
  point_uniform_.screen_size = gridDiagonal;
  struct PointDraw {
    PipelinePass* pass;
    const std::shared_ptr<gpu::Texture>* target;
    const char* label;
    const std::shared_ptr<gpu::Buffer>* values;
  } draws[] = {
      {&point_color_pass_, &point_color_texture_, "Draw Vireon Point Color", &point_color_buffer_},
      {&point_velocity_pass_, &point_velocity_texture_, "Draw Vireon Point Velocity", &point_velocity_buffer_},
  };
  for (const PointDraw& d : draws) {
    gpu::RenderCommandEncoder& e = beginPass(cb, *d.pass, *d.target, d.label);
    e.setVertexBuffer(point_position_buffer_, 0, 0);
    e.setVertexBuffer(*d.values, 0, 1);
    e.setVertexBuffer(point_radius_buffer_, 0, 2);
    e.setVertexBytes(&point_uniform_, sizeof(point_uniform_), 3);
    e.drawPrimitives(gpu::PrimitiveType::Point, 0, n);
    e.endEncoding();
  }
}

void StarRenderer::solvePressure(gpu::CommandBuffer& cb) {
  if (!usePressureIteration) {
    encodePressurePass(cb);
    return;
  }
  const UniformTexel texel{gridTexelSize()};
  const int P = pressureIterations;
  for (int k = 0; k < P; ++k) {
    // The last iteration always lands in pressure_texture_.
    const auto& target = (P - 1 - k) % 2 == 0 ? pressure_texture_ : pressure_swap_texture_;
    const auto& previous = (P - 1 - (k - 1)) % 2 == 0 ? pressure_texture_ : pressure_swap_texture_;
    quadPass(cb, pressure_pass_, target, "Solve Pressure Iterative",
             {k == 0 ? pressure_fade_texture_ : previous, divergence_texture_}, bytesOf(texel));
  }
}

void StarRenderer::encodePressurePass(gpu::CommandBuffer& cb) {
  const UniformTexel texel{gridTexelSize()};
  quadPass(cb, pressure_pass_, pressure_texture_, "Draw Fluid Pressure", {pressure_fade_texture_, divergence_texture_},
           bytesOf(texel));
}

// --- Effects ---

void StarRenderer::encodeEffects(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable) {
  if (usingSunrays) encodeSunrays(cb);
  if (use_shading_pressure) encodePressureNormals(cb);
  if (usingBloom && bloomLevelCount() > 0) encodeBloom(cb);
  encodeEffectsComposite(cb, drawable);
}

void StarRenderer::encodeSunrays(gpu::CommandBuffer& cb) {
  quadPass(cb, sunrays_mask_pass_, sunrays_mask_texture_, "Sunrays Mask", {color_texture_});
  const UniformSunrays rays{1.0f};
  quadPass(cb, sunrays_pass_, sunrays_texture_, "Sunrays", {sunrays_mask_texture_}, bytesOf(rays));
  const UniformSunraysBlur horizontal{float2(1.0f / gridSize.x, 0)};
  quadPass(cb, sunrays_blur_pass_, sunrays_blur_texture_, "Sunrays Blur Horizontal", {sunrays_texture_}, {},
           bytesOf(horizontal));
  const UniformSunraysBlur vertical{float2(0, 1.0f / gridSize.y)};
  quadPass(cb, sunrays_blur_pass_, sunrays_texture_, "Sunrays Blur Vertical", {sunrays_blur_texture_}, {},
           bytesOf(vertical));
}

void StarRenderer::encodePressureNormals(gpu::CommandBuffer& cb) {
  const UniformHeightFromPressure heightUniform{2.0f};
  quadPass(cb, height_from_pressure_pass_, height_texture_, "Height from Pressure", {pressure_texture_},
           bytesOf(heightUniform));
  const UniformNormalFromHeight normal{float2(1.0f / width, 1.0f / height), 2.0f};
  quadPass(cb, normal_from_height_pass_, normal_texture_, "Normal from Height", {height_texture_}, bytesOf(normal));
}

void StarRenderer::encodeBloom(gpu::CommandBuffer& cb) {
  const float knee = bloomThreshold * bloomSoftKnee + 0.0001f;
  const UniformBloomPrefilter prefilter{float3(bloomThreshold - knee, knee * 2, 0.25f / knee), bloomThreshold};
  quadPass(cb, bloom_prefilter_pass_, bloom_texture_, "Bloom Prefilter", {color_texture_}, bytesOf(prefilter));

  const int L = bloomLevelCount();
  for (int i = 0; i < L; ++i) {
    const UniformBloomVertex texel{float2(power2(i) / gridSize.x, power2(i) / gridSize.y)};
    quadPass(cb, bloom_blur_pass_, bloom_levels_[i], "Bloom Blur Down", {i == 0 ? bloom_texture_ : bloom_levels_[i - 1]},
             {}, bytesOf(texel));
  }
  // Each up pass clears its level first, then adds the blurred level above.
  for (int j = L - 1; j >= 1; --j) {
    const UniformBloomVertex texel{float2(power2(j + 1) / gridSize.x, power2(j + 1) / gridSize.y)};
    quadPass(cb, bloom_blur_add_pass_, bloom_levels_[j - 1], "Bloom Blur Up", {bloom_levels_[j]}, {}, bytesOf(texel));
  }
  const UniformBloomVertex texel{float2(2.0f / gridSize.x, 2.0f / gridSize.y)};
  const UniformBloomFinal final{bloomIntensity};
  quadPass(cb, bloom_final_pass_, bloom_texture_, "Bloom Final", {bloom_levels_[0]}, bytesOf(final), bytesOf(texel));
}

void StarRenderer::encodeEffectsComposite(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable) {
  const UniformBloomVertex texel{gridTexelSize()};
  const UniformFluidEffects effects{float2(4.0f, 4.0f), gridTexelSize(), usingShading ? 1 : 0,
                                    use_shading_pressure ? 1 : 0, (usingBloom && bloomLevelCount() > 0) ? 1 : 0,
                                    usingSunrays ? 1 : 0};
  quadPass(cb, effects_pass_, drawable, "Draw Fluid With Effects",
           {color_texture_, bloom_texture_, noise_texture_, sunrays_texture_, normal_texture_}, bytesOf(effects),
           bytesOf(texel));
}

// --- Line trails ---

void StarRenderer::encodeLineTrails(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable) {
  const int lines = std::clamp(lineNum, 0, engine::kLineCapacity);
  // The kernel runs now, on its own queue, so it samples the fields the
  // previous frame left: this frame's passes are encoded but not committed.
  std::shared_ptr<gpu::CommandBuffer> compute = compute_command_queue_->commandBuffer();
  gpu::ComputeCommandEncoder& e = compute->computeCommandEncoder();
  e.setComputePipelineState(line_move_pipeline_);
  e.setBuffer(line_position_buffer_, 0, 0);
  e.setBuffer(line_color_buffer_, 0, 1);
  e.setBuffer(line_power_buffer_, 0, 2);
  e.setBuffer(line_vertex_buffer_, 0, 3);
  const UniformVireonLine uniform{float2(width, height), lines, diagonal, lineWidth * 0.5f, lastDeltaMs,
                                  lineFade, lineDamping};
  e.setBytes(&uniform, sizeof(uniform), 4);
  e.setTexture(velocity_texture_, 0);
  e.setTexture(color_texture_, 1);
  const std::uint64_t T = line_move_pipeline_->maxTotalThreadsPerThreadgroup();
  const std::uint64_t G = (T + static_cast<std::uint64_t>(lines) - 1) / T;
  e.dispatchThreadgroups(G, T);
  e.endEncoding();
  compute->commit();
  compute->waitUntilCompleted();

  encodeLineFade(cb);
  encodeLines(cb);
  const auto& current = line_textures_[lineFrontBuffer ? 0 : 1];
  gpu::RenderCommandEncoder& composite = beginPass(cb, line_composite_pass_, drawable, "Draw Vireon Line", LoadAction::Load);
  composite.setVertexBuffer(quad_vertex_buffer_, 0, 0);
  composite.setFragmentTexture(current, 0);
  composite.drawPrimitives(gpu::PrimitiveType::Triangle, 0, 6);
  composite.endEncoding();
  lineFrontBuffer = !lineFrontBuffer;
}

void StarRenderer::encodeLineFade(gpu::CommandBuffer& cb) {
  const auto& current = line_textures_[lineFrontBuffer ? 0 : 1];
  const auto& previous = line_textures_[lineFrontBuffer ? 1 : 0];
  const UniformFade fade{lineFade};
  quadPass(cb, line_fade_pass_, current, "Draw Fade", {previous}, bytesOf(fade));
}

void StarRenderer::encodeLines(gpu::CommandBuffer& cb) {
  const auto& current = line_textures_[lineFrontBuffer ? 0 : 1];
  const int lines = std::clamp(lineNum, 0, engine::kLineCapacity);
  line_matrix_.finalM = projection;
  gpu::RenderCommandEncoder& e = beginPass(cb, line_pass_, current, "Draw Line", LoadAction::Load);
  e.setVertexBuffer(line_vertex_buffer_, 0, 0);
  e.setVertexBytes(&line_matrix_, sizeof(line_matrix_), 1);
  e.drawPrimitives(gpu::PrimitiveType::Triangle, 0, 6 * static_cast<std::size_t>(lines));
  e.endEncoding();
}
