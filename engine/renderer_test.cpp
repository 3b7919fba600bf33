// The frame driver, pipeline construction and render targets on a real
// headless GPU context.
#include <cstdio>
#include <set>

#include "engine/RendererTestSupport.h"
#include "engine/shaders/Shaders.h"

namespace {

TEST(Ortho, MapsTheDrawableToClipSpace) {
  float4x4 m = Renderer::makeOrtho(0, 100, 0, 50, 1, -1);
  EXPECT_EQ(m.columns[0], float4(0.02f, 0, 0, 0));
  EXPECT_EQ(m.columns[1], float4(0, 0.04f, 0, 0));
  EXPECT_EQ(m.columns[2], float4(0, 0, -0.5f, 0));
  EXPECT_EQ(m.columns[3], float4(-1, -1, 0.5f, 1));
}

TEST(RenderTargetSizes, FollowTheDrawable) {
  struct Case {
    DrawableSize drawable;
    std::size_t gridWidth, gridHeight;
    std::vector<std::pair<std::size_t, std::size_t>> levels;
  } cases[] = {
      {{1170, 2532, 0}, 234, 506, {{117, 253}, {58, 126}, {29, 63}, {14, 31}, {7, 15}, {3, 7}}},
      {{2048, 2732, 0}, 409, 546, {{204, 273}, {102, 136}, {51, 68}, {25, 34}, {12, 17}, {6, 8}}},
      {{100, 100, 0}, 20, 20, {{10, 10}, {5, 5}, {2, 2}}},
      {{40, 40, 0}, 8, 8, {{4, 4}, {2, 2}}},
      {{19, 300, 0}, 3, 60, {}},  // no level is 2 x 2: bloom is skipped
  };
  for (const Case& c : cases) {
    RenderTargetSizes s = renderTargetSizes(c.drawable, 6);
    EXPECT_EQ(s.gridWidth, c.gridWidth) << c.drawable.width;
    EXPECT_EQ(s.gridHeight, c.gridHeight) << c.drawable.width;
    ASSERT_EQ(s.levels, static_cast<int>(c.levels.size())) << c.drawable.width;
    for (int i = 0; i < s.levels; ++i) {
      EXPECT_EQ(s.levelWidth[i], c.levels[i].first) << c.drawable.width << " level " << i;
      EXPECT_EQ(s.levelHeight[i], c.levels[i].second) << c.drawable.width << " level " << i;
    }
  }
  EXPECT_EQ(renderTargetSizes({1170, 2532, 0}, 2).levels, 2);
}

TEST_F(RendererTest, ConstructionBuildsEveryPipelineOnce) {
  EXPECT_EQ(printed.find("[tolv] loadMetalInternal \nSelected Device: "), 0u) << printed;
  EXPECT_NE(printed.find(surface->device()->name()), std::string::npos);

  ASSERT_EQ(renderer->owned_pipelines_.size(), 26u);
  ASSERT_EQ(renderer->owned_pass_descriptors_.size(), 26u);
  std::set<const void*> distinct;
  for (const auto& p : renderer->owned_pipelines_) distinct.insert(p.get());
  for (const auto& d : renderer->owned_pass_descriptors_) distinct.insert(d.get());
  EXPECT_EQ(distinct.size(), 52u);
  EXPECT_EQ(renderer->owned_pipelines_[0], renderer->color_splat_pass_.pipeline);
  EXPECT_EQ(renderer->owned_pipelines_[25], renderer->line_composite_pass_.pipeline);
  ASSERT_NE(renderer->line_move_pipeline_, nullptr);
  EXPECT_EQ(renderer->line_move_pipeline_->maxTotalThreadsPerThreadgroup(), 1024u);
  ASSERT_NE(renderer->compute_command_queue_, nullptr);
  EXPECT_NE(renderer->compute_command_queue_, renderer->commandQueue);

  // Pipelines from one text differ where the table says.
  EXPECT_EQ(renderer->point_color_pass_.pipeline->colorAttachment().pixelFormat, gpu::PixelFormat::RGBA8Unorm);
  EXPECT_EQ(renderer->point_velocity_pass_.pipeline->colorAttachment().pixelFormat, gpu::PixelFormat::RGBA16Float);
  EXPECT_FALSE(renderer->bloom_blur_pass_.pipeline->colorAttachment().blendingEnabled);
  EXPECT_TRUE(renderer->bloom_blur_add_pass_.pipeline->colorAttachment().blendingEnabled);
  EXPECT_FALSE(renderer->display_pass_.pipeline->colorAttachment().blendingEnabled);
  const auto& composite = renderer->line_composite_pass_.pipeline->colorAttachment();
  EXPECT_TRUE(composite.blendingEnabled);
  EXPECT_EQ(composite.sourceRGBBlendFactor, gpu::BlendFactor::SourceAlpha);
  EXPECT_EQ(composite.destinationRGBBlendFactor, gpu::BlendFactor::One);
  const auto& effects = renderer->effects_pass_.pipeline->colorAttachment();
  EXPECT_EQ(effects.destinationRGBBlendFactor, gpu::BlendFactor::OneMinusSourceAlpha);
  EXPECT_EQ(effects.destinationAlphaBlendFactor, gpu::BlendFactor::Zero);
}

using RendererDeathTest = RendererTest;

TEST_F(RendererDeathTest, MissingEntryPrintsItsNameAndStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Standard output is not what the death test reads: send the lines to stderr.
  auto toStderr = [](std::string_view s) { std::fwrite(s.data(), 1, s.size(), stderr); };
  EXPECT_DEATH(
      {
        engine::setPrintSink(toStderr);
        PipelinePass p;
        renderer->setRenderPipelineDescriptor(p, shaders::colorSplatText(), "fluid_vertex", "fluid_colour_fragment",
                                              gpu::PixelFormat::RGBA16Float, false, gpu::BlendFactor::Zero,
                                              gpu::BlendFactor::One, gpu::BlendFactor::Zero, gpu::BlendFactor::One);
      },
      "^Failed to load fluid_colour_fragment \n");
  EXPECT_DEATH(
      {
        engine::setPrintSink(toStderr);
        PipelinePass p;
        renderer->setRenderPipelineDescriptor(p, shaders::curlText(), "fluid_vertx", "fluid_curl_fragment",
                                              gpu::PixelFormat::RGBA16Float, false, gpu::BlendFactor::Zero,
                                              gpu::BlendFactor::One, gpu::BlendFactor::Zero, gpu::BlendFactor::One);
      },
      "^Failed to load fluid_vertx \n");
  EXPECT_DEATH(
      {
        engine::setPrintSink(toStderr);
        std::shared_ptr<gpu::ComputePipelineState> kernel;
        std::shared_ptr<gpu::CommandQueue> queue;
        renderer->setComputePipelineDescriptor(kernel, queue, shaders::lineMoveText(), "vireon_line_move");
      },
      "^Failed to loadvireon_line_move \n");
  EXPECT_DEATH(
      {
        engine::setPrintSink(toStderr);
        PipelinePass p;
        renderer->setRenderPipelineDescriptor(p, "#version 450 core\n//@ vertex v\nvoid main() { nope(); }\n", "v",
                                              "f", gpu::PixelFormat::RGBA16Float, false, gpu::BlendFactor::Zero,
                                              gpu::BlendFactor::One, gpu::BlendFactor::Zero, gpu::BlendFactor::One);
      },
      "compiling v:(.|\n)*setRenderPipelineDescriptor: Assertion `false' failed");
}

TEST_F(RendererTest, QuadTexcoordsGrowRightAndDown) {
  // A copy of the display text whose fragment shows its texture coordinate.
  std::string text = shaders::displayText();
  text.replace(text.find("texture(colorTexture, texcoord).rgb"), 35, "vec3(texcoord, 0.0)");
  PipelinePass probe;
  renderer->setRenderPipelineDescriptor(probe, text, "cube_vertex", "cube_fragment", gpu::PixelFormat::RGBA16Float,
                                        false, gpu::BlendFactor::Zero, gpu::BlendFactor::One, gpu::BlendFactor::Zero,
                                        gpu::BlendFactor::One);
  std::vector<float> px = runQuadPass(probe, 8, 4, {});
  Texel topLeft = at(px, 8, 0, 0), topRight = at(px, 8, 7, 0), bottomLeft = at(px, 8, 0, 3);
  EXPECT_NEAR(topLeft.r, 1 / 16.0f, 1e-3);
  EXPECT_NEAR(topLeft.g, 1 / 8.0f, 1e-3);
  EXPECT_NEAR(topRight.r, 15 / 16.0f, 1e-3);
  EXPECT_NEAR(bottomLeft.g, 7 / 8.0f, 1e-3);
}

TEST_F(RendererTest, OneFrameInFlightAcrossDrawsAndResizes) {
  sizeTo(kWidth, kHeight);
  std::vector<long> countsDuringUpdate;
  renderer->onUpdate = [&] { countsDuringUpdate.push_back(framesFree()); };
  frame();
  frame();
  EXPECT_EQ(countsDuringUpdate, (std::vector<long>{0, 0}));
  EXPECT_EQ(framesFree(), 1);
  EXPECT_EQ(surface->currentDrawable()->presentedCount(), 2);

  // Rebuilding the targets clears them without letting a second frame in.
  sizeTo(kWidth, kHeight);
  sizeTo(80, 60);
  EXPECT_EQ(framesFree(), 1);

  // No drawable: the model still advances and the frame still completes.
  const float before = renderer->lastDeltaMs;
  nowMs += 20;
  renderer->draw(false, nullptr, nullptr);
  EXPECT_EQ(renderer->lastDeltaMs, 20.0f);
  EXPECT_NE(before, 20.0f);
  EXPECT_EQ(framesFree(), 1);
}

TEST_F(RendererTest, ResizeRebuildsEveryTargetCleared) {
  sizeTo(kWidth, kHeight);
  drag(float2(80, 60), float2(6, 0), 6);
  EXPECT_NE(printed.find("darwable Size Will Change\n"), std::string::npos);

  sizeTo(100, 100);
  ASSERT_EQ(renderer->bloomLevelCount(), 3);
  ASSERT_EQ(renderer->renderTargets.size(), 22u + 3u);
  for (const auto& t : renderer->renderTargets) {
    ASSERT_NE(t, nullptr);
    std::vector<float> px = t->readPixels();
    for (std::size_t i = 0; i < px.size(); i += 4) {
      ASSERT_EQ(px[i], 0) << t->width() << "x" << t->height();
      ASSERT_EQ(px[i + 1], 0);
      ASSERT_EQ(px[i + 2], 0);
      ASSERT_EQ(px[i + 3], 1);
    }
  }
  EXPECT_EQ(renderer->color_texture_->width(), 100u);
  EXPECT_EQ(renderer->velocity_texture_->width(), 20u);
  EXPECT_EQ(renderer->point_color_texture_->pixelFormat(), gpu::PixelFormat::RGBA8Unorm);
  EXPECT_EQ(renderer->bloom_levels_[2]->width(), 2u);

  // A larger drawable gets its full bloom pyramid back.
  sizeTo(200, 200);
  EXPECT_EQ(renderer->bloomLevelCount(), 4);
  EXPECT_EQ(renderer->bloomIterations, 6);
}

TEST_F(RendererTest, EveryGpuObjectGoesBeforeTheDeviceReleasesItsContext) {
  // A device of the renderer's own, so that the renderer drops the last
  // reference to it and its destruction releases the context.
  std::vector<std::weak_ptr<const void>> made;
  std::size_t aliveAtRelease = 0;
  bool released = false;
  auto device = gpu::Device::create([&] {
    released = true;
    for (const auto& object : made) aliveAtRelease += !object.expired();
  });
  ASSERT_TRUE(device.ok()) << device.error().text();
  auto own = std::make_unique<StarRenderer>(std::move(device).value(), services());
  own->drawableSizeWillChange({80, 60, 0});
  nowMs += 16;
  own->draw(false, surface->currentDrawable(), nullptr);
  for (const auto* b : {&own->point_position_buffer_, &own->point_color_buffer_, &own->point_velocity_buffer_,
                        &own->point_radius_buffer_, &own->particle_velocity_buffer_, &own->line_position_buffer_,
                        &own->line_color_buffer_, &own->line_power_buffer_, &own->line_vertex_buffer_,
                        &own->quad_vertex_buffer_}) {
    made.push_back(*b);
  }
  for (const auto& t : own->renderTargets) made.push_back(t);
  for (const auto& p : own->owned_pipelines_) made.push_back(p);
  made.push_back(own->line_move_pipeline_);

  own.reset();
  EXPECT_TRUE(released);
  EXPECT_EQ(aliveAtRelease, 0u);
}

TEST_F(RendererTest, TinyDrawableDrawsNothingAndStaysAlive) {
  sizeTo(4, 4);  // no simulation grid at all
  frame();
  frame();
  EXPECT_EQ(framesFree(), 1);
  sizeTo(30, 15);  // a grid but no bloom level
  EXPECT_EQ(renderer->bloomLevelCount(), 0);
  frame();
  frame();
  EXPECT_TRUE(allFinite(surface->currentDrawable()->texture()->readPixels()));
}

}  // namespace
