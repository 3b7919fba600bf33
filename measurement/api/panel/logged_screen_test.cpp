#include <gtest/gtest.h>

#include "measurement/api/AnalyticsTestKit.h"
#include "measurement/api/panel/LoggedScreen.h"
#include "platform/panel/headless.h"

namespace {

class Counted final : public panel::View {
 public:
  void body(const panel::GeometryProxy&, const panel::Environment&) override { ++drawn; }
  int drawn = 0;
};

class LoggedScreen : public testkit::FacadeTest {};

TEST_F(LoggedScreen, EachAppearanceIsOneScreenView) {
  configureWithRecordingEngine();
  panel::HeadlessContext context(400, 300);
  auto content = std::make_shared<Counted>();
  auto view = loggedScreen(content, "Fluid", "FluidView", {{"mode", "calm"}});
  auto draw = [&] { view->body({context.display(), {}}, context.environment()); };

  // On screen for three frames, drawn twice in one of them: one view.
  context.frame(draw);
  context.frame([&] {
    draw();
    draw();
  });
  context.frame(draw);
  EXPECT_EQ(screen->tracked().size(), 1u);
  // Away for a frame, then back: a second view.
  context.frame([] {});
  context.frame(draw);
  auto tracked = screen->tracked();
  ASSERT_EQ(tracked.size(), 2u);
  EXPECT_EQ(tracked[1].first,
            (QZMDictionary{{"screen_name", "Fluid"}, {"screen_class", "FluidView"}, {"mode", "calm"}}));
  EXPECT_EQ(content->drawn, 5);
}

}  // namespace
