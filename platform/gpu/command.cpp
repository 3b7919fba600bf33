#include <epoxy/gl.h>

#include <algorithm>
#include <cstring>

#include "platform/gpu/gpu.h"
#include "platform/gpu/internal.h"

namespace gpu {
namespace {

constexpr int kTextureSlots = 8;
constexpr int kFragmentBytesBase = 8;  // must match the prelude of device.cpp

GLenum blendFactor(BlendFactor f) {
  switch (f) {
    case BlendFactor::Zero: return GL_ZERO;
    case BlendFactor::One: return GL_ONE;
    case BlendFactor::SourceAlpha: return GL_SRC_ALPHA;
    case BlendFactor::OneMinusSourceAlpha: return GL_ONE_MINUS_SRC_ALPHA;
  }
  return GL_ONE;
}

DeviceBuffer& deviceBuffer(const std::shared_ptr<Buffer>& buffer) {
  auto* b = dynamic_cast<DeviceBuffer*>(buffer.get());
  GPU_REQUIRE(b != nullptr, "bound buffer was not made by the device");
  return *b;
}

}  // namespace

// --- Queue ---

std::shared_ptr<CommandBuffer> CommandQueue::commandBuffer() {
  // A pooled buffer is free again once only the pool holds it.
  for (auto& cb : pool_) {
    if (cb.use_count() == 1 && cb->status_ == CommandBuffer::Status::Completed) {
      cb->reuse();
      return cb;
    }
  }
  pool_.push_back(std::shared_ptr<CommandBuffer>(new CommandBuffer(device_)));
  return pool_.back();
}

// --- Command buffer ---

CommandBuffer::CommandBuffer(Device& device) : device_(device) {}

CommandBuffer::~CommandBuffer() {
  if (uniformBuffer_) glDeleteBuffers(1, &uniformBuffer_);
}

void CommandBuffer::reuse() {
  status_ = Status::NotEnqueued;
  encoding_ = false;
  commands_.clear();
  arena_.clear();
  scheduled_.clear();
  completed_.clear();
}

Command& CommandBuffer::append(Command::Op op) {
  GPU_REQUIRE(status_ == Status::NotEnqueued, "encoding into a committed command buffer");
  Command& c = commands_.emplace_back();
  c.op = op;
  return c;
}

std::size_t CommandBuffer::store(const void* data, std::size_t length, std::size_t alignment) {
  std::size_t offset = (arena_.size() + alignment - 1) / alignment * alignment;
  // Uniform blocks are read in 16-byte rows: pad so a short struct never
  // reads past the bound range.
  std::size_t padded = alignment > 1 ? (length + 15) / 16 * 16 : length;
  arena_.resize(offset + padded);
  std::memset(arena_.data() + offset, 0, padded);
  if (length > 0) std::memcpy(arena_.data() + offset, data, length);
  return offset;
}

void CommandBuffer::appendBytes(Command::Op op, const void* bytes, std::size_t length, std::uint32_t index) {
  std::size_t at = store(bytes, length, device_.uniformAlignment());
  Command& c = append(op);
  c.index = index;
  c.dataOffset = at;
  c.dataLength = length;
}

std::string_view CommandBuffer::label(const Command& c) const {
  if (c.op != Command::Op::BeginRenderPass) return {};
  return {reinterpret_cast<const char*>(arena_.data()) + c.dataOffset, c.dataLength};
}

std::span<const std::byte> CommandBuffer::bytes(const Command& c) const {
  return {arena_.data() + c.dataOffset, c.dataLength};
}

RenderCommandEncoder& CommandBuffer::renderCommandEncoder(const RenderPassDescriptor& descriptor) {
  GPU_REQUIRE(!encoding_, "an encoder is still open");
  const RenderPassColorAttachmentDescriptor& a = descriptor.colorAttachments[0];
  GPU_REQUIRE(a.texture != nullptr, "render pass without a colour attachment texture");
  encoding_ = true;
  render_.begin_ = commands_.size();
  render_.targetFormat_ = a.texture->pixelFormat();
  Command& c = append(Command::Op::BeginRenderPass);
  c.texture = a.texture;
  c.loadAction = a.loadAction;
  c.clearColor = a.clearColor;
  return render_;
}

ComputeCommandEncoder& CommandBuffer::computeCommandEncoder() {
  GPU_REQUIRE(!encoding_, "an encoder is still open");
  encoding_ = true;
  compute_.pipeline_.reset();
  append(Command::Op::BeginComputePass);
  return compute_;
}

void CommandBuffer::addScheduledHandler(Handler handler) { scheduled_.push_back(std::move(handler)); }
void CommandBuffer::addCompletedHandler(Handler handler) { completed_.push_back(std::move(handler)); }

void CommandBuffer::commit() {
  GPU_REQUIRE(status_ == Status::NotEnqueued, "a command buffer is committed once");
  GPU_REQUIRE(!encoding_, "commit with an encoder still open");
  replay();
  status_ = Status::Completed;
  for (auto& h : scheduled_) h(*this);
  for (auto& h : completed_) h(*this);
}

void CommandBuffer::waitUntilCompleted() {
  GPU_REQUIRE(status_ == Status::Completed, "waiting on a command buffer that was not committed");
  glFinish();
}

void CommandBuffer::replay() {
  if (!arena_.empty()) {
    if (uniformBuffer_ == 0) glCreateBuffers(1, &uniformBuffer_);
    // Orphans the previous contents, so no wait on earlier draws.
    glNamedBufferData(uniformBuffer_, static_cast<GLsizeiptr>(arena_.size()), arena_.data(), GL_STREAM_DRAW);
  }
  const RenderPipelineState* pipeline = nullptr;
  GLuint samplers[kTextureSlots];
  const GLuint none[kTextureSlots] = {};

  for (const Command& c : commands_) {
    switch (c.op) {
      case Command::Op::BeginRenderPass: {
        Texture& t = *c.texture;
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, t.glFramebuffer());
        glViewport(0, 0, static_cast<GLsizei>(t.width()), static_cast<GLsizei>(t.height()));
        // Each encoder starts with nothing bound, as in Metal.
        glBindTextures(0, kTextureSlots, none);
        pipeline = nullptr;
        if (c.loadAction == LoadAction::Clear) {
          const GLfloat color[4] = {static_cast<GLfloat>(c.clearColor.red), static_cast<GLfloat>(c.clearColor.green),
                                    static_cast<GLfloat>(c.clearColor.blue), static_cast<GLfloat>(c.clearColor.alpha)};
          glClearNamedFramebufferfv(t.glFramebuffer(), GL_COLOR, 0, color);
        }
        break;
      }
      case Command::Op::SetRenderPipeline: {
        pipeline = c.renderPipeline.get();
        glUseProgram(pipeline->program_);
        const RenderPipelineColorAttachmentDescriptor& a = pipeline->attachment_;
        if (a.blendingEnabled) {
          glEnablei(GL_BLEND, 0);
          glBlendEquationSeparatei(0, GL_FUNC_ADD, GL_FUNC_ADD);
          glBlendFuncSeparatei(0, blendFactor(a.sourceRGBBlendFactor), blendFactor(a.destinationRGBBlendFactor),
                               blendFactor(a.sourceAlphaBlendFactor), blendFactor(a.destinationAlphaBlendFactor));
        } else {
          glDisablei(GL_BLEND, 0);
        }
        break;
      }
      case Command::Op::SetCullMode:
        glDisable(GL_CULL_FACE);
        break;
      case Command::Op::SetVertexBuffer:
      case Command::Op::SetComputeBuffer: {
        DeviceBuffer& b = deviceBuffer(c.buffer);
        b.upload();
        glBindBufferRange(GL_SHADER_STORAGE_BUFFER, c.index, b.glName(), static_cast<GLintptr>(c.offset),
                          static_cast<GLsizeiptr>(b.length() - c.offset));
        break;
      }
      case Command::Op::SetVertexBytes:
      case Command::Op::SetComputeBytes:
        glBindBufferRange(GL_UNIFORM_BUFFER, c.index, uniformBuffer_, static_cast<GLintptr>(c.dataOffset),
                          static_cast<GLsizeiptr>((c.dataLength + 15) / 16 * 16));
        break;
      case Command::Op::SetFragmentBytes:
        glBindBufferRange(GL_UNIFORM_BUFFER, kFragmentBytesBase + c.index, uniformBuffer_,
                          static_cast<GLintptr>(c.dataOffset), static_cast<GLsizeiptr>((c.dataLength + 15) / 16 * 16));
        break;
      case Command::Op::SetFragmentTexture:
      case Command::Op::SetComputeTexture:
        glBindTextureUnit(c.index, c.texture->glName());
        break;
      case Command::Op::DrawPrimitives: {
        for (int i = 0; i < kTextureSlots; ++i) {
          samplers[i] = (pipeline->repeatSlots_ >> i) & 1 ? device_.repeatSampler_ : device_.clampSampler_;
        }
        glBindSamplers(0, kTextureSlots, samplers);
        if (c.count > 0) {
          glDrawArrays(c.primitive == PrimitiveType::Point ? GL_POINTS : GL_TRIANGLES, static_cast<GLint>(c.start),
                       static_cast<GLsizei>(c.count));
        }
        break;
      }
      case Command::Op::BeginComputePass:
        glBindTextures(0, kTextureSlots, none);
        break;
      case Command::Op::SetComputePipeline:
        glUseProgram(c.computePipeline->program_);
        break;
      case Command::Op::Dispatch:
        for (int i = 0; i < kTextureSlots; ++i) samplers[i] = device_.clampSampler_;
        glBindSamplers(0, kTextureSlots, samplers);
        if (c.start > 0) glDispatchCompute(static_cast<GLuint>(c.start), 1, 1);
        // What a kernel wrote is visible to every later draw, fetch and copy.
        glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_VERTEX_ATTRIB_ARRAY_BARRIER_BIT |
                        GL_TEXTURE_FETCH_BARRIER_BIT | GL_BUFFER_UPDATE_BARRIER_BIT);
        break;
      case Command::Op::EndEncoding:
        break;
    }
  }
  glUseProgram(0);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
  glFlush();
}

