// The music on the real SDL2_mixer back end (dummy audio driver), with the
// test bundle's tracks of 0.3 s.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/music/MusicPlayer.h"
#include "app/support/ManualMainQueue.h"
#include "platform/audio/mixer.h"
#include "resources/resources.h"

namespace {

class QuietHost : public MusicHost {
 public:
  void updateMusicInfo(const std::string&, bool) override {}
  void updateFluidStates() override {}
  bool isPanelShown() const override { return false; }
  void rebuildPanel() override {}
};

// Drains the queue until the current track differs from `from`, for at most five seconds.
void waitForTrackChange(app::ManualMainQueue& queue, const MusicPlayer& music, std::uint32_t from) {
  for (int turn = 0; turn < 50 && music.currentMusicTrack() == from; ++turn) queue.waitAndDrain(0.1);
}

TEST(MusicOnMixer, TheEndOfATrackStartsTheNextAndAStopDoesNot) {
  ::setenv("SDL_AUDIODRIVER", "dummy", 0);
  app::ManualMainQueue queue;
  audio::Mixer mixer([&](std::function<void()> block) { queue.async(std::move(block)); });
  QuietHost host;
  MusicPlayer music(mixer, mixer, resources::testBundlePath(), host);
  music.setUp();
  music.playMusic();
  ASSERT_TRUE(music.appMusicPlaying()) << "the dummy driver should play";

  waitForTrackChange(queue, music, 0);
  ASSERT_EQ(music.currentMusicTrack(), 1u);
  EXPECT_TRUE(music.appMusicPlaying());

  // Skipping stops the playing track: that halt must not count as its end.
  music.nextTrack();
  EXPECT_EQ(music.currentMusicTrack(), 2u);
  EXPECT_EQ(queue.pending(), 0u);
  EXPECT_TRUE(music.appMusicPlaying());

  waitForTrackChange(queue, music, 2);
  EXPECT_EQ(music.currentMusicTrack(), 3u);

  // Tear-down halts the last track; nothing may be reported afterwards.
  music.tearDown();
  EXPECT_EQ(queue.drain(), 0);
  EXPECT_EQ(music.currentMusicTrack(), 3u);
}

}  // namespace
