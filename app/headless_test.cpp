#include "app/headless.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/FluidSettings.h"
#include "engine/Log.h"
#include "platform/gpu/surface.h"

namespace {

std::vector<std::string> words(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(HeadlessArguments, ParseOrSayWhatIsWrong) {
  auto ok = app::parseHeadless(
      words({"--headless", "--size", "160x120", "--frames", "30", "--drag", "10,20:150.5,100", "--drag", "0,0:1,1",
             "--screenshot", "out.png"}));
  ASSERT_TRUE(ok.ok()) << ok.error().text();
  EXPECT_EQ(ok->width, 160);
  EXPECT_EQ(ok->height, 120);
  EXPECT_EQ(ok->frames, 30);
  ASSERT_EQ(ok->drags.size(), 2u);
  EXPECT_EQ(ok->drags[0].from, float2(10, 20));
  EXPECT_EQ(ok->drags[0].to, float2(150.5f, 100));
  EXPECT_EQ(ok->screenshot, "out.png");

  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {words({"--size", "10x10", "--frames", "1"}), "--headless"},
      {words({"--headless", "--frames", "1"}), "required"},
      {words({"--headless", "--size", "10x10"}), "required"},
      {words({"--headless", "--size", "0x10", "--frames", "1"}), "--size"},
      {words({"--headless", "--size", "10x", "--frames", "1"}), "--size"},
      {words({"--headless", "--size", "10x10x", "--frames", "1"}), "--size"},
      {words({"--headless", "--size", "9000x10", "--frames", "1"}), "--size"},
      {words({"--headless", "--size", "10x10", "--frames", "-3"}), "--frames"},
      {words({"--headless", "--size", "10x10", "--frames", "1", "--drag", "1,2:3"}), "--drag"},
      {words({"--headless", "--size", "10x10", "--frames", "1", "--drag", "nan,2:3,4"}), "--drag"},
      // So far off that a stroke's length overflows: refused, not a stopped program.
      {words({"--headless", "--size", "10x10", "--frames", "1", "--drag", "0,0:1e30,0"}), "--drag"},
      {words({"--headless", "--size", "10x10", "--frames", "1", "--screenshot"}), "needs a value"},
      {words({"--headless", "--size", "10x10", "--frames", "1", "--fast", "1"}), "unknown option --fast"},
  };
  for (const Case& c : cases) {
    auto parsed = app::parseHeadless(c.args);
    ASSERT_FALSE(parsed.ok()) << c.error;
    EXPECT_NE(parsed.error().description.find(c.error), std::string::npos) << parsed.error().text();
  }
  std::vector<std::string> many = words({"--headless", "--size", "10x10", "--frames", "1"});
  for (int i = 0; i < 11; ++i) many.insert(many.end(), {"--drag", "1,1:2,2"});
  EXPECT_FALSE(app::parseHeadless(many).ok());
}

TEST(HeadlessRun, WritesTheLastFrameOrReportsWhyNot) {
  engine::setPrintSink([](std::string_view) {});
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("tolv_headless_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  app::HeadlessOptions o;
  o.width = 48;
  o.height = 32;
  o.frames = 6;
  o.drags = {{{4, 16}, {44, 16}}};
  o.screenshot = (dir / "frame.png").string();
  ASSERT_TRUE(app::runHeadless(o).ok());
  int w = 0, h = 0, channels = 0;
  ASSERT_TRUE(stbi_info(o.screenshot->c_str(), &w, &h, &channels));
  EXPECT_EQ(w, 48);
  EXPECT_EQ(h, 32);

  o.screenshot = (dir / "missing" / "frame.png").string();
  foundation::Status failed = app::runHeadless(o);
  EXPECT_FALSE(failed.ok());
  EXPECT_NE(failed.error().description.find("cannot write"), std::string::npos);
  std::filesystem::remove_all(dir);
  engine::setPrintSink(nullptr);
}

TEST(HeadlessRun, DrawsWithTheSettingsAFreshUserSees) {
  engine::setPrintSink([](std::string_view) {});
  auto surface = gpu::HeadlessSurface::create(40, 30);
  ASSERT_TRUE(surface.ok()) << surface.error().text();
  auto clock = std::make_shared<std::uint64_t>(0);
  auto renderer = app::makeHeadlessRenderer((*surface)->device(), clock);
  renderer->drawableSizeWillChange({40, 30, 0});
  *clock += 16;
  renderer->draw(false, (*surface)->currentDrawable(), nullptr);

  const FluidSettings first;
  const StarRenderer& r = *renderer;
  EXPECT_EQ(r.fingerRadius, first.fingerRadius);
  EXPECT_EQ(r.vorticity, first.vorticity);
  EXPECT_EQ(r.pressure, first.pressure);
  EXPECT_EQ(r.colorDiffusion, first.colorDiffusion);
  EXPECT_EQ(r.velocityDiffusion, first.velocityDiffusion);
  EXPECT_EQ(r.splatForce, first.splatForce);
  EXPECT_EQ(r.particleNum, first.particleNum);
  EXPECT_EQ(r.particleRadius, first.particleRadius);
  EXPECT_EQ(r.damping, first.damping);
  EXPECT_EQ(r.particleFrequency, first.particleFrequency);
  EXPECT_EQ(r.renderPoint, first.renderPoint);
  EXPECT_EQ(r.usingShading, first.usingShading);
  EXPECT_EQ(r.usingBloom, first.usingBloom);
  EXPECT_EQ(r.usingSunrays, first.usingSunrays);
  EXPECT_EQ(r.lineNum, first.lineNum);
  renderer.reset();
  engine::setPrintSink(nullptr);
}

}  // namespace
