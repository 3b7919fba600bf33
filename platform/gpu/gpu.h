// A small Metal-shaped GPU layer over OpenGL 4.5 core.
//
// The model: a Device makes libraries (GLSL texts compiled at run time),
// pipeline states, textures and buffers; a CommandQueue hands out command
// buffers; encoders record into a command buffer, and commit replays the
// record in order on the GL context. Everything runs on the thread that owns
// the context (the one that made the surface).
//
// Conventions that differ from plain GL so that the shaders read like their
// Metal originals:
//  - Texture row 0 is the top of the image: clip-space y = +1 draws into row 0
//    and texture coordinate v = 0 samples it. Readback returns the top row
//    first. A window surface flips once when it shows a drawable.
//  - Resource slots are per stage, as in Metal. In GLSL they map to bindings:
//      vertex buffer i      -> shader storage block, binding i
//      vertex bytes i       -> uniform block (std140), binding GPU_VERTEX_BYTES + i
//      fragment bytes i     -> uniform block (std140), binding GPU_FRAGMENT_BYTES + i
//      fragment texture i   -> sampler unit i
//      compute buffer i     -> shader storage block, binding i
//      compute bytes i      -> uniform block (std140), binding GPU_COMPUTE_BYTES + i
//      compute texture i    -> sampler unit i
//    The GPU_* names are defined in every compiled text.
//  - Vertex functions fetch their vertex from storage buffers by gl_VertexID;
//    there are no vertex descriptors.
//
// Objects made by a device must be destroyed before it (the device owns the GL
// context). Failures are returned as foundation::Status values carrying the GL log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/gpu/buffer.h"

namespace gpu {

// Errors of this layer: domain "gpu"; invalid for a text, entry or pipeline
// that cannot be built, unavailable for a context that cannot be had.
inline constexpr const char* kErrorDomain = "gpu";
enum class ErrorCode { invalid = 1, unavailable = 2 };
foundation::Error error(ErrorCode code, std::string description);

enum class PixelFormat { RGBA8Unorm, RGBA16Float };
enum class BlendOperation { Add };
enum class BlendFactor { Zero, One, SourceAlpha, OneMinusSourceAlpha };
enum class LoadAction { Load, Clear };
enum class StoreAction { Store };
enum class CullMode { None };  // the engine draws everything unculled
enum class PrimitiveType { Triangle, Point };
enum class FunctionType { Vertex, Fragment, Kernel };

struct ClearColor {
  double red = 0, green = 0, blue = 0, alpha = 1;
};

// A size in pixels.
struct Extent {
  std::size_t width = 0, height = 0;
  bool operator==(const Extent&) const = default;
};

// `size` scaled down by one factor for both sides until each side is within
// `limit`, so the picture keeps its shape; unchanged when it fits. A side
// scaled down keeps at least one pixel.
Extent fitWithin(Extent size, Extent limit);

// A two-dimensional texture with one mip level.
class Texture {
 public:
  ~Texture();
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;

  std::size_t width() const { return width_; }
  std::size_t height() const { return height_; }
  PixelFormat pixelFormat() const { return format_; }

  // Replaces every texel; rgba holds 4 floats per texel, top row first.
  void replace(std::span<const float> rgba);
  // Reads every texel back as 4 floats, top row first.
  std::vector<float> readPixels() const;
  // Reads every texel back as 4 bytes (0..255), top row first.
  std::vector<std::uint8_t> readBytes() const;

  unsigned glName() const { return name_; }
  unsigned glFramebuffer();  // made on first use, kept for the texture's life

 private:
  friend class Device;
  Texture(std::size_t width, std::size_t height, PixelFormat format);

  std::size_t width_, height_;
  PixelFormat format_;
  unsigned name_ = 0;
  unsigned framebuffer_ = 0;
};

// One entry point of a library.
class Function {
 public:
  ~Function();
  const std::string& name() const { return name_; }
  FunctionType functionType() const { return type_; }

 private:
  friend class Library;
  friend class Device;
  Function(std::string name, FunctionType type, unsigned shader, std::uint32_t repeatSlots);

  std::string name_;
  FunctionType type_;
  unsigned shader_;
  std::uint32_t repeatSlots_;  // texture slots sampled with repeat addressing
};

// A GLSL text with marked entry points. Each entry is a line
//   //@ vertex NAME            //@ fragment NAME [repeat=SLOT,...]
//   //@ kernel NAME
// and its code is compiled with NAME defined (after the #version line), so the
// text selects the entry's main() with #ifdef NAME. Texture slots listed after
// repeat= are sampled with repeat addressing; all others clamp to the edge.
class Library {
 public:
  // The entry named `name`, or nullptr when the library has none.
  std::shared_ptr<Function> newFunction(std::string_view name) const;
  std::vector<std::string> functionNames() const;

