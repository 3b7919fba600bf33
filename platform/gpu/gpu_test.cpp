#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <epoxy/gl.h>

#include <cstdlib>

#include "platform/gpu/gpu.h"
#include "platform/gpu/surface.h"
#include "platform/gpu/window_surface.h"

namespace {

using gpu::PixelFormat;

// One full-screen triangle pair whose colour is a uniform, a half-screen
// triangle pair in the top half, a texture copy sampled with repeat, and a
// kernel that doubles a buffer.
constexpr const char* kText = R"(#version 450 core
//@ vertex quad_vertex
//@ vertex top_vertex
//@ fragment colour_fragment
//@ fragment copy_fragment repeat=0
//@ kernel double_kernel
#if defined(quad_vertex_entry) || defined(top_vertex_entry)
layout(std430, binding = 0) readonly buffer Corners { vec2 corners[]; };
layout(location = 0) out vec2 texcoord;
void main() {
  vec2 p = corners[gl_VertexID];
#ifdef top_vertex_entry
  p.y = p.y * 0.5 + 0.5;
#endif
  texcoord = p * 0.5 + 0.5;
  gl_Position = vec4(p, 0.0, 1.0);
}
#endif
#ifdef colour_fragment_entry
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec4 colour; };
layout(location = 0) out vec4 fragColor;
void main() { fragColor = colour; }
#endif
#ifdef copy_fragment_entry
layout(binding = 0) uniform sampler2D source;
layout(location = 0) in vec2 texcoord;
layout(location = 0) out vec4 fragColor;
void main() { fragColor = texture(source, texcoord + vec2(1.0, 0.0)); }
#endif
#ifdef double_kernel_entry
layout(local_size_x = 4) in;
layout(std430, binding = 0) buffer Values { float values[]; };
void main() { values[gl_GlobalInvocationID.x] *= 2.0; }
#endif
)";

constexpr float kCorners[] = {-1, -1, 1, -1, -1, 1, -1, 1, 1, -1, 1, 1};

class GpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = gpu::HeadlessSurface::create(8, 8);
    ASSERT_TRUE(s.ok()) << s.error().text();
    surface = std::move(s).value();
    device = surface->device();
    auto l = device->newLibrary(kText);
    ASSERT_TRUE(l.ok()) << l.error().text();
    library = *l;
    queue = device->newCommandQueue();
    corners = device->newBuffer(sizeof(kCorners), kCorners);
  }

  std::shared_ptr<gpu::RenderPipelineState> pipeline(const char* vertex, const char* fragment, PixelFormat format,
                                                     bool blend = false) {
    gpu::RenderPipelineDescriptor d;
    d.vertexFunction = library->newFunction(vertex);
    d.fragmentFunction = library->newFunction(fragment);
    d.colorAttachments[0].pixelFormat = format;
    d.colorAttachments[0].blendingEnabled = blend;
    d.colorAttachments[0].sourceRGBBlendFactor = gpu::BlendFactor::One;
    d.colorAttachments[0].destinationRGBBlendFactor = gpu::BlendFactor::One;
    d.colorAttachments[0].sourceAlphaBlendFactor = gpu::BlendFactor::One;
    d.colorAttachments[0].destinationAlphaBlendFactor = gpu::BlendFactor::One;
    auto p = device->newRenderPipelineState(d);
    EXPECT_TRUE(p.ok()) << p.error().text();
    return p.ok() ? *p : nullptr;
  }

  // One pass into target: clear or load, then a coloured quad.
  void fill(const std::shared_ptr<gpu::Texture>& target, const std::shared_ptr<gpu::RenderPipelineState>& p,
            gpu::LoadAction load, const float (&colour)[4]) {
    gpu::RenderPassDescriptor pass;
    pass.colorAttachments[0].texture = target;
    pass.colorAttachments[0].loadAction = load;
    pass.colorAttachments[0].clearColor = {0, 0, 0, 1};
    auto cb = queue->commandBuffer();
    auto& e = cb->renderCommandEncoder(pass);
    e.setLabel("fill");
    e.setRenderPipelineState(p);
    e.setVertexBuffer(corners, 0, 0);
    e.setFragmentBytes(colour, sizeof(colour), 0);
    e.drawPrimitives(gpu::PrimitiveType::Triangle, 0, 6);
    e.endEncoding();
    cb->commit();
  }

  std::unique_ptr<gpu::HeadlessSurface> surface;
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::Library> library;
  std::shared_ptr<gpu::CommandQueue> queue;
  std::shared_ptr<gpu::Buffer> corners;
};