// --- Render encoder ---

void RenderCommandEncoder::setLabel(std::string_view label) {
  Command& begin = cb_.commands_[begin_];
  begin.dataOffset = cb_.store(label.data(), label.size(), 1);
  begin.dataLength = label.size();
}

void RenderCommandEncoder::setRenderPipelineState(const std::shared_ptr<RenderPipelineState>& state) {
  GPU_REQUIRE(state != nullptr, "null render pipeline state");
  GPU_REQUIRE(state->colorAttachment().pixelFormat == targetFormat_,
              "the pipeline's colour format differs from the pass's attachment");
  cb_.append(Command::Op::SetRenderPipeline).renderPipeline = state;
}

void RenderCommandEncoder::setCullMode(CullMode) { cb_.append(Command::Op::SetCullMode); }

void RenderCommandEncoder::setVertexBuffer(const std::shared_ptr<Buffer>& buffer, std::size_t offset,
                                           std::uint32_t index) {
  GPU_REQUIRE(buffer != nullptr && offset < buffer->length(), "vertex buffer missing or offset past its end");
  Command& c = cb_.append(Command::Op::SetVertexBuffer);
  c.buffer = buffer;
  c.offset = offset;
  c.index = index;
}

void RenderCommandEncoder::setVertexBytes(const void* bytes, std::size_t length, std::uint32_t index) {
  cb_.appendBytes(Command::Op::SetVertexBytes, bytes, length, index);
}