 private:
  friend class Device;
  std::vector<std::shared_ptr<Function>> functions_;
};

struct RenderPipelineColorAttachmentDescriptor {
  PixelFormat pixelFormat = PixelFormat::RGBA8Unorm;
  bool blendingEnabled = false;
  BlendOperation rgbBlendOperation = BlendOperation::Add;
  BlendOperation alphaBlendOperation = BlendOperation::Add;
  BlendFactor sourceRGBBlendFactor = BlendFactor::One;
  BlendFactor destinationRGBBlendFactor = BlendFactor::Zero;
  BlendFactor sourceAlphaBlendFactor = BlendFactor::One;
  BlendFactor destinationAlphaBlendFactor = BlendFactor::Zero;
};

struct RenderPipelineDescriptor {
  std::shared_ptr<Function> vertexFunction;
  std::shared_ptr<Function> fragmentFunction;
  std::array<RenderPipelineColorAttachmentDescriptor, 1> colorAttachments;
};

class RenderPipelineState {
 public:
  ~RenderPipelineState();
  const RenderPipelineColorAttachmentDescriptor& colorAttachment() const { return attachment_; }
  unsigned glProgram() const { return program_; }

 private:
  friend class Device;
  friend class CommandBuffer;
  RenderPipelineState() = default;
  unsigned program_ = 0;
  RenderPipelineColorAttachmentDescriptor attachment_;
  std::uint32_t repeatSlots_ = 0;
};

class ComputePipelineState {
 public:
  ~ComputePipelineState();
  // The kernel's fixed threadgroup width; dispatches must use it.
  std::size_t maxTotalThreadsPerThreadgroup() const { return threadsPerGroup_; }

 private:
  friend class Device;
  friend class CommandBuffer;
  ComputePipelineState() = default;
  unsigned program_ = 0;
  std::size_t threadsPerGroup_ = 0;
};

struct RenderPassColorAttachmentDescriptor {
  std::shared_ptr<Texture> texture;
  LoadAction loadAction = LoadAction::Load;
  ClearColor clearColor;
  StoreAction storeAction = StoreAction::Store;
};

struct RenderPassDescriptor {
  std::array<RenderPassColorAttachmentDescriptor, 1> colorAttachments;
};

// One recorded step of a command buffer. Encoders append them; commit
// replays them. Tests read them to check what a frame encodes.
struct Command {
  enum class Op : std::uint8_t {
    BeginRenderPass,   // texture, loadAction, clearColor, label
    SetRenderPipeline, // renderPipeline
    SetCullMode,
    SetVertexBuffer,   // buffer, index, offset
    SetVertexBytes,    // index, bytes
    SetFragmentTexture,// texture, index
    SetFragmentBytes,  // index, bytes
    DrawPrimitives,    // primitive, start, count
    BeginComputePass,
    SetComputePipeline,// computePipeline
    SetComputeBuffer,  // buffer, index, offset
    SetComputeBytes,   // index, bytes
    SetComputeTexture, // texture, index
    Dispatch,          // groups, threadsPerGroup
    EndEncoding,
  };
  Op op;
  std::uint32_t index = 0;
  std::shared_ptr<Texture> texture;
  std::shared_ptr<Buffer> buffer;
  std::shared_ptr<RenderPipelineState> renderPipeline;
  std::shared_ptr<ComputePipelineState> computePipeline;
  LoadAction loadAction = LoadAction::Load;
  ClearColor clearColor;
  PrimitiveType primitive = PrimitiveType::Triangle;
  std::size_t offset = 0;  // buffer offset
  std::size_t start = 0, count = 0;  // draw range, or groups and threadsPerGroup
  std::size_t dataOffset = 0, dataLength = 0;  // label or bytes in the command buffer's arena
};

class CommandBuffer;

class RenderCommandEncoder {
 public:
  void setLabel(std::string_view label);
  void setRenderPipelineState(const std::shared_ptr<RenderPipelineState>& state);
  void setCullMode(CullMode mode);
  void setVertexBuffer(const std::shared_ptr<Buffer>& buffer, std::size_t offset, std::uint32_t index);
  void setVertexBytes(const void* bytes, std::size_t length, std::uint32_t index);
  void setFragmentTexture(const std::shared_ptr<Texture>& texture, std::uint32_t index);
  void setFragmentBytes(const void* bytes, std::size_t length, std::uint32_t index);
  void drawPrimitives(PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount);
  void endEncoding();

 private:
  friend class CommandBuffer;
  explicit RenderCommandEncoder(CommandBuffer& cb) : cb_(cb) {}
  CommandBuffer& cb_;
  std::size_t begin_ = 0;  // index of this pass's BeginRenderPass command
  PixelFormat targetFormat_ = PixelFormat::RGBA8Unorm;
};

class ComputeCommandEncoder {
 public:
  void setComputePipelineState(const std::shared_ptr<ComputePipelineState>& state);
  void setBuffer(const std::shared_ptr<Buffer>& buffer, std::size_t offset, std::uint32_t index);
  void setBytes(const void* bytes, std::size_t length, std::uint32_t index);
  void setTexture(const std::shared_ptr<Texture>& texture, std::uint32_t index);
  // threadsPerThreadgroup must equal the pipeline's threadgroup width.
  void dispatchThreadgroups(std::size_t threadgroups, std::size_t threadsPerThreadgroup);
  void endEncoding();

