// The audio session and the audio player the application asks for, as
// interfaces: mixer.h implements them on SDL2_mixer, tests bring their own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"

namespace audio {

inline constexpr const char* kAudioErrorDomain = "audio";

using foundation::Error;
using foundation::Result;
using foundation::Status;

// The process-wide audio session.
class Session {
 public:
  virtual ~Session() = default;
  // Category "playback": the music keeps playing whatever else the system does.
  virtual Status setCategoryPlayback() = 0;
  virtual Status setActive(bool active) = 0;
  // True while another program's audio is playing and ours should stay quiet.
  virtual bool secondaryAudioShouldBeSilencedHint() const = 0;
};

// Plays one file. A player that is stopped by the system (an interruption)
// simply reports isPlaying() == false; it tells nobody.
class Player {
 public:
  // Runs on the main queue when the file played to its end; never after
  // stop() or pause(), and never after the player is destroyed.
  using FinishHandler = std::function<void(bool successfully)>;

  virtual ~Player() = default;
  virtual void setFinishHandler(FinishHandler handler) = 0;
  // 0 plays once, n plays n + 1 times, a negative count loops for ever.
  virtual void setNumberOfLoops(int loops) = 0;
  virtual bool prepareToPlay() = 0;
  // Starts, or resumes a paused player where it stopped.
  virtual bool play() = 0;
  // Keeps the position; play() resumes from it.
  virtual void pause() = 0;
  virtual void stop() = 0;
  virtual bool isPlaying() const = 0;
};

// Makes players from file paths (the player's contents-of-URL initialiser).
class PlayerFactory {
 public:
  virtual ~PlayerFactory() = default;
  virtual Result<std::unique_ptr<Player>> makePlayer(const std::string& path) = 0;
};

}  // namespace audio
