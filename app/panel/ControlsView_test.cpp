// The panel without a window: an ImGui context with the DejaVu atlas, and a
// scripted mouse that presses, drags and releases over the drawn controls.
#include "app/panel/ControlsView.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/panel/Components.h"
#include "platform/panel/headless.h"
#include "resources/resources.h"

namespace {

ControlsView::Values firstLaunchValues() {
  return {0.02f, 0.1f, 0.8f, 1.0f, 0.2f, 1.0f, 100, 200, 0.008f, 0.98f, 1,
          true,  true, true, true, 9000, 15000, 0, 0, false};
}

// Every closure call, written as text so a test can compare whole sequences.
struct Calls {
  std::vector<std::string> log;
  ControlsView::Closures closures() {
    auto note = [this](std::string what) { return [this, what] { log.push_back(what); }; };
    return {
        [this](float f, float v, float p, float c, float s, float force) {
          log.push_back("options " + std::to_string(f) + " " + std::to_string(v) + " " + std::to_string(p) + " " +
                        std::to_string(c) + " " + std::to_string(s) + " " + std::to_string(force));
        },
        [this](bool shading, bool bloom, bool sunrays) {
          log.push_back(std::string("effects ") + (shading ? "1" : "0") + (bloom ? "1" : "0") + (sunrays ? "1" : "0"));
        },
        [this](bool point, std::int64_t count, float damping, float radius, std::int64_t frequency, std::int64_t lines) {
          log.push_back(std::string("particles ") + (point ? "1 " : "0 ") + std::to_string(count) + " " +
                        std::to_string(damping) + " " + std::to_string(radius) + " " + std::to_string(frequency) + " " +
                        std::to_string(lines));
        },
        note("play"), note("stop"), note("previous"), note("next"), note("close"), note("special")};
  }
};

class ControlsViewTest : public ::testing::Test {
 protected:
  explicit ControlsViewTest(float width = 1000, float height = 600) : context(width, height) {
    context.environment().resourcePath = resources::testBundlePath();
  }
  void make(ControlsView::Values values = firstLaunchValues()) {
    view = std::make_shared<ControlsView>(values, calls.closures());
    frame();  // lays the controls out
  }
  void draw() {
    panel::HostingView host;
    host.frame = context.display();
    host.clearBackground = true;
    panel::drawHosted(*view, host, context.environment(), view.get());
  }
  void frame() { context.frame([&] { draw(); }); }
  panel::Rect at(const std::string& name) {
    auto found = view->lastLayout().find(name);
    EXPECT_NE(found, view->lastLayout().end()) << name;
    return found == view->lastLayout().end() ? panel::Rect{} : found->second;
  }
  void click(const std::string& name) {
    panel::Rect r = at(name);
    context.click(ImVec2(r.midX(), r.midY()), [&] { draw(); });
  }
  // The switch sits at the trailing end of a toggle.
  void flip(const std::string& toggle) {
    panel::Rect r = at(toggle);
    context.click(ImVec2(r.maxX() - 0.35f * panel::kSwitchWidth * 0.5f, r.midY()), [&] { draw(); });
  }
  // The x of `value` on the slider drawn in `r` over [low, high].
  float xFor(panel::Rect r, float value, float low, float high) {
    float thumb = panel::SliderAppearance::thumbImage(panel::ControlState::normal).width;
    return r.x + thumb / 2 + (value - low) / (high - low) * (r.width - thumb);
  }
  float trackY(panel::Rect r) { return r.y + (SliderView::titleHeight(1000) + r.height) / 2; }