 private:
  friend class CommandBuffer;
  explicit ComputeCommandEncoder(CommandBuffer& cb) : cb_(cb) {}
  CommandBuffer& cb_;
  std::shared_ptr<ComputePipelineState> pipeline_;
};

class Device;

// Records commands; commit replays them on the GL context, then runs the
// scheduled handlers and then the completed handlers, on the calling thread.
// Command buffers are reused by their queue once nobody holds them any more,
// so a steady frame loop allocates nothing.
class CommandBuffer {
 public:
  enum class Status { NotEnqueued, Completed };
  // A handler's captures should be small and trivially copyable (pointers),
  // so that adding one does not allocate.
  using Handler = std::function<void(CommandBuffer&)>;

  ~CommandBuffer();
  CommandBuffer(const CommandBuffer&) = delete;
  CommandBuffer& operator=(const CommandBuffer&) = delete;

  // One encoder may be open at a time; the reference stays valid until
  // endEncoding.
  RenderCommandEncoder& renderCommandEncoder(const RenderPassDescriptor& descriptor);
  ComputeCommandEncoder& computeCommandEncoder();

  void addScheduledHandler(Handler handler);
  void addCompletedHandler(Handler handler);
  void commit();
  // Blocks until the GPU has finished everything committed so far.
  void waitUntilCompleted();
  Status status() const { return status_; }

  const std::vector<Command>& commands() const { return commands_; }
  std::string_view label(const Command& c) const;
  std::span<const std::byte> bytes(const Command& c) const;

 private:
  friend class CommandQueue;
  friend class RenderCommandEncoder;
  friend class ComputeCommandEncoder;
  explicit CommandBuffer(Device& device);
  void reuse();
  Command& append(Command::Op op);
  std::size_t store(const void* data, std::size_t length, std::size_t alignment);
  // Copies uniform bytes at encode time and records the command that binds them.
  void appendBytes(Command::Op op, const void* bytes, std::size_t length, std::uint32_t index);
  void replay();

  Device& device_;
  Status status_ = Status::NotEnqueued;
  bool encoding_ = false;
  std::vector<Command> commands_;
  std::vector<std::byte> arena_;
  std::vector<Handler> scheduled_;
  std::vector<Handler> completed_;
  RenderCommandEncoder render_{*this};
  ComputeCommandEncoder compute_{*this};
  unsigned uniformBuffer_ = 0;
  std::size_t uniformCapacity_ = 0;
};

class CommandQueue {
 public:
  explicit CommandQueue(Device& device) : device_(device) {}
  std::shared_ptr<CommandBuffer> commandBuffer();

 private:
  Device& device_;
  std::vector<std::shared_ptr<CommandBuffer>> pool_;
};

// What a surface hands to the renderer each frame.
class Drawable {
 public:
  virtual ~Drawable() = default;
  virtual std::shared_ptr<Texture> texture() const = 0;
  virtual void present() = 0;
};

class Device {
 public:
  // Takes over a GL context that is current on this thread; release is called
  // when the device is destroyed, after the device's own GL objects.
  static foundation::Result<std::shared_ptr<Device>> create(std::function<void()> releaseContext);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::string& name() const { return name_; }

  std::shared_ptr<CommandQueue> newCommandQueue();
  foundation::Result<std::shared_ptr<Library>> newLibrary(std::string_view source);
  foundation::Result<std::shared_ptr<RenderPipelineState>> newRenderPipelineState(
      const RenderPipelineDescriptor& descriptor);
  foundation::Result<std::shared_ptr<ComputePipelineState>> newComputePipelineState(
      const std::shared_ptr<Function>& kernel);
  std::shared_ptr<Texture> newTexture(PixelFormat format, std::size_t width, std::size_t height);
  // A buffer whose CPU copy is uploaded (only the modified range) before each
  // GPU use. Bytes may be null for zeros.
  std::shared_ptr<Buffer> newBuffer(std::size_t length, const void* bytes = nullptr);
  // Copies what the GPU holds of the buffer into its CPU copy (after the GPU
  // wrote it; pending CPU changes are uploaded first).
  void synchronize(Buffer& buffer);

  std::size_t uniformAlignment() const { return uniformAlignment_; }
  float maxPointSize() const { return maxPointSize_; }
  // The largest texture that can be drawn into whole: the least of the
  // context's texture, renderbuffer and viewport limits, per side. Larger
  // textures cannot be render targets; callers fit their sizes within it.
  Extent maxRenderTargetSize() const { return maxRenderTargetSize_; }
  // Lowers that limit, never raises it: tests cannot open a window past a
  // real GPU's limit, but can bring the limit below their window.
  void lowerMaxRenderTargetSize(Extent limit);

 private:
  friend class CommandBuffer;
  Device() = default;

  std::string name_;
  std::function<void()> releaseContext_;
  unsigned vertexArray_ = 0;
  unsigned clampSampler_ = 0;
  unsigned repeatSampler_ = 0;
  std::size_t uniformAlignment_ = 256;
  float maxPointSize_ = 1;
  Extent maxRenderTargetSize_;
};

}  // namespace gpu
