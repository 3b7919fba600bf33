#include "app/music/MusicPlayer.h"

#include "app/support/AppLog.h"
#include "platform/foundation/Files.h"

MusicPlayer::MusicPlayer(audio::Session& session, audio::PlayerFactory& players, std::string resourcePath,
                         MusicHost& host)
    : session_(session), players_(players), resourcePath_(std::move(resourcePath)), host_(host) {}

MusicPlayer::~MusicPlayer() = default;

void MusicPlayer::setUp() {
  audio::Status category = session_.setCategoryPlayback();
  if (!category.ok()) app::log("Error setting up audio session: %s", category.error().description.c_str());
  audio::Status active = session_.setActive(true);
  if (!active.ok()) app::log("Error activating audio session: %s", active.error().description.c_str());
  currentMusicTrack_ = 0;
  musicTrackNumber_ = 0;
  appMusicPlaying_ = false;
  isMusicPlaying_ = true;
}

void MusicPlayer::tearDown() {
  dropPlayer();
  audio::Status inactive = session_.setActive(false);
  if (!inactive.ok()) app::log("Error deactivating audio session: %s", inactive.error().description.c_str());
}

std::string MusicPlayer::titleFor(std::uint32_t index) { return std::to_string(index + 1) + ".mp3"; }

std::string MusicPlayer::currentTitle() const { return titleFor(currentMusicTrack_); }

// The bundle's three ways of naming a track all land on the same file here.
MusicPlayer::Track MusicPlayer::lookUp(std::uint32_t number) const {
  std::string path = resourcePath_ + "/toResource/music/" + std::to_string(number) + ".mp3";
  return {foundation::fileExists(path), path};
}

void MusicPlayer::dropPlayer() {
  if (!audioPlayer_) return;
  audioPlayer_->stop();
  audioPlayer_.reset();
}

audio::Status MusicPlayer::loadPlayer(const std::string& path) {
  audio::Result<std::unique_ptr<audio::Player>> made = players_.makePlayer(path);
  if (!made.ok()) return made.error();
  audioPlayer_ = std::move(made.value());
  audioPlayer_->setFinishHandler([this](bool successfully) { audioPlayerDidFinishPlaying(successfully); });
  audioPlayer_->setNumberOfLoops(0);
  audioPlayer_->prepareToPlay();
  return {};
}

void MusicPlayer::playMusic() {
  bool silenced = session_.secondaryAudioShouldBeSilencedHint();
  if (audioPlayer_ && !audioPlayer_->isPlaying()) {
    app::log("Resuming music from paused position");
    audioPlayer_->play();
    appMusicPlaying_ = true;
    isMusicPlaying_ = true;
  } else if (!silenced && !appMusicPlaying_) {
    if (currentMusicTrack_ >= MusicTotalNum) currentMusicTrack_ = 0;
    musicTrackNumber_ = currentMusicTrack_;
    std::uint32_t number = currentMusicTrack_ + 1;
    Track track = lookUp(number);
    if (track.found) {
      dropPlayer();
      audio::Status loaded = loadPlayer(track.path);
      if (!loaded.ok()) {
        app::log("Error loading audio file: %s", loaded.error().description.c_str());
        return;
      }
      audioPlayer_->play();
      appMusicPlaying_ = true;
      isMusicPlaying_ = true;
      app::log("Music playing: %s", track.path.c_str());
    } else {
      app::log("Could not find music file: %u.mp3", number);
      app::log("Resource Path: %s", resourcePath_.c_str());
    }
  } else {
    app::log("Music not playing due to interference or already playing");
  }
  updateMusicTitle();
}

void MusicPlayer::stopMusic() {
  if (appMusicPlaying_) {
    // Paused, not stopped: the player stays loaded and play resumes it.
    if (audioPlayer_) audioPlayer_->pause();
    app::log("Music paused");
    appMusicPlaying_ = false;
    isMusicPlaying_ = false;
  } else {
    app::log("Music not paused as it was already stopped");
  }
  updateMusicTitle();
}

