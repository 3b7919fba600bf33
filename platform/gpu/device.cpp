#include <epoxy/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "absl/strings/str_cat.h"
#include "platform/gpu/gpu.h"
#include "platform/gpu/internal.h"

namespace gpu {

foundation::Error error(ErrorCode code, std::string description) {
  return foundation::Error(kErrorDomain, static_cast<std::int64_t>(code), std::move(description));
}

void misuse(const char* what) {
  std::fprintf(stderr, "gpu: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

Extent fitWithin(Extent size, Extent limit) {
  if (size.width <= limit.width && size.height <= limit.height) return size;
  const double scale = std::min(static_cast<double>(limit.width) / static_cast<double>(size.width),
                                static_cast<double>(limit.height) / static_cast<double>(size.height));
  // The side that sets the scale lands on its limit exactly; the other is
  // rounded, and neither may pass its limit or vanish.
  auto side = [scale](std::size_t length, std::size_t most) -> std::size_t {
    if (length == 0) return 0;
    const auto scaled = static_cast<std::size_t>(std::llround(static_cast<double>(length) * scale));
    return std::clamp<std::size_t>(scaled, 1, std::max<std::size_t>(most, 1));
  };
  return Extent{side(size.width, limit.width), side(size.height, limit.height)};
}

namespace {

GLenum internalFormat(PixelFormat f) { return f == PixelFormat::RGBA16Float ? GL_RGBA16F : GL_RGBA8; }

// Bindings the texts see; gpu.h documents the mapping from Metal slots.
constexpr int kVertexBytesBase = 0;
constexpr int kFragmentBytesBase = 8;
constexpr int kComputeBytesBase = 0;

std::string shaderLog(GLuint shader) {
  GLint length = 0;
  glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
  std::string log(static_cast<std::size_t>(std::max(length, 1)), '\0');
  glGetShaderInfoLog(shader, length, nullptr, log.data());
  log.resize(std::strlen(log.c_str()));
  return log;
}

std::string programLog(GLuint program) {
  GLint length = 0;
  glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
  std::string log(static_cast<std::size_t>(std::max(length, 1)), '\0');
  glGetProgramInfoLog(program, length, nullptr, log.data());
  log.resize(std::strlen(log.c_str()));
  return log;
}

struct Entry {
  FunctionType type;
  std::string name;
  std::uint32_t repeatSlots = 0;
};

// Reads the "//@ vertex|fragment|kernel NAME [repeat=a,b]" lines of a text.
foundation::Result<std::vector<Entry>> entries(std::string_view source) {
  std::vector<Entry> out;
  std::size_t pos = 0;
  while (pos < source.size()) {
    std::size_t end = source.find('\n', pos);
    if (end == std::string_view::npos) end = source.size();
    std::string_view line = source.substr(pos, end - pos);
    pos = end + 1;
    if (!line.starts_with("//@ ")) continue;
    line.remove_prefix(4);
    auto word = [&line]() {
      while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
      std::size_t n = std::min(line.find(' '), line.size());
      std::string_view w = line.substr(0, n);
      line.remove_prefix(n);
      return w;
    };
    Entry e;
    std::string_view kind = word();
    if (kind == "vertex") e.type = FunctionType::Vertex;
    else if (kind == "fragment") e.type = FunctionType::Fragment;
    else if (kind == "kernel") e.type = FunctionType::Kernel;
    else return error(ErrorCode::invalid, absl::StrCat("unknown entry kind '", std::string(kind), "'"));
    e.name = std::string(word());
    if (e.name.empty()) return error(ErrorCode::invalid, "entry without a name");
    for (const Entry& earlier : out) {
      if (earlier.name == e.name) return error(ErrorCode::invalid, absl::StrCat("entry ", e.name, " marked twice"));
    }
    for (std::string_view option = word(); !option.empty(); option = word()) {
      if (!option.starts_with("repeat=")) {
        return error(ErrorCode::invalid, absl::StrCat("unknown option '", std::string(option), "' of ", e.name));
      }
      option.remove_prefix(7);
      for (char c : option) {
        if (c >= '0' && c <= '9') e.repeatSlots |= 1u << (c - '0');
        else if (c != ',') return error(ErrorCode::invalid, absl::StrCat("bad repeat slot of ", e.name));
      }
    }
    out.push_back(std::move(e));
  }
  return out;
}

GLenum stage(FunctionType t) {
  switch (t) {
    case FunctionType::Vertex: return GL_VERTEX_SHADER;
    case FunctionType::Fragment: return GL_FRAGMENT_SHADER;
    case FunctionType::Kernel: return GL_COMPUTE_SHADER;
  }
  return GL_VERTEX_SHADER;
}

}  // namespace

// --- Texture ---

Texture::Texture(std::size_t width, std::size_t height, PixelFormat format)
    : width_(width), height_(height), format_(format) {
  glCreateTextures(GL_TEXTURE_2D, 1, &name_);
  glTextureStorage2D(name_, 1, internalFormat(format), static_cast<GLsizei>(width), static_cast<GLsizei>(height));
}

Texture::~Texture() {
  if (framebuffer_) glDeleteFramebuffers(1, &framebuffer_);
  glDeleteTextures(1, &name_);
}

unsigned Texture::glFramebuffer() {
  if (framebuffer_ == 0) {
    glCreateFramebuffers(1, &framebuffer_);
    glNamedFramebufferTexture(framebuffer_, GL_COLOR_ATTACHMENT0, name_, 0);
    GPU_REQUIRE(glCheckNamedFramebufferStatus(framebuffer_, GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE,
                "texture cannot be a render target");
  }
  return framebuffer_;
}

void Texture::replace(std::span<const float> rgba) {
  GPU_REQUIRE(rgba.size() == width_ * height_ * 4, "replace needs four floats per texel");
  glTextureSubImage2D(name_, 0, 0, 0, static_cast<GLsizei>(width_), static_cast<GLsizei>(height_), GL_RGBA,
                      GL_FLOAT, rgba.data());
}

std::vector<float> Texture::readPixels() const {
  std::vector<float> out(width_ * height_ * 4);
  glGetTextureImage(name_, 0, GL_RGBA, GL_FLOAT, static_cast<GLsizei>(out.size() * sizeof(float)), out.data());
  return out;
}

std::vector<std::uint8_t> Texture::readBytes() const {
  std::vector<std::uint8_t> out(width_ * height_ * 4);
  glGetTextureImage(name_, 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(out.size()), out.data());
  return out;
}

// --- Buffers ---

DeviceBuffer::DeviceBuffer(std::size_t length, const void* bytes) : Buffer(length, bytes) {
  glCreateBuffers(1, &name_);
  glNamedBufferStorage(name_, static_cast<GLsizeiptr>(std::max<std::size_t>(length, 1)), nullptr,
                       GL_DYNAMIC_STORAGE_BIT);
  upload();
}

DeviceBuffer::~DeviceBuffer() { glDeleteBuffers(1, &name_); }

void DeviceBuffer::upload() {
  Range r = takeModifiedRange();
  if (r.empty()) return;
  glNamedBufferSubData(name_, static_cast<GLintptr>(r.offset), static_cast<GLsizeiptr>(r.length),
                       static_cast<const std::byte*>(contents()) + r.offset);
}

// --- Functions, libraries, pipelines ---

Function::Function(std::string name, FunctionType type, unsigned shader, std::uint32_t repeatSlots)
    : name_(std::move(name)), type_(type), shader_(shader), repeatSlots_(repeatSlots) {}

Function::~Function() { glDeleteShader(shader_); }

std::shared_ptr<Function> Library::newFunction(std::string_view name) const {
  for (const auto& f : functions_) {
    if (f->name() == name) return f;
  }
  return nullptr;
}

std::vector<std::string> Library::functionNames() const {
  std::vector<std::string> names;
  for (const auto& f : functions_) names.push_back(f->name());
  return names;
}

RenderPipelineState::~RenderPipelineState() { glDeleteProgram(program_); }
ComputePipelineState::~ComputePipelineState() { glDeleteProgram(program_); }

// --- Device ---

foundation::Result<std::shared_ptr<Device>> Device::create(std::function<void()> releaseContext) {
  std::shared_ptr<Device> device(new Device());
  device->releaseContext_ = std::move(releaseContext);
  if (epoxy_gl_version() < 45) {
    return error(ErrorCode::unavailable, absl::StrCat("OpenGL 4.5 is required, the context has ",
                                                      epoxy_gl_version() / 10, ".", epoxy_gl_version() % 10));
  }
  const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
  device->name_ = renderer ? renderer : "unknown";

  GLint alignment = 256;
  glGetIntegerv(GL_UNIFORM_BUFFER_OFFSET_ALIGNMENT, &alignment);
  device->uniformAlignment_ = static_cast<std::size_t>(std::max(alignment, 16));
  GLfloat pointRange[2] = {1, 1};
  glGetFloatv(GL_POINT_SIZE_RANGE, pointRange);
  device->maxPointSize_ = pointRange[1];
  GLint textureSize = 0, renderbufferSize = 0, viewport[2] = {0, 0};
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &textureSize);
  glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &renderbufferSize);
  glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
  const GLint side = std::min(textureSize, renderbufferSize);
  device->maxRenderTargetSize_ = Extent{static_cast<std::size_t>(std::max(std::min(side, viewport[0]), 1)),
                                        static_cast<std::size_t>(std::max(std::min(side, viewport[1]), 1))};

  // Metal's conventions: row 0 at the top, depth 0..1. Sizes written by the
  // vertex stage; plain bytes in and out.
  glClipControl(GL_UPPER_LEFT, GL_ZERO_TO_ONE);
  glEnable(GL_PROGRAM_POINT_SIZE);
  glDisable(GL_DITHER);
  glDisable(GL_FRAMEBUFFER_SRGB);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glCreateVertexArrays(1, &device->vertexArray_);
  glBindVertexArray(device->vertexArray_);

  glCreateSamplers(1, &device->clampSampler_);
  glCreateSamplers(1, &device->repeatSampler_);
  for (GLuint s : {device->clampSampler_, device->repeatSampler_}) {
    GLint wrap = s == device->clampSampler_ ? GL_CLAMP_TO_EDGE : GL_REPEAT;
    glSamplerParameteri(s, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glSamplerParameteri(s, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glSamplerParameteri(s, GL_TEXTURE_WRAP_S, wrap);
    glSamplerParameteri(s, GL_TEXTURE_WRAP_T, wrap);
  }
  return device;
}

Device::~Device() {
  if (vertexArray_) glDeleteVertexArrays(1, &vertexArray_);
  if (clampSampler_) glDeleteSamplers(1, &clampSampler_);
  if (repeatSampler_) glDeleteSamplers(1, &repeatSampler_);
  if (releaseContext_) releaseContext_();
}

void Device::lowerMaxRenderTargetSize(Extent limit) {
  maxRenderTargetSize_.width = std::clamp<std::size_t>(limit.width, 1, maxRenderTargetSize_.width);
  maxRenderTargetSize_.height = std::clamp<std::size_t>(limit.height, 1, maxRenderTargetSize_.height);
}

std::shared_ptr<CommandQueue> Device::newCommandQueue() { return std::make_shared<CommandQueue>(*this); }

std::shared_ptr<Texture> Device::newTexture(PixelFormat format, std::size_t width, std::size_t height) {
  GPU_REQUIRE(width > 0 && height > 0, "a texture needs a width and a height");
  return std::shared_ptr<Texture>(new Texture(width, height, format));
}

std::shared_ptr<Buffer> Device::newBuffer(std::size_t length, const void* bytes) {
  return std::make_shared<DeviceBuffer>(length, bytes);
}

void Device::synchronize(Buffer& buffer) {
  auto* b = dynamic_cast<DeviceBuffer*>(&buffer);
  GPU_REQUIRE(b != nullptr, "synchronize needs a buffer made by the device");
  b->upload();
  glMemoryBarrier(GL_BUFFER_UPDATE_BARRIER_BIT);
  glGetNamedBufferSubData(b->glName(), 0, static_cast<GLsizeiptr>(b->length()), b->contents());
}

foundation::Result<std::shared_ptr<Library>> Device::newLibrary(std::string_view source) {
  std::size_t version = source.find("#version");
  if (version == std::string_view::npos) return error(ErrorCode::invalid, "the text has no #version line");
  std::size_t afterVersion = source.find('\n', version);
  if (afterVersion == std::string_view::npos) return error(ErrorCode::invalid, "the text ends at #version");
  ++afterVersion;
  int versionLine = 1 + static_cast<int>(std::count(source.begin(), source.begin() + afterVersion, '\n'));

  foundation::Result<std::vector<Entry>> found = entries(source);
  if (!found.ok()) return found.error();

  auto library = std::make_shared<Library>();
  for (const Entry& e : *found) {
    const char* stageName = e.type == FunctionType::Vertex     ? "GPU_VERTEX"
                            : e.type == FunctionType::Fragment ? "GPU_FRAGMENT"
                                                               : "GPU_KERNEL";
    std::string prelude = absl::StrCat(
        "#define ", e.name, "_entry 1\n#define ", stageName, " 1\n",
        "#define GPU_VERTEX_BYTES ", kVertexBytesBase, "\n#define GPU_FRAGMENT_BYTES ", kFragmentBytesBase,
        "\n#define GPU_COMPUTE_BYTES ", kComputeBytesBase, "\n#line ", versionLine, "\n");
    std::string_view head = source.substr(0, afterVersion);
    std::string_view body = source.substr(afterVersion);
    const char* parts[] = {head.data(), prelude.data(), body.data()};
    GLint lengths[] = {static_cast<GLint>(head.size()), static_cast<GLint>(prelude.size()),
                       static_cast<GLint>(body.size())};
    GLuint shader = glCreateShader(stage(e.type));
    glShaderSource(shader, 3, parts, lengths);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
      std::string log = shaderLog(shader);
      glDeleteShader(shader);
      return error(ErrorCode::invalid, absl::StrCat("compiling ", e.name, ":\n", log));
    }
    library->functions_.push_back(
        std::shared_ptr<Function>(new Function(e.name, e.type, shader, e.repeatSlots)));
  }
  return library;
}

foundation::Result<std::shared_ptr<RenderPipelineState>> Device::newRenderPipelineState(
    const RenderPipelineDescriptor& d) {
  if (!d.vertexFunction || d.vertexFunction->functionType() != FunctionType::Vertex) {
    return error(ErrorCode::invalid, "the pipeline needs a vertex function");
  }
  if (!d.fragmentFunction || d.fragmentFunction->functionType() != FunctionType::Fragment) {
    return error(ErrorCode::invalid, "the pipeline needs a fragment function");
  }
  GLuint program = glCreateProgram();
  glAttachShader(program, d.vertexFunction->shader_);
  glAttachShader(program, d.fragmentFunction->shader_);
  glLinkProgram(program);
  glDetachShader(program, d.vertexFunction->shader_);
  glDetachShader(program, d.fragmentFunction->shader_);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    std::string log = programLog(program);
    glDeleteProgram(program);
    return error(ErrorCode::invalid, absl::StrCat("linking ", d.vertexFunction->name(), " with ",
                                                   d.fragmentFunction->name(), ":\n", log));
  }
  std::shared_ptr<RenderPipelineState> state(new RenderPipelineState());
  state->program_ = program;
  state->attachment_ = d.colorAttachments[0];
  state->repeatSlots_ = d.fragmentFunction->repeatSlots_;
  return state;
}

foundation::Result<std::shared_ptr<ComputePipelineState>> Device::newComputePipelineState(
    const std::shared_ptr<Function>& kernel) {
  if (!kernel || kernel->functionType() != FunctionType::Kernel) {
    return error(ErrorCode::invalid, "the pipeline needs a kernel function");
  }
  GLuint program = glCreateProgram();
  glAttachShader(program, kernel->shader_);
  glLinkProgram(program);
  glDetachShader(program, kernel->shader_);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    std::string log = programLog(program);
    glDeleteProgram(program);
    return error(ErrorCode::invalid, absl::StrCat("linking ", kernel->name(), ":\n", log));
  }
  GLint size[3] = {0, 0, 0};
  glGetProgramiv(program, GL_COMPUTE_WORK_GROUP_SIZE, size);
  std::shared_ptr<ComputePipelineState> state(new ComputePipelineState());
  state->program_ = program;
  state->threadsPerGroup_ = static_cast<std::size_t>(size[0]) * size[1] * size[2];
  return state;
}

}  // namespace gpu