TEST_F(GpuTest, LibraryFindsMarkedEntriesOnly) {
  EXPECT_NE(library->newFunction("quad_vertex"), nullptr);
  EXPECT_EQ(library->newFunction("quad_vertex")->functionType(), gpu::FunctionType::Vertex);
  EXPECT_EQ(library->newFunction("double_kernel")->functionType(), gpu::FunctionType::Kernel);
  EXPECT_EQ(library->newFunction("quad_vertexx"), nullptr);
  EXPECT_EQ(library->newFunction("main"), nullptr);
}

TEST_F(GpuTest, LibraryAndPipelineFailuresCarryTheLog) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"//@ vertex v\nvoid main() {}\n", "#version"},
      {"#version 450 core\n//@ shader v\n", "unknown entry kind"},
      {"#version 450 core\n//@ fragment f repeat=x\n", "bad repeat slot"},
      {"#version 450 core\n//@ vertex broken\nvoid main() { undeclared = 1; }\n", "compiling broken"},
  };
  for (const Case& c : cases) {
    auto l = device->newLibrary(c.text);
    ASSERT_FALSE(l.ok()) << c.text;
    EXPECT_NE(l.error().description.find(c.expected), std::string::npos) << l.error().text();
  }
  gpu::RenderPipelineDescriptor d;
  d.vertexFunction = library->newFunction("quad_vertex");
  EXPECT_FALSE(device->newRenderPipelineState(d).ok());  // no fragment function
  d.fragmentFunction = library->newFunction("top_vertex");
  EXPECT_FALSE(device->newRenderPipelineState(d).ok());  // wrong stage
  EXPECT_FALSE(device->newComputePipelineState(library->newFunction("quad_vertex")).ok());
}

TEST_F(GpuTest, ClipTopIsTextureRowZero) {
  auto target = device->newTexture(PixelFormat::RGBA16Float, 4, 4);
  fill(target, pipeline("top_vertex", "colour_fragment", PixelFormat::RGBA16Float), gpu::LoadAction::Clear,
       {1, 0.5f, 0.25f, 1});
  std::vector<float> px = target->readPixels();
  for (int row = 0; row < 4; ++row) {
    const float* p = &px[(row * 4 + 1) * 4];
    if (row < 2) {
      EXPECT_FLOAT_EQ(p[0], 1);
      EXPECT_FLOAT_EQ(p[1], 0.5f);
    } else {
      EXPECT_EQ(p[0], 0) << "row " << row << " must keep the clear colour";
      EXPECT_EQ(p[3], 1);
    }
  }
}

TEST_F(GpuTest, LoadKeepsAndBlendAddsUnclamped) {
  auto target = device->newTexture(PixelFormat::RGBA16Float, 2, 2);
  auto add = pipeline("quad_vertex", "colour_fragment", PixelFormat::RGBA16Float, true);
  fill(target, add, gpu::LoadAction::Clear, {1.5f, 0, 0, 0});
  fill(target, add, gpu::LoadAction::Load, {1.5f, -2, 0, 0});
  std::vector<float> px = target->readPixels();
  EXPECT_FLOAT_EQ(px[0], 3.0f);
  EXPECT_FLOAT_EQ(px[1], -2.0f);
  EXPECT_FLOAT_EQ(px[3], 1.0f);
  fill(target, add, gpu::LoadAction::Clear, {0.25f, 0, 0, 0});
  EXPECT_FLOAT_EQ(target->readPixels()[0], 0.25f);
}

TEST_F(GpuTest, RepeatSlotWrapsAndTexturesRoundTrip) {
  auto source = device->newTexture(PixelFormat::RGBA16Float, 2, 1);
  const float texels[] = {0.25f, 0, 0, 1, 0.75f, 0, 0, 1};
  source->replace(texels);
  EXPECT_EQ(source->readPixels(), std::vector<float>(std::begin(texels), std::end(texels)));

  // The copy samples one whole width to the right: with repeat it reads the same texel.
  auto target = device->newTexture(PixelFormat::RGBA16Float, 2, 1);
  gpu::RenderPassDescriptor pass;
  pass.colorAttachments[0].texture = target;
  pass.colorAttachments[0].loadAction = gpu::LoadAction::Clear;
  auto cb = queue->commandBuffer();
  auto& e = cb->renderCommandEncoder(pass);
  e.setRenderPipelineState(pipeline("quad_vertex", "copy_fragment", PixelFormat::RGBA16Float));
  e.setVertexBuffer(corners, 0, 0);
  e.setFragmentTexture(source, 0);
  e.drawPrimitives(gpu::PrimitiveType::Triangle, 0, 6);
  e.endEncoding();
  cb->commit();
  std::vector<float> px = target->readPixels();
  EXPECT_FLOAT_EQ(px[0], 0.25f);
  EXPECT_FLOAT_EQ(px[4], 0.75f);
}

