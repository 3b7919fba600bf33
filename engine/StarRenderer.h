// The engine's one concrete renderer: it builds every pipeline, pass
// descriptor and GPU buffer at construction, and encodes each frame's fluid
// passes, effects chain and line trails.
//
// Construction compiles the 22 shader texts into 26 render pipelines and the
// line kernel; a text that does not compile or an entry that is missing ends
// the process with its message, as nothing can be drawn without it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/Renderer.h"
#include "engine/ShaderTypes.h"

// A render pipeline with the pass descriptor of the passes that use it.
struct PipelinePass {
  std::shared_ptr<gpu::RenderPipelineState> pipeline;
  std::shared_ptr<gpu::RenderPassDescriptor> descriptor;
};

// Uniform bytes handed to a pass by value.
struct PassBytes {
  const void* data = nullptr;
  std::size_t length = 0;
};

class StarRenderer : public Renderer {
 public:
  explicit StarRenderer(std::shared_ptr<gpu::Device> device,
                        engine::Services services = engine::Services::system());
  ~StarRenderer() override;

  bool drawableSizeWillChange(DrawableSize size) override;
  void draw(bool paused, gpu::Drawable* drawable, const gpu::Texture* depthStencil) override;
  bool UpdateMetalComputePreps() override;

  // The frame's passes (draw calls them; tests call them on their own).
  void encodeFluidPasses(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable);
  void encodeSplatPoints(gpu::CommandBuffer& cb);
  void solvePressure(gpu::CommandBuffer& cb);
  void encodePressurePass(gpu::CommandBuffer& cb);
  void encodeEffects(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable);
  void encodeSunrays(gpu::CommandBuffer& cb);
  void encodePressureNormals(gpu::CommandBuffer& cb);
  void encodeBloom(gpu::CommandBuffer& cb);
  void encodeEffectsComposite(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable);
  void encodeLineTrails(gpu::CommandBuffer& cb, const std::shared_ptr<gpu::Texture>& drawable);
  void encodeLineFade(gpu::CommandBuffer& cb);
  void encodeLines(gpu::CommandBuffer& cb);

  DrawableSize drawableSize;
  float4x4 projection{};

  PipelinePass color_splat_pass_;
  PipelinePass velocity_splat_pass_;
  PipelinePass curl_pass_;
  PipelinePass vorticity_pass_;
  PipelinePass divergence_pass_;
  PipelinePass pressure_fade_pass_;
  PipelinePass pressure_pass_;
  PipelinePass gradient_pass_;
  PipelinePass advect_color_pass_;
  PipelinePass advect_velocity_pass_;
  PipelinePass display_pass_;
  PipelinePass bloom_prefilter_pass_;
  PipelinePass bloom_blur_pass_;
  PipelinePass bloom_blur_add_pass_;
  PipelinePass bloom_final_pass_;
  PipelinePass sunrays_mask_pass_;
  PipelinePass sunrays_pass_;
  PipelinePass sunrays_blur_pass_;
  PipelinePass height_from_pressure_pass_;
  PipelinePass normal_from_height_pass_;
  PipelinePass effects_pass_;
  PipelinePass point_color_pass_;
  PipelinePass point_velocity_pass_;
  PipelinePass line_pass_;
  PipelinePass line_fade_pass_;
  PipelinePass line_composite_pass_;

  std::vector<std::shared_ptr<gpu::RenderPipelineState>> owned_pipelines_;
  std::vector<std::shared_ptr<gpu::RenderPassDescriptor>> owned_pass_descriptors_;
  std::shared_ptr<gpu::ComputePipelineState> line_move_pipeline_;
  std::shared_ptr<gpu::CommandQueue> compute_command_queue_;
  std::shared_ptr<gpu::Buffer> quad_vertex_buffer_;

  UniformVireonPoint point_uniform_{};
  LineMatrix line_matrix_{};
  // False until the first pressure fade: the first frame has no pressure
  // history to relax.
  bool pressureHistoryValid = false;

 protected:
  void loadMetalInternal();
  // Builds one render pipeline (the factors in this order: destination RGB,
  // source RGB, destination alpha, source alpha). A failure is fatal.
  void setRenderPipelineDescriptor(PipelinePass& entry, const std::string& source, const char* vertexName,
                                   const char* fragmentName, gpu::PixelFormat format, bool blendingEnabled,
                                   gpu::BlendFactor destinationRGB, gpu::BlendFactor sourceRGB,
                                   gpu::BlendFactor destinationAlpha, gpu::BlendFactor sourceAlpha);
  void setComputePipelineDescriptor(std::shared_ptr<gpu::ComputePipelineState>& pipeline,
                                    std::shared_ptr<gpu::CommandQueue>& queue, const std::string& source,
                                    const char* kernelName);

 private:
  template <class T>
  static PassBytes bytesOf(const T& value) {
    return {&value, sizeof(T)};
  }
  // The pass template: the target cleared to opaque black (or loaded), a
  // labelled encoder with the pass's pipeline and no culling.
  gpu::RenderCommandEncoder& beginPass(gpu::CommandBuffer& cb, PipelinePass& pass,
                                       const std::shared_ptr<gpu::Texture>& target, const char* label,
                                       gpu::LoadAction load = gpu::LoadAction::Clear);
  // A full-screen pass: textures at slots 0.., optional fragment bytes at 0
  // and vertex bytes at 1, the six-vertex quad.
  void quadPass(gpu::CommandBuffer& cb, PipelinePass& pass, const std::shared_ptr<gpu::Texture>& target,
                const char* label, std::initializer_list<std::shared_ptr<gpu::Texture>> textures,
                PassBytes fragmentBytes = {}, PassBytes vertexBytes = {});
  float2 gridTexelSize() const;
  bool targetsReady() const;
};
