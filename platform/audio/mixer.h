// The audio session and players on SDL2_mixer. SDL_mixer has one music
// channel: a player holds it from play() until stop(), its end, or another
// player's play(). Its end is reported on the audio thread; it is handed to the
// main queue through the posting function given here. One Mixer at a time.
#pragma once

#include <functional>
#include <memory>

#include "platform/audio/audio.h"

namespace audio {

class Mixer : public Session, public PlayerFactory {
 public:
  using Post = std::function<void(std::function<void()>)>;

  // `post` must be callable from any thread and run the block on the main queue.
  explicit Mixer(Post post);
  ~Mixer() override;
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  Status setCategoryPlayback() override;
  // Opens (true) or closes (false) the audio device.
  Status setActive(bool active) override;
  // A desktop gives no such hint: always false.
  bool secondaryAudioShouldBeSilencedHint() const override;

  // Needs an active session.
  Result<std::unique_ptr<Player>> makePlayer(const std::string& path) override;

 private:
  bool active_ = false;
};

}  // namespace audio