TEST_F(GpuTest, KernelWritesSurviveLaterCpuUploads) {
  auto kernel = device->newComputePipelineState(library->newFunction("double_kernel"));
  ASSERT_TRUE(kernel.ok()) << kernel.error().text();
  EXPECT_EQ((*kernel)->maxTotalThreadsPerThreadgroup(), 4u);
  const float values[] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto buffer = device->newBuffer(sizeof(values), values);

  auto cb = queue->commandBuffer();
  auto& e = cb->computeCommandEncoder();
  e.setComputePipelineState(*kernel);
  e.setBuffer(buffer, 0, 0);
  e.dispatchThreadgroups(1, 4);  // the first four only
  e.endEncoding();
  cb->commit();
  cb->waitUntilCompleted();

  // The CPU changes the last value only: the kernel's results stay.
  buffer->as<float>()[7] = 80;
  buffer->didModifyRange(7 * sizeof(float), sizeof(float));
  device->synchronize(*buffer);
  const float expected[] = {2, 4, 6, 8, 5, 6, 7, 80};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(buffer->as<float>()[i], expected[i]) << i;
}

TEST_F(GpuTest, CommitRunsHandlersInOrderAndQueueReusesFreeBuffers) {
  std::vector<std::string> order;
  auto cb = queue->commandBuffer();
  gpu::CommandBuffer* first = cb.get();
  cb->addCompletedHandler([&order](gpu::CommandBuffer&) { order.push_back("completed"); });
  cb->addScheduledHandler([&order](gpu::CommandBuffer&) { order.push_back("scheduled"); });
  EXPECT_EQ(cb->status(), gpu::CommandBuffer::Status::NotEnqueued);
  cb->commit();
  EXPECT_EQ(cb->status(), gpu::CommandBuffer::Status::Completed);
  EXPECT_EQ(order, (std::vector<std::string>{"scheduled", "completed"}));

  auto held = queue->commandBuffer();  // `cb` is still held: a new one
  EXPECT_NE(held.get(), first);
  cb.reset();
  held->commit();
  held.reset();
  auto again = queue->commandBuffer();
  EXPECT_TRUE(again.get() == first || again->commands().empty());
  EXPECT_EQ(again->status(), gpu::CommandBuffer::Status::NotEnqueued);
}

TEST(FitWithin, KeepsTheShapeAndEverySideWithinTheLimit) {
  const gpu::Extent square{16384, 16384};
  struct Case {
    gpu::Extent size, limit, expected;
  } cases[] = {
      {{1280, 720}, square, {1280, 720}},
      {{16384, 16384}, square, {16384, 16384}},
      {{16385, 100}, square, {16384, 100}},
      {{100, 16385}, square, {100, 16384}},
      {{32768, 16000}, square, {16384, 8000}},
      {{20000, 20000}, {16384, 8192}, {8192, 8192}},
      // The short side is rounded, never pushed to nothing.
      {{16385, 40}, square, {16384, 40}},
      {{1000000, 1}, square, {16384, 1}},
  };
  for (const Case& c : cases) {
    const gpu::Extent fitted = gpu::fitWithin(c.size, c.limit);
    EXPECT_EQ(fitted, c.expected) << c.size.width << "x" << c.size.height << " gave " << fitted.width << "x"
                                  << fitted.height;
  }
}

// A surface may be larger than the GPU draws into; its drawable is not.
TEST_F(GpuTest, ASurfacePastTheLimitHandsOutADrawableThatCanBeDrawnInto) {
  const gpu::Extent limit = device->maxRenderTargetSize();
  // What every OpenGL 4.5 context must offer at least.
  ASSERT_GE(limit.width, 16384u);
  ASSERT_GE(limit.height, 16384u);
  surface->resize(limit.width + 1, 2);
  EXPECT_EQ(surface->width(), limit.width + 1);
  EXPECT_EQ(surface->height(), 2u);
  std::shared_ptr<gpu::Texture> drawable = surface->currentDrawable()->texture();
  EXPECT_EQ(drawable->width(), limit.width);
  EXPECT_EQ(drawable->height(), 2u);
  fill(drawable, pipeline("quad_vertex", "colour_fragment", PixelFormat::RGBA8Unorm), gpu::LoadAction::Clear,
       {1, 0, 0, 1});
  std::vector<std::uint8_t> px = drawable->readBytes();
  EXPECT_EQ(px[0], 255);
  EXPECT_EQ(px[px.size() - 4], 255);
}

