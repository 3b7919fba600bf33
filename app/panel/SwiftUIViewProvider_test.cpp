#include "app/panel/SwiftUIViewProvider.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/support/ManualMainQueue.h"
#include "platform/foundation/Log.h"
#include "platform/panel/haptics.h"

namespace {

TEST(TrackNumberFromTitle, ReadsTheLeadingNumber) {
  const std::pair<const char*, std::optional<std::int64_t>> rows[] = {
      {"3.mp3", 3},       {"12", 12},       {"0.mp3", 0},          {"+4.mp3", 4},
      {"-2.mp3", -2},     {".mp3", {}},     {"abc.mp3", {}},       {"3a.mp3", {}},
      {"", {}},           {"+.mp3", {}},    {" 3.mp3", {}},        {"9223372036854775807.mp3", INT64_MAX},
      {"9223372036854775808.mp3", {}},      {"1.2.mp3", 1},
  };
  for (auto [title, number] : rows) EXPECT_EQ(trackNumberFromTitle(title), number) << '"' << title << '"';
}

class ProviderTest : public ::testing::Test {
 protected:
  ProviderTest() {
    SwiftUIViewProvider::setMainQueue(&queue);
    SwiftUIViewProvider::reset();
    previousSink = foundation::setLogSink([this](std::string_view line) { lines.emplace_back(line); });
    panel::ImpactFeedbackGenerator::setObserver([this](auto) { ++haptics; });
  }
  ~ProviderTest() override {
    SwiftUIViewProvider::reset();
    SwiftUIViewProvider::setMainQueue(nullptr);
    foundation::setLogSink(previousSink);
    panel::ImpactFeedbackGenerator::setObserver(nullptr);
  }
  std::shared_ptr<panel::ViewController> create() {
    ControlsView::Values values{0.02f, 0.1f, 0.8f, 1.0f, 0.2f, 1.0f, 100, 200, 0.008f, 0.98f, 1,
                                true,  true, true, true, 9000, 15000, 0, 0, false};
    return SwiftUIHandler::createSettingsController(values, {});
  }
  ControlsView& panelView() { return SwiftUIViewProvider::currentHostingController()->rootView(); }

  app::ManualMainQueue queue;
  foundation::LogSink previousSink;
  std::vector<std::string> lines;
  int haptics = 0;
};

TEST_F(ProviderTest, ATrackChangeIsAppliedLaterWithALineAHapticAndARelayout) {
  auto controller = create();
  SwiftUIHandler::updateMusicInfo("3.mp3", true);
  EXPECT_EQ(SwiftUIViewProvider::currentTrack(), 0);  // not before the queue runs it
  queue.drain();
  EXPECT_EQ(SwiftUIViewProvider::currentTrack(), 2);
  EXPECT_TRUE(SwiftUIViewProvider::currentIsPlaying());
  EXPECT_EQ(panelView().musicTrack, 2);
  EXPECT_TRUE(panelView().isPlaying);
  EXPECT_EQ(lines, std::vector<std::string>{"Track changed to: 3"});
  EXPECT_EQ(haptics, 1);
  EXPECT_EQ(controller->view().layoutRequests, 0);
  queue.advance(0.01);
  EXPECT_EQ(controller->view().layoutRequests, 1);

  // The same title again: the states are set, nothing else happens.
  panelView().isPlaying = true;
  SwiftUIHandler::updateMusicInfo("3.mp3", false);
  queue.advance(1);
  EXPECT_FALSE(panelView().isPlaying);
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(haptics, 1);
  EXPECT_EQ(controller->view().layoutRequests, 1);
}

TEST_F(ProviderTest, UnusableTitlesChangeNothing) {
  create();
  SwiftUIHandler::updateMusicInfo("2.mp3", true);
  queue.advance(1);
  lines.clear();
  for (const char* title : {"0.mp3", ".mp3", "abc.mp3", "3a.mp3", "", "-1.mp3"}) {
    SwiftUIHandler::updateMusicInfo(title, false);
    queue.advance(1);
    EXPECT_EQ(SwiftUIViewProvider::currentTrack(), 1) << title;
    EXPECT_TRUE(SwiftUIViewProvider::currentIsPlaying()) << title;
    EXPECT_EQ(panelView().musicTrack, 1) << title;
  }
  EXPECT_TRUE(lines.empty());
}

TEST_F(ProviderTest, ThePlayerHasTheLastWordOverThePanelsOwnCounter) {
  create();
  panelView().previousTrackAction();  // the panel wraps 0 to 9 on its own
  EXPECT_EQ(panelView().musicTrack, 9);
  SwiftUIHandler::updateMusicInfo("5.mp3", true);
  queue.drain();
  EXPECT_EQ(panelView().musicTrack, 4);
}

TEST_F(ProviderTest, AnnouncementsBeforeAnyPanelShowInTheFirstPanel) {
  SwiftUIHandler::updateMusicInfo("4.mp3", true);
  queue.drain();
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(haptics, 0);
  create();
  EXPECT_EQ(panelView().musicTrack, 3);
  EXPECT_TRUE(panelView().isPlaying);
}

TEST_F(ProviderTest, FluidStatesReachTheGivenPanelOrTheCurrentOne) {
  // No panel yet: nothing at all.
  SwiftUIHandler::updateFluidStates(nullptr, false, true, false, true);
  queue.advance(1);
  EXPECT_TRUE(lines.empty());

  auto controller = create();
  SwiftUIHandler::updateFluidStates(controller, false, true, false, true);
  queue.drain();
  EXPECT_EQ(lines.back(), "Setting fluid states - Shading: OFF, Bloom: ON, Sunrays: OFF, RenderPoint: ON");
  EXPECT_FALSE(panelView().isUsingShading);
  EXPECT_FALSE(panelView().isUsingSunrays);
  EXPECT_EQ(controller->view().layoutRequests, 0);
  queue.advance(0.05);
  EXPECT_EQ(controller->view().layoutRequests, 1);

  SwiftUIHandler::updateFluidStates(nullptr, true, false, true, false);
  queue.drain();
  EXPECT_EQ(lines.back(), "Fallback: Setting fluid states - Shading: ON, Bloom: OFF, Sunrays: ON, RenderPoint: OFF");
  EXPECT_FALSE(panelView().isRenderPoint);
}

TEST_F(ProviderTest, PushesRunInTheOrderTheyWereMade) {
  create();
  SwiftUIHandler::updateMusicInfo("2.mp3", true);
  SwiftUIHandler::updateMusicInfo("5.mp3", false);
  queue.drain();
  EXPECT_EQ(panelView().musicTrack, 4);
  EXPECT_FALSE(panelView().isPlaying);
  EXPECT_EQ(lines, (std::vector<std::string>{"Track changed to: 2", "Track changed to: 5"}));
}

}  // namespace
