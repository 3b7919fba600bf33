// The control panel shown over the fluid: sliders for the fluid and particle
// options, the effect switches, the music transport, a close button and the
// special button. It keeps its own copy of every value and reports each edit
// only through the closures it was given; it never reads the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/panel/view.h"

class ControlsView : public panel::View {
 public:
  using FluidOptions = std::function<void(float fingerRadius, float vorticity, float pressure, float colorDiffusion,
                                          float velocityDiffusion, float splatForce)>;
  using FluidEffects = std::function<void(bool shading, bool bloom, bool sunrays)>;
  using FluidParticles = std::function<void(bool renderPoint, std::int64_t particleNum, float damping,
                                            float particleRadius, std::int64_t particleFrequency,
                                            std::int64_t lineNum)>;
  using Action = std::function<void()>;

  // The initial values, in the initializer's order.
  struct Values {
    float fingerRadius, vorticity, pressure, colorDiffusion, velocityDiffusion, splatForce;
    std::int64_t particleNum, maxParticleNumber;
    float particleRadius, damping;
    std::int64_t particleFrequency;
    bool isRenderPoint, isUsingShading, isUsingBloom, isUsingSunrays;
    std::int64_t currentLineNum, maxLineNumber, musicTrack, settingsOpenCount;
    bool initialIsPlaying;
  };
  struct Closures {
    FluidOptions onSetFluidOptions;
    FluidEffects onSetFluidEffects;
    FluidParticles onSetFluidParticles;
    Action onPlayMusic, onStopMusic, onPreviousTrack, onNextTrack, onClose, onSpecialButtonTap;
  };

  ControlsView(const Values& values, Closures closures);

  void body(const panel::GeometryProxy& geometry, const panel::Environment& environment) override;

  // The three group senders: every current value of the group.
  void sendFluidOptions();
  void sendFluidEffects();
  void sendFluidParticles();
  // The music buttons' actions. The track counter wraps over 0...9; the
  // player decides what really plays and pushes it back.
  void previousTrackAction();
  void playPauseAction();
  void nextTrackAction();

  static std::string specialButtonTitle(std::int64_t settingsOpenCount);

  // Where each control was drawn in the last evaluation, by its label
  // ("Vorticity", "Bloom", ...) or role ("previous", "playPause", "next",
  // "special", "close"), in window points.
  const std::map<std::string, panel::Rect>& lastLayout() const { return layout_; }
  bool closeShowsImage() const { return closeShowsImage_; }

  // View state; the bridge writes musicTrack, isPlaying and the four switches.
  float fingerRadius, vorticity, pressure, colorDiffusion, velocityDiffusion, splatForce;
  std::int64_t particleNum;
  const std::int64_t maxParticleNumber;
  float particleRadius, damping;
  std::int64_t particleFrequency;
  std::int64_t currentLineNum;
  const std::int64_t maxLineNumber;
  bool isRenderPoint, isUsingShading, isUsingBloom, isUsingSunrays;
  std::int64_t musicTrack;
  bool isPlaying;
  std::int64_t settingsOpenCount;

 private:
  void panelContent(const panel::GeometryProxy& geometry, const panel::Environment& environment);
  void drawCloseButton(float usableWidth, panel::Rect frame, const panel::Environment& environment);
  void drawTransport(float W, float H, panel::Rect row, const panel::Environment& environment);
  // Fires the toggle's action once for every change of its value, by a tap or a push.
  void noticeToggleChanges();

  Closures closures_;
  bool seenRenderPoint_, seenShading_, seenBloom_, seenSunrays_;
  std::map<std::string, panel::Rect> layout_;
  bool closeShowsImage_ = false;
};