using GpuDeathTest = GpuTest;

TEST_F(GpuDeathTest, MisuseStopsWithItsReason) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto target = device->newTexture(PixelFormat::RGBA8Unorm, 2, 2);
  auto half = pipeline("quad_vertex", "colour_fragment", PixelFormat::RGBA16Float);
  EXPECT_DEATH(fill(target, half, gpu::LoadAction::Clear, {1, 1, 1, 1}), "colour format differs");
  EXPECT_DEATH(
      {
        auto cb = queue->commandBuffer();
        auto& e = cb->computeCommandEncoder();
        e.setComputePipelineState(*device->newComputePipelineState(library->newFunction("double_kernel")));
        e.dispatchThreadgroups(1, 1024);
      },
      "threads per threadgroup");
  EXPECT_DEATH(
      {
        auto cb = queue->commandBuffer();
        cb->commit();
        cb->commit();
      },
      "committed once");
}

// The window surface on SDL's offscreen driver: present puts the drawable's
// top row at the window's top.
TEST(WindowSurfaceTest, PresentShowsTheDrawableUpright) {
  ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
  gpu::WindowSurface::prepareWindowAttributes();
  SDL_Window* window = SDL_CreateWindow("test", 0, 0, 4, 4, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  ASSERT_NE(window, nullptr) << SDL_GetError();
  {
    auto surface = gpu::WindowSurface::create(window);
    ASSERT_TRUE(surface.ok()) << surface.error().text();
    gpu::SurfaceDrawable* drawable = (*surface)->currentDrawable();
    ASSERT_EQ(drawable->texture()->width(), (*surface)->width());
    std::vector<float> texels(drawable->texture()->width() * drawable->texture()->height() * 4, 0.0f);
    for (std::size_t x = 0; x < drawable->texture()->width(); ++x) texels[x * 4] = 1.0f;  // top row red
    drawable->texture()->replace(texels);
    drawable->present();
    EXPECT_EQ(drawable->presentedCount(), 1);

    unsigned char top[4] = {}, bottom[4] = {};
    const int h = static_cast<int>((*surface)->height());
    glReadPixels(0, h - 1, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, top);  // GL's last row is the window's top
    glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, bottom);
    EXPECT_EQ(top[0], 255);
    EXPECT_EQ(bottom[0], 0);
  }
  SDL_DestroyWindow(window);
  SDL_Quit();
}

// A window larger than the GPU draws into: the drawable is fitted within the
// limit and presenting stretches it over the whole window, upright.
TEST(WindowSurfaceTest, AWindowPastTheLimitShowsTheFittedDrawableOverAllOfIt) {
  ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
  gpu::WindowSurface::prepareWindowAttributes();
  SDL_Window* window = SDL_CreateWindow("test", 0, 0, 8, 4, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  ASSERT_NE(window, nullptr) << SDL_GetError();
  {
    auto surface = gpu::WindowSurface::create(window);
    ASSERT_TRUE(surface.ok()) << surface.error().text();
    ASSERT_EQ((*surface)->width(), 8u);
    // SDL opens no window past a real limit; the limit comes down to the window.
    (*surface)->device()->lowerMaxRenderTargetSize(gpu::Extent{4, 4});
    gpu::SurfaceDrawable* drawable = (*surface)->currentDrawable();
    ASSERT_EQ(drawable->texture()->width(), 4u);
    ASSERT_EQ(drawable->texture()->height(), 2u);
    std::vector<float> texels(4 * 2 * 4, 0.0f);
    for (std::size_t x = 0; x < 4; ++x) {
      texels[x * 4] = 1.0f;            // top row red
      texels[(4 + x) * 4 + 1] = 1.0f;  // bottom row green
    }
    drawable->texture()->replace(texels);
    drawable->present();

    // GL's rows count from the bottom: the window's top half is red and its
    // bottom half green, edge to edge.
    unsigned char shown[4][8][4] = {};
    glReadPixels(0, 0, 8, 4, GL_RGBA, GL_UNSIGNED_BYTE, shown);
    for (int x : {0, 7}) {
      EXPECT_EQ(shown[3][x][0], 255) << "top row, column " << x;
      EXPECT_EQ(shown[0][x][1], 255) << "bottom row, column " << x;
      EXPECT_EQ(shown[0][x][0], 0) << "bottom row, column " << x;
    }
  }
  SDL_DestroyWindow(window);
  SDL_Quit();
}

}  // namespace