  panel::HeadlessContext context;
  Calls calls;
  std::shared_ptr<ControlsView> view;
};

TEST_F(ControlsViewTest, ADragReportsItsBeginAndItsEndOnly) {
  make();
  panel::Rect count = at("Vireon Count");
  float y = trackY(count);
  context.drag(ImVec2(xFor(count, 100, 1, 200), y), ImVec2(xFor(count, 57.5f, 1, 200), y), 12, [&] { draw(); });
  ASSERT_EQ(calls.log.size(), 2u);
  EXPECT_EQ(calls.log[0], "particles 1 100 0.980000 0.008000 1 9000");
  // The count is truncated toward zero: 57.5 becomes 57.
  EXPECT_EQ(calls.log[1], "particles 1 57 0.980000 0.008000 1 9000");
  EXPECT_EQ(view->particleNum, 57);
}

TEST_F(ControlsViewTest, SlidersReportToTheirGroup) {
  struct Row {
    const char* slider;
    float low, high, to;
    const char* group;
  };
  const Row rows[] = {
      {"Vireon Force", 0.1f, 3.0f, 2.0f, "options"},  // stands among the particles, edits a fluid option
      {"Touch Size", 0.01f, 0.1f, 0.05f, "options"},
      {"Vireon Speed", 0.9f, 1.0f, 0.95f, "particles"},
      {"Particle Count", 0.0f, 15000.0f, 3000.0f, "particles"},
  };
  make();
  for (const Row& row : rows) {
    calls.log.clear();
    panel::Rect r = at(row.slider);
    context.drag(ImVec2(r.x + 2, trackY(r)), ImVec2(xFor(r, row.to, row.low, row.high), trackY(r)), 6,
                 [&] { draw(); });
    ASSERT_EQ(calls.log.size(), 2u) << row.slider;
    EXPECT_EQ(calls.log[1].rfind(row.group, 0), 0u) << row.slider << ": " << calls.log[1];
  }
  EXPECT_NEAR(view->splatForce, 2.0f, 0.02f);
  EXPECT_NEAR(view->fingerRadius, 0.05f, 0.001f);
  EXPECT_NEAR(view->damping, 0.95f, 0.001f);
  EXPECT_NEAR(static_cast<double>(view->currentLineNum), 3000, 60);
}

TEST_F(ControlsViewTest, TogglesSendTheirGroupOnce) {
  struct Row {
    const char* toggle;
    const char* expected;
  };
  const Row rows[] = {
      {"Bloom", "effects 101"},
      {"Rays", "effects 100"},
      {"Shade", "effects 000"},
      {"Show Vireon", "particles 0 100 0.980000 0.008000 1 9000"},
  };
  make();
  for (const Row& row : rows) {
    calls.log.clear();
    flip(row.toggle);
    ASSERT_EQ(calls.log.size(), 1u) << row.toggle;
    EXPECT_EQ(calls.log[0], row.expected) << row.toggle;
  }
}

TEST_F(ControlsViewTest, APushedSwitchFiresOnceAndAnEqualOneNotAtAll) {
  make();
  view->isUsingBloom = false;
  frame();
  frame();
  ASSERT_EQ(calls.log, std::vector<std::string>{"effects 101"});
  view->isUsingBloom = false;
  view->isUsingShading = true;
  frame();
  EXPECT_EQ(calls.log.size(), 1u);
}

TEST_F(ControlsViewTest, MusicButtonsWrapTheCounterOverTen) {
  struct Row {
    std::int64_t track;
    const char* button;
    std::int64_t after;
  };
  const Row rows[] = {{0, "previous", 9}, {9, "next", 0}, {12, "next", 13}, {-2, "previous", -3}, {4, "next", 5}};
  make();
  for (const Row& row : rows) {
    calls.log.clear();
    view->musicTrack = row.track;
    click(row.button);
    EXPECT_EQ(view->musicTrack, row.after) << row.track << " " << row.button;
    EXPECT_EQ(calls.log, std::vector<std::string>{row.button});
  }
}

TEST_F(ControlsViewTest, PlayPauseFlipsAndCallsOneSide) {
  make();
  click("playPause");
  EXPECT_TRUE(view->isPlaying);
  click("playPause");
  EXPECT_FALSE(view->isPlaying);
  EXPECT_EQ(calls.log, (std::vector<std::string>{"play", "stop"}));
}

TEST_F(ControlsViewTest, CloseAndSpecialOnlyReport) {
  make();
  click("close");
  click("special");
  EXPECT_EQ(calls.log, (std::vector<std::string>{"close", "special"}));
  EXPECT_TRUE(view->closeShowsImage());
}

TEST_F(ControlsViewTest, SpecialButtonTitleAlternatesWithOpenings) {
  const std::pair<std::int64_t, const char*> rows[] = {
      {0, "More Free Apps"}, {1, "New Release"}, {2, "More Free Apps"}, {3, "New Release"}, {-1, "More Free Apps"}};
  for (auto [count, title] : rows) EXPECT_EQ(ControlsView::specialButtonTitle(count), title) << count;
}

TEST_F(ControlsViewTest, AZeroLineMaximumPinsItsSliderAtZero) {
  ControlsView::Values values = firstLaunchValues();
  values.maxLineNumber = 0;
  values.currentLineNum = 0;
  make(values);
  panel::Rect r = at("Particle Count");
  context.drag(ImVec2(r.x + 2, trackY(r)), ImVec2(r.maxX() - 2, trackY(r)), 5, [&] { draw(); });
  EXPECT_EQ(view->currentLineNum, 0);
  ASSERT_EQ(calls.log.size(), 2u);
  EXPECT_EQ(calls.log[1], "particles 1 100 0.980000 0.008000 1 0");
}

TEST_F(ControlsViewTest, APadWithoutItsCloseImageShowsAnX) {
  context.environment().idiom = panel::Idiom::pad;
  context.environment().resourcePath = "/nonexistent";
  make();
  EXPECT_FALSE(view->closeShowsImage());
  click("close");
  EXPECT_EQ(calls.log, std::vector<std::string>{"close"});
}

// Every control must be reachable: inside the window and clear of the others.
class ControlsLayoutTest : public ControlsViewTest, public ::testing::WithParamInterface<std::pair<int, int>> {
 protected:
  ControlsLayoutTest() : ControlsViewTest(static_cast<float>(GetParam().first), static_cast<float>(GetParam().second)) {}
};

TEST_P(ControlsLayoutTest, ControlsStayInsideAndApart) {
  make();
  const auto& layout = view->lastLayout();
  EXPECT_EQ(layout.size(), 18u);
  panel::Rect display = context.display();
  for (const auto& [name, r] : layout) {
    EXPECT_GE(r.x, display.x) << name;
    EXPECT_GE(r.y, display.y) << name;
    EXPECT_LE(r.maxX(), display.maxX()) << name;
    EXPECT_LE(r.maxY(), display.maxY()) << name;
    for (const auto& [other, o] : layout) {
      if (other <= name) continue;
      bool apart = r.maxX() <= o.x || o.maxX() <= r.x || r.maxY() <= o.y || o.maxY() <= r.y;
      EXPECT_TRUE(apart) << name << " overlaps " << other;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, ControlsLayoutTest,
                         ::testing::Values(std::make_pair(1000, 600), std::make_pair(844, 390),
                                           std::make_pair(1280, 720)));

}  // namespace

namespace {

TEST(SliderThumb, EverySliderGetsAHalfSizeWhiteDiscInBothStates) {
  panel::SliderAppearance::reset();
  configureSliderThumb(400, 60);
  for (panel::ControlState state : {panel::ControlState::normal, panel::ControlState::highlighted}) {
    panel::ThumbImage thumb = panel::SliderAppearance::thumbImage(state);
    EXPECT_FLOAT_EQ(thumb.width, panel::SliderAppearance::kNativeThumbSide / 2);
    EXPECT_FLOAT_EQ(thumb.height, panel::SliderAppearance::kNativeThumbSide / 2);
    EXPECT_EQ(thumb.fill, panel::kWhite);
    EXPECT_EQ(thumb.stroke, panel::kLightGray);
    EXPECT_FLOAT_EQ(thumb.lineWidth, 0.5f);
  }
  // A slider too low for the native thumb gets a smaller one.
  configureSliderThumb(400, 10);
  EXPECT_FLOAT_EQ(panel::SliderAppearance::thumbImage(panel::ControlState::normal).width, 5.0f);
}

}  // namespace
