#include "app/panel/SwiftUIView.h"

#include <gtest/gtest.h>

#include "platform/panel/controls.h"
#include "platform/panel/headless.h"

namespace {

TEST(SwiftUIView, TheReadOutIsRedWhileTheSliderIsHeld) {
  panel::HeadlessContext context(400, 300);
  bool dismissed = false;
  std::shared_ptr<panel::ViewController> controller =
      SwiftUIViewFactory::makeSwiftUIView([&] { dismissed = true; });
  auto* hosting = dynamic_cast<panel::HostingController<SwiftUIView>*>(controller.get());
  ASSERT_NE(hosting, nullptr);
  controller->view().frame = context.display();
  SwiftUIView& view = hosting->rootView();
  EXPECT_EQ(view.readout(), "50.000000");

  auto draw = [&] { controller->draw(context.environment()); };
  // The slider spans the width less 16 points a side; its thumb starts in the middle.
  float y = 150 - (31 + 8 + 17) / 2.0f + 31 / 2.0f;
  context.mouse(ImVec2(200, y), false);
  context.frame(draw);
  context.mouse(ImVec2(200, y), true);
  context.frame(draw);
  context.mouse(ImVec2(300, y), true);
  context.frame(draw);
  EXPECT_TRUE(view.isEditing);
  EXPECT_EQ(view.readoutColour(), panel::kRed);
  EXPECT_GT(view.speed, 50.0);
  context.mouse(ImVec2(300, y), false);
  context.frame(draw);
  EXPECT_FALSE(view.isEditing);
  EXPECT_EQ(view.readoutColour(), panel::kBlue);

  controller.reset();
  EXPECT_FALSE(dismissed);
}

}  // namespace
