#include "app/music/MusicPlayer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Log.h"

namespace {

namespace fs = std::filesystem;

// In-memory stand-ins for the audio session and players: the test decides what
// the system says and when a track ends.
class FakeSession : public audio::Session {
 public:
  bool silenced = false;
  bool failActivation = false;
  audio::Status setCategoryPlayback() override { return {}; }
  audio::Status setActive(bool active) override {
    if (active && failActivation) return audio::Error("test", 1, "device busy");
    return {};
  }
  bool secondaryAudioShouldBeSilencedHint() const override { return silenced; }
};

class FakePlayer : public audio::Player {
 public:
  explicit FakePlayer(std::string path) : path(std::move(path)) {}
  void setFinishHandler(FinishHandler h) override { handler = std::move(h); }
  void setNumberOfLoops(int n) override { loops = n; }
  bool prepareToPlay() override { return true; }
  bool play() override {
    playing = true;
    ++plays;
    return true;
  }
  void pause() override { playing = false; }
  void stop() override { playing = false; }
  bool isPlaying() const override { return playing; }

  std::string path;
  FinishHandler handler;
  int loops = -7;
  int plays = 0;
  bool playing = false;
};

class FakeFactory : public audio::PlayerFactory {
 public:
  std::set<std::string> unreadable;  // file names the decoder rejects
  int made = 0;
  FakePlayer* last = nullptr;
  audio::Result<std::unique_ptr<audio::Player>> makePlayer(const std::string& path) override {
    if (unreadable.count(fs::path(path).filename().string())) return audio::Error("test", 2, "not an audio file");
    ++made;
    auto player = std::make_unique<FakePlayer>(path);
    last = player.get();
    return std::unique_ptr<audio::Player>(std::move(player));
  }
};

class FakeHost : public MusicHost {
 public:
  void updateMusicInfo(const std::string& title, bool isPlaying) override {
    infos.push_back(title + (isPlaying ? " playing" : " stopped"));
  }
  void updateFluidStates() override { ++fluidPushes; }
  bool isPanelShown() const override { return panelShown; }
  void rebuildPanel() override { ++rebuilds; }

  std::vector<std::string> infos;
  int fluidPushes = 0;
  int rebuilds = 0;
  bool panelShown = false;
};

enum class Act { play, stop, previous, next, finish, interrupt, hintOn, hintOff, sync, becomeActive };

enum class Held { none, playing, silent };

struct Case {
  const char* name;
  std::vector<int> missing;          // track numbers without a file
  std::vector<std::string> unreadable;
  bool silencedAtLaunch;
  std::vector<Act> script;           // after setUp()
  // expected afterwards
  std::uint32_t track;
  bool appMusicPlaying;
  bool isMusicPlaying;
  Held player;
  int playersMade;
  const char* lastInfo;              // last updateMusicInfo, "" for none
  const char* logLine;               // a line that must have been logged
};

class MusicPlayerTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tolv-music-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(root / "toResource/music");
    previousSink = foundation::setLogSink([this](std::string_view line) { lines.emplace_back(line); });
  }
  void TearDown() override {
    foundation::setLogSink(previousSink);
    fs::remove_all(root);
  }
  void makeTracks(const std::vector<int>& missing) {
    for (int n = 1; n <= 5; ++n) {
      if (std::find(missing.begin(), missing.end(), n) != missing.end()) continue;
      std::ofstream(root / "toResource/music" / (std::to_string(n) + ".mp3")) << "mp3";
    }
  }
  // A trailing '*' matches any rest of the line.
  bool logged(const std::string& line) const {
    bool prefix = !line.empty() && line.back() == '*';
    std::string want = prefix ? line.substr(0, line.size() - 1) : line;
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return prefix ? l.rfind(want, 0) == 0 : l == want; });
  }

  fs::path root;
  foundation::LogSink previousSink;
  std::vector<std::string> lines;
  FakeSession session;
  FakeFactory factory;
  FakeHost host;
};

TEST_P(MusicPlayerTest, FollowsTheScript) {
  const Case& c = GetParam();
  makeTracks(c.missing);
  factory.unreadable.insert(c.unreadable.begin(), c.unreadable.end());
  session.silenced = c.silencedAtLaunch;
  MusicPlayer music(session, factory, root.string(), host);
  music.setUp();
  music.playMusic();  // as at launch
  for (Act act : c.script) {
    switch (act) {
      case Act::play: music.playMusic(); break;
      case Act::stop: music.stopMusic(); break;
      case Act::previous: music.previousTrack(); break;
      case Act::next: music.nextTrack(); break;
      case Act::finish: {
        FakePlayer* p = factory.last;
        ASSERT_NE(p, nullptr);
        p->playing = false;
        auto handler = p->handler;  // the handler may drop the player
        handler(true);
        break;
      }
      case Act::interrupt: factory.last->playing = false; break;
      case Act::hintOn: session.silenced = true; break;
      case Act::hintOff: session.silenced = false; break;
      case Act::sync: music.syncMusicState(); break;
      case Act::becomeActive: music.applicationDidBecomeActive(); break;
    }
  }

  EXPECT_EQ(music.currentMusicTrack(), c.track);
  EXPECT_EQ(music.musicTrackNumber(), static_cast<std::int64_t>(c.track));
  EXPECT_EQ(music.appMusicPlaying(), c.appMusicPlaying);
  EXPECT_EQ(music.isMusicPlaying(), c.isMusicPlaying);
  switch (c.player) {
    case Held::none: EXPECT_FALSE(music.hasPlayer()); break;
    case Held::playing:
      ASSERT_TRUE(music.hasPlayer());
      EXPECT_TRUE(factory.last->playing);
      break;
    case Held::silent:
      ASSERT_TRUE(music.hasPlayer());
      EXPECT_FALSE(factory.last->playing);
      break;
  }
  if (c.player == Held::playing) {
    EXPECT_EQ(fs::path(factory.last->path).filename().string(), MusicPlayer::titleFor(c.track));
    EXPECT_EQ(factory.last->loops, 0);
  }
  EXPECT_EQ(factory.made, c.playersMade);
  EXPECT_EQ(host.infos.empty() ? std::string() : host.infos.back(), c.lastInfo);
  EXPECT_TRUE(logged(c.logLine)) << "missing line: " << c.logLine;
}

