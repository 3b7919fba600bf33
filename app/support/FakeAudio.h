// In-memory stand-ins for the audio session and players, for tests: the test
// decides what the system says and when a track ends.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "platform/audio/audio.h"

namespace app::testing {

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
    if (unreadable.count(std::filesystem::path(path).filename().string())) return audio::Error("test", 2, "not an audio file");
    ++made;
    auto player = std::make_unique<FakePlayer>(path);
    last = player.get();
    return std::unique_ptr<audio::Player>(std::move(player));
  }
};

}  // namespace app::testing
