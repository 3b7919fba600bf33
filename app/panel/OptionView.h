// The option view: a full-screen container over the fluid that hosts the
// control panel, faded in and out in half a second by the settings button, and
// the special button's store sheet. This is that part of the view controller;
// the panel itself and everything it shows come from the host.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/support/MainQueue.h"
#include "platform/store/store.h"

class OptionViewHost {
 public:
  virtual ~OptionViewHost() = default;
  virtual void syncMusicState() = 0;
  // Builds a new panel from the current settings and puts it in the container.
  virtual void setupSwiftUIControls() = 0;
  // Fits the panel's view to the container and lays it out.
  virtual void layoutPanel() = 0;
  // Tells the new panel the track, the play state and the effect switches.
  virtual void pushPanelState() = 0;
  // Takes the panel out of the container and drops it.
  virtual void dropPanel() = 0;
  virtual void savePreferences() = 0;
};

class OptionView {
 public:
  static constexpr double kFadeSeconds = 0.5;

  OptionView(app::MainQueue& queue, OptionViewHost& host);

  void setupCommonInterface();
  // The settings button: opens a closed option view, closes an open one.
  void toggleOptionView();
  // The panel's close button.
  void closeOptionView();
  // End of the closing fade.
  void hideOptionView();

  bool isOptionVisible() const { return isOptionVisible_; }
  std::int64_t settingsOpenCount() const { return settingsOpenCount_; }
  bool containerHidden() const { return containerHidden_; }
  // The container's opacity now, following the running fade.
  float containerAlpha() const;
  bool settingButtonShown() const { return settingButtonShown_; }

 private:
  void fadeTo(float alpha, std::function<void()> completion);

  app::MainQueue& queue_;
  OptionViewHost& host_;
  bool isOptionVisible_ = false;
  std::int64_t settingsOpenCount_ = 0;
  bool containerHidden_ = true;
  bool settingButtonShown_ = true;
  struct Fade {
    float from = 0, to = 0;
    double start = 0;
  } fade_;
  std::uint64_t fadeGeneration_ = 0;
};

// A product in the platform's store: its page and its item identifier.
struct StoreProduct {
  std::string link;
  std::int64_t itemIdentifier;
};

// Configuration: two products offered in turn with one, and the one shown on
// even openings. The placeholders point nowhere.
struct StoreProducts {
  std::array<StoreProduct, 2> list;
  StoreProduct single;
  static StoreProducts placeholders();
};

class StoreSheet {
 public:
  using MakeSheet = std::function<std::shared_ptr<store::ProductViewController>()>;
  using OpenURL = std::function<void(const std::string& link)>;
  using Present = std::function<void(std::shared_ptr<store::ProductViewController> sheet)>;
  // Picks an index below `count`, each with the same chance.
  using Pick = std::function<std::size_t(std::size_t count)>;

  StoreSheet(StoreProducts products, MakeSheet makeSheet, OpenURL openURL, Present present, Pick pick = {});

  // Odd openings pick one of the list at random; even ones show the single product.
  void handleSpecialButtonTap(std::int64_t settingsOpenCount);

 private:
  StoreProducts products_;
  MakeSheet makeSheet_;
  OpenURL openURL_;
  Present present_;
  Pick pick_;
};