using A = Act;
INSTANTIATE_TEST_SUITE_P(
    Cases, MusicPlayerTest,
    ::testing::Values(
        Case{"LaunchPlaysTheFirstTrack", {}, {}, false, {}, 0, true, true, Held::playing, 1, "1.mp3 playing",
             "Music playing: *"},
        Case{"LaunchWhileAnotherAppPlays", {}, {}, true, {}, 0, false, true, Held::none, 0, "1.mp3 playing",
             "Music not playing due to interference or already playing"},
        Case{"NextFromTheFifthGivesTheFirst", {}, {}, false, {A::next, A::next, A::next, A::next, A::next}, 0, true,
             true, Held::playing, 6, "1.mp3 playing", "Next track - was playing"},
        Case{"PreviousFromTheFirstGivesTheFifth", {}, {}, false, {A::previous}, 4, true, true, Held::playing, 2,
             "5.mp3 playing", "Previous track - was playing"},
        Case{"PauseThenPlayResumesTheSamePlayer", {}, {}, false, {A::stop, A::play}, 0, true, true, Held::playing, 1,
             "1.mp3 playing", "Resuming music from paused position"},
        Case{"StopTwiceSaysAlreadyStopped", {}, {}, false, {A::stop, A::stop}, 0, false, false, Held::silent, 1,
             "1.mp3 stopped", "Music not paused as it was already stopped"},
        Case{"SkipWhilePausedStaysSilent", {}, {}, false, {A::stop, A::next}, 1, false, false, Held::silent, 2,
             "2.mp3 stopped", "Next track - was not playing"},
        Case{"SkipWhileSilencedReportsNotPlaying", {}, {}, false, {A::hintOn, A::next}, 1, false, true, Held::silent,
             2, "2.mp3 stopped", "Now playing track: 2.mp3"},
        Case{"EndOfATrackStartsTheNext", {}, {}, false, {A::finish}, 1, true, true, Held::playing, 2, "2.mp3 playing",
             "Now playing next track: 2.mp3"},
        Case{"EndOfTheLastStartsTheFirstEvenWhenSilenced", {}, {}, false, {A::previous, A::hintOn, A::finish}, 0,
             true, true, Held::playing, 3, "1.mp3 playing", "Audio player did finish playing track 5"},
        Case{"MissingTrackAtLaunch", {1}, {}, false, {}, 0, false, true, Held::none, 0, "1.mp3 playing",
             "Could not find music file: 1.mp3"},
        Case{"MissingTrackDuringASkipLeavesNoPlayer", {2}, {}, false, {A::next}, 1, false, true, Held::none, 1,
             "2.mp3 stopped", "Could not find music file: 2.mp3"},
        Case{"MissingNextTrackAtTheEnd", {2}, {}, false, {A::finish}, 1, true, true, Held::silent, 1, "1.mp3 playing",
             "Next music file exists: NO, path: *"},
        Case{"UnreadableTrackDuringASkip", {}, {"2.mp3"}, false, {A::next}, 1, false, false, Held::none, 1,
             "2.mp3 stopped", "Error loading audio file: not an audio file"},
        Case{"UnreadableNextTrackAtTheEnd", {}, {"2.mp3"}, false, {A::finish}, 1, false, false, Held::none, 1,
             "1.mp3 playing", "Error loading next audio file: not an audio file"},
        Case{"InterruptionIsFoundOnActivationAndMusicStaysOff", {}, {}, false, {A::interrupt, A::becomeActive}, 0,
             false, false, Held::silent, 1, "1.mp3 playing", "Music state mismatch detected. Syncing..."},
        Case{"HeldBackAtLaunchStartsOnSync", {}, {}, true, {A::hintOff, A::sync}, 0, true, true, Held::playing, 1,
             "1.mp3 playing", "Should be playing but stopped. Restarting..."},
        Case{"PausedTrackResumesWhateverTheHint", {}, {}, false, {A::stop, A::hintOn, A::play}, 0, true, true,
             Held::playing, 1, "1.mp3 playing", "Resuming music from paused position"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

TEST_F(MusicPlayerTest, AShownPanelIsRebuiltOnTrackEndAndActivation) {
  makeTracks({});
  host.panelShown = true;
  MusicPlayer music(session, factory, root.string(), host);
  music.setUp();
  music.playMusic();
  int pushes = host.fluidPushes;
  auto handler = factory.last->handler;
  handler(true);
  EXPECT_EQ(host.rebuilds, 1);
  EXPECT_EQ(host.fluidPushes, pushes + 1);
  music.applicationDidBecomeActive();
  EXPECT_EQ(host.rebuilds, 2);
}

TEST_F(MusicPlayerTest, FailuresOfTheSessionAreLoggedAndStartUpGoesOn) {
  makeTracks({});
  session.failActivation = true;
  MusicPlayer music(session, factory, root.string(), host);
  music.setUp();
  EXPECT_TRUE(logged("Error activating audio session: device busy"));
  EXPECT_TRUE(music.isMusicPlaying());
  EXPECT_FALSE(music.appMusicPlaying());
}

}  // namespace
