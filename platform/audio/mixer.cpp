#include "platform/audio/mixer.h"

#include <SDL.h>
#include <SDL_mixer.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace audio {
namespace {

class MixerPlayer;

// SDL_mixer's single music channel and who holds it. Touched from the main
// thread and from the finished hook (audio thread, or inside Mix_HaltMusic);
// the mutex is never held while calling into SDL_mixer, which takes its own
// audio lock before running the hook.
struct Channel {
  std::mutex mutex;
  std::uint64_t token = 0;  // 0: nobody; else the holder's play token
  std::weak_ptr<struct PlayerCore> holder;
  Mixer::Post post;
};

Channel& channel() {
  static Channel c;
  return c;
}

std::atomic<std::uint64_t> nextToken{1};

// The part of a player that posted blocks may still reach; lives on the main thread.
struct PlayerCore {
  std::uint64_t token = 0;  // this player's hold on the channel
  Player::FinishHandler finished;

  void endedNaturally(std::uint64_t ended) {
    if (token != ended) return;  // stopped or restarted since
    token = 0;
    if (finished) finished(true);
  }
};

bool holdsChannel(std::uint64_t token) {
  if (token == 0) return false;
  Channel& c = channel();
  std::lock_guard lock(c.mutex);
  return c.token == token;
}

// Gives up the channel before halting, so the hook that Mix_HaltMusic fires
// is not taken for the end of a track.
void releaseAndHalt(std::uint64_t token) {
  Channel& c = channel();
  bool held = false;
  {
    std::lock_guard lock(c.mutex);
    if (token == 0 || c.token == token) {
      held = c.token != 0;
      c.token = 0;
      c.holder.reset();
    }
  }
  if (held || token == 0) Mix_HaltMusic();
}

void SDLCALL musicFinished() {
  Channel& c = channel();
  std::weak_ptr<PlayerCore> holder;
  std::uint64_t token;
  Mixer::Post post;
  {
    std::lock_guard lock(c.mutex);
    if (c.token == 0) return;
    token = c.token;
    holder = c.holder;
    post = c.post;
    c.token = 0;
    c.holder.reset();
  }
  if (post) {
    post([holder, token] {
      if (auto core = holder.lock()) core->endedNaturally(token);
    });
  }
}

class MixerPlayer : public Player {
 public:
  explicit MixerPlayer(Mix_Music* music) : music_(music), core_(std::make_shared<PlayerCore>()) {}
  ~MixerPlayer() override {
    stop();
    Mix_FreeMusic(music_);
  }

  void setFinishHandler(FinishHandler handler) override { core_->finished = std::move(handler); }
  void setNumberOfLoops(int loops) override { loops_ = loops; }
  bool prepareToPlay() override { return true; }

  bool play() override {
    if (paused_ && holdsChannel(core_->token)) {
      Mix_ResumeMusic();
      paused_ = false;
      return true;
    }
    releaseAndHalt(0);  // whoever holds the channel loses it
    std::uint64_t token = nextToken++;
    {
      Channel& c = channel();
      std::lock_guard lock(c.mutex);
      c.token = token;
      c.holder = core_;
    }
    core_->token = token;
    paused_ = false;
    int mixLoops = loops_ < 0 ? -1 : loops_ + 1;
    if (Mix_PlayMusic(music_, mixLoops) != 0) {
      releaseAndHalt(token);
      core_->token = 0;
      return false;
    }
    return true;
  }

  void pause() override {
    if (!holdsChannel(core_->token) || paused_) return;
    Mix_PauseMusic();
    paused_ = true;
  }

  void stop() override {
    if (core_->token != 0) releaseAndHalt(core_->token);
    core_->token = 0;
    paused_ = false;
  }

  // Mix_PlayingMusic() stays 1 while paused, hence the own flag.
  bool isPlaying() const override { return !paused_ && holdsChannel(core_->token) && Mix_PlayingMusic() != 0; }

 private:
  Mix_Music* music_;
  std::shared_ptr<PlayerCore> core_;
  int loops_ = 0;
  bool paused_ = false;
};

Error mixerError(int code, const std::string& what) { return Error(kAudioErrorDomain, code, what + ": " + Mix_GetError()); }

}  // namespace

Mixer::Mixer(Post post) {
  {
    Channel& c = channel();
    std::lock_guard lock(c.mutex);
    c.post = std::move(post);
  }
  Mix_HookMusicFinished(musicFinished);
}

Mixer::~Mixer() {
  (void)setActive(false);  // closing cannot fail
  Mix_HookMusicFinished(nullptr);
  Channel& c = channel();
  std::lock_guard lock(c.mutex);
  c.post = nullptr;
}

Status Mixer::setCategoryPlayback() { return {}; }

Status Mixer::setActive(bool active) {
  if (active == active_) return {};
  if (active) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return Error(kAudioErrorDomain, 1, std::string("The audio system could not start: ") + SDL_GetError());
    Mix_Init(MIX_INIT_MP3);
    if (Mix_OpenAudio(44100, AUDIO_S16SYS, 2, 2048) != 0) {
      Error error = mixerError(2, "The audio device could not be opened");
      Mix_Quit();
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
      return error;
    }
    active_ = true;
    return {};
  }
  releaseAndHalt(0);
  Mix_CloseAudio();
  Mix_Quit();
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  active_ = false;
  return {};
}

bool Mixer::secondaryAudioShouldBeSilencedHint() const { return false; }

Result<std::unique_ptr<Player>> Mixer::makePlayer(const std::string& path) {
  if (!active_) return Error(kAudioErrorDomain, 3, "The audio session is not active");
  Mix_Music* music = Mix_LoadMUS(path.c_str());
  if (!music) return mixerError(4, "The file \"" + path + "\" could not be opened");
  return std::unique_ptr<Player>(std::make_unique<MixerPlayer>(music));
}

}  // namespace audio