void RenderCommandEncoder::setFragmentTexture(const std::shared_ptr<Texture>& texture, std::uint32_t index) {
  GPU_REQUIRE(texture != nullptr, "null fragment texture");
  GPU_REQUIRE(texture != cb_.commands_[begin_].texture, "a pass cannot sample its own target");
  Command& c = cb_.append(Command::Op::SetFragmentTexture);
  c.texture = texture;
  c.index = index;
}

void RenderCommandEncoder::setFragmentBytes(const void* bytes, std::size_t length, std::uint32_t index) {
  cb_.appendBytes(Command::Op::SetFragmentBytes, bytes, length, index);
}

void RenderCommandEncoder::drawPrimitives(PrimitiveType type, std::size_t vertexStart, std::size_t vertexCount) {
  bool hasPipeline = false;
  for (std::size_t i = begin_; i < cb_.commands_.size(); ++i) {
    hasPipeline |= cb_.commands_[i].op == Command::Op::SetRenderPipeline;
  }
  GPU_REQUIRE(hasPipeline, "draw without a render pipeline state");
  Command& c = cb_.append(Command::Op::DrawPrimitives);
  c.primitive = type;
  c.start = vertexStart;
  c.count = vertexCount;
}

void RenderCommandEncoder::endEncoding() {
  cb_.append(Command::Op::EndEncoding);
  cb_.encoding_ = false;
}

// --- Compute encoder ---

void ComputeCommandEncoder::setComputePipelineState(const std::shared_ptr<ComputePipelineState>& state) {
  GPU_REQUIRE(state != nullptr, "null compute pipeline state");
  pipeline_ = state;
  cb_.append(Command::Op::SetComputePipeline).computePipeline = state;
}

void ComputeCommandEncoder::setBuffer(const std::shared_ptr<Buffer>& buffer, std::size_t offset,
                                      std::uint32_t index) {
  GPU_REQUIRE(buffer != nullptr && offset < buffer->length(), "compute buffer missing or offset past its end");
  Command& c = cb_.append(Command::Op::SetComputeBuffer);
  c.buffer = buffer;
  c.offset = offset;
  c.index = index;
}

void ComputeCommandEncoder::setBytes(const void* bytes, std::size_t length, std::uint32_t index) {
  cb_.appendBytes(Command::Op::SetComputeBytes, bytes, length, index);
}

void ComputeCommandEncoder::setTexture(const std::shared_ptr<Texture>& texture, std::uint32_t index) {
  GPU_REQUIRE(texture != nullptr, "null compute texture");
  Command& c = cb_.append(Command::Op::SetComputeTexture);
  c.texture = texture;
  c.index = index;
}

void ComputeCommandEncoder::dispatchThreadgroups(std::size_t threadgroups, std::size_t threadsPerThreadgroup) {
  GPU_REQUIRE(pipeline_ != nullptr, "dispatch without a compute pipeline state");
  GPU_REQUIRE(threadsPerThreadgroup == pipeline_->maxTotalThreadsPerThreadgroup(),
              "threads per threadgroup differ from the kernel's fixed width");
  Command& c = cb_.append(Command::Op::Dispatch);
  c.start = threadgroups;
  c.count = threadsPerThreadgroup;
}

void ComputeCommandEncoder::endEncoding() {
  cb_.append(Command::Op::EndEncoding);
  cb_.encoding_ = false;
  pipeline_.reset();
}

}  // namespace gpu
