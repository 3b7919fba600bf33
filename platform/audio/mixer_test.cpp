// SDL2_mixer on the dummy driver, which plays in real time.
#include "platform/audio/mixer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "resources/resources.h"

namespace {

class MixerTest : public ::testing::Test {
 protected:
  MixerTest() { ::setenv("SDL_AUDIODRIVER", "dummy", 0); }
  std::vector<std::function<void()>> posted;
  audio::Mixer mixer{[this](std::function<void()> block) { posted.push_back(std::move(block)); }};
  std::string longTrack = resources::bundlePath() + "/toResource/music/1.mp3";
};

TEST_F(MixerTest, PlayersNeedAnActiveSessionAndAReadableFile) {
  auto early = mixer.makePlayer(longTrack);
  ASSERT_FALSE(early.ok());
  EXPECT_EQ(early.error().description, "The audio session is not active");

  ASSERT_TRUE(mixer.setActive(true).ok());
  auto missing = mixer.makePlayer(resources::bundlePath() + "/toResource/music/9.mp3");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description.find("9.mp3"), std::string::npos);
  EXPECT_TRUE(mixer.makePlayer(longTrack).ok());
}

TEST_F(MixerTest, PauseKeepsThePlayerAndStopReportsNoEnd) {
  ASSERT_TRUE(mixer.setActive(true).ok());
  auto made = mixer.makePlayer(longTrack);
  ASSERT_TRUE(made.ok());
  audio::Player& player = *made.value();
  int ends = 0;
  player.setFinishHandler([&](bool) { ++ends; });

  ASSERT_TRUE(player.play());
  EXPECT_TRUE(player.isPlaying());
  player.pause();
  EXPECT_FALSE(player.isPlaying());  // although SDL_mixer still says "playing"
  ASSERT_TRUE(player.play());
  EXPECT_TRUE(player.isPlaying());

  player.stop();
  EXPECT_FALSE(player.isPlaying());
  for (auto& block : posted) block();
  EXPECT_EQ(ends, 0);
}

TEST_F(MixerTest, ASecondPlayerTakesTheChannel) {
  ASSERT_TRUE(mixer.setActive(true).ok());
  auto first = mixer.makePlayer(longTrack);
  auto second = mixer.makePlayer(longTrack);
  ASSERT_TRUE(first.ok() && second.ok());
  int ends = 0;
  first.value()->setFinishHandler([&](bool) { ++ends; });
  first.value()->play();
  second.value()->play();
  EXPECT_FALSE(first.value()->isPlaying());
  EXPECT_TRUE(second.value()->isPlaying());
  for (auto& block : posted) block();
  EXPECT_EQ(ends, 0);
}

}  // namespace