void MusicPlayer::previousTrack() { skip(Step::previous); }

void MusicPlayer::nextTrack() { skip(Step::next); }

void MusicPlayer::skip(Step step) {
  bool silenced = session_.secondaryAudioShouldBeSilencedHint();
  bool wasPlaying = appMusicPlaying_;
  if (step == Step::previous) {
    app::log(wasPlaying ? "Previous track - was playing" : "Previous track - was not playing");
    currentMusicTrack_ = currentMusicTrack_ == 0 ? MusicTotalNum - 1 : currentMusicTrack_ - 1;
  } else {
    app::log(wasPlaying ? "Next track - was playing" : "Next track - was not playing");
    currentMusicTrack_ = currentMusicTrack_ >= MusicTotalNum - 1 ? 0 : currentMusicTrack_ + 1;
  }
  musicTrackNumber_ = currentMusicTrack_;

  dropPlayer();
  appMusicPlaying_ = false;
  std::uint32_t number = currentMusicTrack_ + 1;
  app::log("Now playing track: %u.mp3", number);
  Track track = lookUp(number);
  if (track.found) {
    audio::Status loaded = loadPlayer(track.path);
    if (!loaded.ok()) {
      app::log("Error loading audio file: %s", loaded.error().description.c_str());
      appMusicPlaying_ = false;
      isMusicPlaying_ = false;
    } else if (!silenced && wasPlaying) {
      audioPlayer_->play();
      appMusicPlaying_ = true;
      isMusicPlaying_ = true;
    }
  } else {
    app::log("Could not find music file: %u.mp3", number);
    app::log("Resource Path: %s", resourcePath_.c_str());
  }
  // Told once the new track is loaded, so the panel shows what really plays.
  host_.updateMusicInfo(currentTitle(), appMusicPlaying_);
}

void MusicPlayer::audioPlayerDidFinishPlaying(bool) {
  app::log("Audio player did finish playing track %u", currentMusicTrack_ + 1);
  currentMusicTrack_ = currentMusicTrack_ >= MusicTotalNum - 1 ? 0 : currentMusicTrack_ + 1;
  musicTrackNumber_ = currentMusicTrack_;
  if (host_.isPanelShown()) host_.rebuildPanel();

  std::uint32_t number = currentMusicTrack_ + 1;
  Track track = lookUp(number);
  app::log("Next music file exists: %s, path: %s", track.found ? "YES" : "NO", track.path.c_str());
  if (!track.found) {
    app::log("Could not find next music file: %u.mp3", number);
    return;
  }
  dropPlayer();
  audio::Status loaded = loadPlayer(track.path);
  if (!loaded.ok()) {
    app::log("Error loading next audio file: %s", loaded.error().description.c_str());
    appMusicPlaying_ = false;
    isMusicPlaying_ = false;
    return;
  }
  // The music continues whatever the silence hint says.
  audioPlayer_->play();
  appMusicPlaying_ = true;
  isMusicPlaying_ = true;
  app::log("Now playing next track: %u.mp3", number);
  updateMusicTitle();
}

void MusicPlayer::syncMusicState() {
  bool playing = audioPlayer_ && audioPlayer_->isPlaying();
  if (appMusicPlaying_ != playing) {
    app::log("Music state mismatch detected. Syncing...");
    appMusicPlaying_ = playing;
    isMusicPlaying_ = playing;
    if (host_.isPanelShown()) updateMusicTitle();
  }
  if (!playing && isMusicPlaying_) {
    app::log("Should be playing but stopped. Restarting...");
    playMusic();
  }
}

void MusicPlayer::applicationDidBecomeActive() {
  syncMusicState();
  if (host_.isPanelShown()) host_.rebuildPanel();
}

void MusicPlayer::updateMusicTitle() {
  host_.updateMusicInfo(currentTitle(), isMusicPlaying_);
  host_.updateFluidStates();
}
