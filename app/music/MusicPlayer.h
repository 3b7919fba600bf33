// The application's music: five tracks from the resources, one after another
// in a loop, started, paused and skipped from the control panel. This is the
// music part of the view controller; it owns the player and the two flags:
//   appMusicPlaying - music this object started is meant to be audible now;
//   isMusicPlaying  - the play state shown on the panel, and the wish to play.
// Every method runs on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio.h"

// What the music needs from the view controller around it.
class MusicHost {
 public:
  virtual ~MusicHost() = default;
  // SwiftUIHandler's updateMusicInfo:isPlaying:.
  virtual void updateMusicInfo(const std::string& title, bool isPlaying) = 0;
  // Pushes the effect switches into the panel, if a panel exists.
  virtual void updateFluidStates() = 0;
  // The option view is shown and a panel controller exists.
  virtual bool isPanelShown() const = 0;
  // Replaces the shown panel by one built from the current state.
  virtual void rebuildPanel() = 0;
};

class MusicPlayer {
 public:
  static constexpr std::uint32_t MusicTotalNum = 5;

  // `resourcePath` is the bundle's resource folder holding toResource/music/.
  MusicPlayer(audio::Session& session, audio::PlayerFactory& players, std::string resourcePath, MusicHost& host);
  ~MusicPlayer();

  // Start-up: the audio session (category playback, active) and the initial state.
  void setUp();
  // Tear-down: stops and drops the player, deactivates the session.
  void tearDown();

  void playMusic();
  void stopMusic();
  void previousTrack();
  void nextTrack();
  void audioPlayerDidFinishPlaying(bool successfully);
  void syncMusicState();
  void applicationDidBecomeActive();
  void updateMusicTitle();

  // "%ld.mp3" for the 1-based number of the current track.
  std::string currentTitle() const;
  static std::string titleFor(std::uint32_t index);

  std::uint32_t currentMusicTrack() const { return currentMusicTrack_; }
  std::int64_t musicTrackNumber() const { return musicTrackNumber_; }
  bool appMusicPlaying() const { return appMusicPlaying_; }
  bool isMusicPlaying() const { return isMusicPlaying_; }
  bool hasPlayer() const { return audioPlayer_ != nullptr; }

 private:
  struct Track {
    bool found;
    std::string path;
  };
  enum class Step { previous, next };

  Track lookUp(std::uint32_t number) const;
  // Replaces the player by one for `path`; an error leaves no player.
  audio::Status loadPlayer(const std::string& path);
  void dropPlayer();
  void skip(Step step);

  audio::Session& session_;
  audio::PlayerFactory& players_;
  std::string resourcePath_;
  MusicHost& host_;

  std::unique_ptr<audio::Player> audioPlayer_;
  bool appMusicPlaying_ = false;
  std::uint32_t currentMusicTrack_ = 0;
  std::int64_t musicTrackNumber_ = 0;
  bool isMusicPlaying_ = true;
};
