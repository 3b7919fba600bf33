#include "app/panel/ControlsView.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/panel/Components.h"
#include "platform/panel/controls.h"
#include "platform/panel/fonts.h"
#include "platform/panel/image.h"

namespace {

constexpr ImU32 kLabelColour = panel::rgba(245, 180, 105);
constexpr float kDefaultSpacing = 8.0f;

// The count sliders edit an integer through a Float: reading converts, writing
// truncates toward zero and ignores what no Int can hold.
Binding<float> intViaFloat(std::int64_t* storage) {
  return {[storage] { return static_cast<float>(*storage); },
          [storage](float value) {
            if (std::isfinite(value) && value >= -9.2e18f && value <= 9.2e18f) {
              *storage = static_cast<std::int64_t>(value);
            }
          }};
}

}  // namespace

ControlsView::ControlsView(const Values& v, Closures closures)
    : fingerRadius(v.fingerRadius),
      vorticity(v.vorticity),
      pressure(v.pressure),
      colorDiffusion(v.colorDiffusion),
      velocityDiffusion(v.velocityDiffusion),
      splatForce(v.splatForce),
      particleNum(v.particleNum),
      maxParticleNumber(v.maxParticleNumber),
      particleRadius(v.particleRadius),
      damping(v.damping),
      particleFrequency(v.particleFrequency),
      currentLineNum(v.currentLineNum),
      maxLineNumber(v.maxLineNumber),
      isRenderPoint(v.isRenderPoint),
      isUsingShading(v.isUsingShading),
      isUsingBloom(v.isUsingBloom),
      isUsingSunrays(v.isUsingSunrays),
      musicTrack(v.musicTrack),
      isPlaying(v.initialIsPlaying),
      settingsOpenCount(v.settingsOpenCount),
      closures_(std::move(closures)),
      seenRenderPoint_(v.isRenderPoint),
      seenShading_(v.isUsingShading),
      seenBloom_(v.isUsingBloom),
      seenSunrays_(v.isUsingSunrays) {}

void ControlsView::sendFluidOptions() {
  if (closures_.onSetFluidOptions) {
    closures_.onSetFluidOptions(fingerRadius, vorticity, pressure, colorDiffusion, velocityDiffusion, splatForce);
  }
}

void ControlsView::sendFluidEffects() {
  if (closures_.onSetFluidEffects) closures_.onSetFluidEffects(isUsingShading, isUsingBloom, isUsingSunrays);
}

void ControlsView::sendFluidParticles() {
  // Damping before radius: the order the engine's setter takes them.
  if (closures_.onSetFluidParticles) {
    closures_.onSetFluidParticles(isRenderPoint, particleNum, damping, particleRadius, particleFrequency,
                                  currentLineNum);
  }
}

void ControlsView::previousTrackAction() {
  if (closures_.onPreviousTrack) closures_.onPreviousTrack();
  musicTrack = musicTrack == 0 ? 9 : musicTrack - 1;
}

void ControlsView::playPauseAction() {
  isPlaying = !isPlaying;
  if (isPlaying) {
    if (closures_.onPlayMusic) closures_.onPlayMusic();
  } else {
    if (closures_.onStopMusic) closures_.onStopMusic();
  }
}

void ControlsView::nextTrackAction() {
  if (closures_.onNextTrack) closures_.onNextTrack();
  musicTrack = musicTrack == 9 ? 0 : musicTrack + 1;
}

std::string ControlsView::specialButtonTitle(std::int64_t count) {
  return count % 2 == 1 ? "New Release" : "More Free Apps";
}

void ControlsView::noticeToggleChanges() {
  auto notice = [this](bool value, bool& seen, void (ControlsView::*send)()) {
    if (value == seen) return;
    seen = value;
    (this->*send)();
  };
  notice(isRenderPoint, seenRenderPoint_, &ControlsView::sendFluidParticles);
  notice(isUsingBloom, seenBloom_, &ControlsView::sendFluidEffects);
  notice(isUsingSunrays, seenSunrays_, &ControlsView::sendFluidEffects);
  notice(isUsingShading, seenShading_, &ControlsView::sendFluidEffects);
}

void ControlsView::body(const panel::GeometryProxy& geometry, const panel::Environment& environment) {
  panelContent(geometry, environment);
}

void ControlsView::panelContent(const panel::GeometryProxy& geometry, const panel::Environment& environment) {
  const panel::Rect& proxy = geometry.frame;
  const float W = proxy.width - geometry.safeAreaInsets.leading - geometry.safeAreaInsets.trailing;
  const float H = proxy.height - geometry.safeAreaInsets.top - geometry.safeAreaInsets.bottom;
  configureSliderThumb(0.4f * W, 0.1f * H);
  layout_.clear();

  const float cx = proxy.midX();
  const float cy = proxy.midY();
  ImDrawList* list = ImGui::GetWindowDrawList();

  // Backdrop over everything the panel is given.
  list->AddRectFilled(ImVec2(proxy.x, proxy.y), ImVec2(proxy.maxX(), proxy.maxY()), panel::rgba(0, 0, 0, 0.4f), 20);

  // Main column: four rows centred in 0.8 W x 0.8 H.
  const float spacing = 0.015f * W;
  const float labelSize = 0.02f * W;
  ToggleLabel showVireon{"Show Vireon", labelSize, kLabelColour};
  Size headerToggle = CompactToggleStyle::size(showVireon, 0.07f * W, environment);
  const float headerHeight = headerToggle.height;
  const float total = headerHeight + 0.06f * H + 0.06f * H + 0.4f * H + 0.1f * H + 0.08f * H + 3 * spacing;
  float y = cy - total / 2;

  // Row 1: "Show Vireon", right of a spacer 0.36 W wide.
  float headerLeft = cx - (0.36f * W + kDefaultSpacing + 0.3f * W) / 2;
  layout_["Show Vireon"] = CompactToggleStyle(0.07f * W).makeBody(
      showVireon, Binding<bool>::to(&isRenderPoint), ImVec2(headerLeft + 0.36f * W + kDefaultSpacing, y),
      environment, "##showVireon");
  y += headerHeight + 0.06f * H + spacing + 0.06f * H;

  // Row 2: two columns of sliders, 0.45 W each, 0.02 W apart.
  const Size usable{W, H};
  const float columnHeight = 0.4f * H;
  const float sliderHeight = columnHeight / 5;
  const float contentWidth = 0.41f * W;
  const float leftX = cx - 0.46f * W + 0.02f * W;
  const float rightX = cx - 0.46f * W + 0.47f * W + 0.02f * W;
  auto options = [this](float) { sendFluidOptions(); };
  auto particles = [this](float) { sendFluidParticles(); };
  struct SliderRow {
    const char* title;
    Binding<float> binding;
    ClosedRange range;
    std::function<void(float)> action;
  };
  const float particleTop = static_cast<float>(std::max<std::int64_t>(maxParticleNumber, 1));
  const float lineTop = static_cast<float>(std::max<std::int64_t>(maxLineNumber, 0));
  SliderRow left[] = {
      {"Color Diffusion", Binding<float>::to(&colorDiffusion), {0.0f, 10.0f}, options},
      {"Speed Diffusion", Binding<float>::to(&velocityDiffusion), {0.0f, 10.0f}, options},
      {"Vorticity", Binding<float>::to(&vorticity), {0.0f, 50.0f}, options},
      {"Touch Size", Binding<float>::to(&fingerRadius), {0.01f, 0.1f}, options},
  };
  SliderRow right[] = {
      {"Vireon Count", intViaFloat(&particleNum), {1.0f, particleTop}, particles},
      {"Vireon Speed", Binding<float>::to(&damping), {0.9f, 1.0f}, particles},
      {"Vireon Force", Binding<float>::to(&splatForce), {0.1f, 3.0f}, options},
      {"Vireon Size", Binding<float>::to(&particleRadius), {0.005f, 0.05f}, particles},
      {"Particle Count", intViaFloat(&currentLineNum), {0.0f, lineTop}, particles},
  };

  ToggleLabel effects[] = {{"Bloom", labelSize, kLabelColour},
                           {"Rays", labelSize, kLabelColour},
                           {"Shade", labelSize, kLabelColour}};
  bool* effectStates[] = {&isUsingBloom, &isUsingSunrays, &isUsingShading};
  const float toggleHeight = CompactToggleStyle::size(effects[0], 0.005f * W, environment).height;
  const float leftContent = 4 * sliderHeight + 0.02f * H + toggleHeight + 0.02f * H;
  float leftY = y + std::max(0.0f, (columnHeight - leftContent) / 2);
  for (SliderRow& row : left) {
    panel::Rect frame{leftX, leftY, contentWidth, sliderHeight};
    SliderView(row.binding, row.range, row.title, usable, row.action).body(frame, environment, row.title);
    layout_[row.title] = frame;
    leftY += sliderHeight;
  }
  leftY += 0.02f * H;
  float toggleX = leftX;
  for (int i = 0; i < 3; ++i) {
    panel::Rect taken = CompactToggleStyle(0.005f * W)
                            .makeBody(effects[i], Binding<bool>::to(effectStates[i]), ImVec2(toggleX, leftY),
                                      environment, effects[i].text.c_str());
    layout_[effects[i].text] = taken;
    toggleX += taken.width + 0.01f * W;
  }
  float rightY = y;
  for (SliderRow& row : right) {
    panel::Rect frame{rightX, rightY, contentWidth, sliderHeight};
    SliderView(row.binding, row.range, row.title, usable, row.action).body(frame, environment, row.title);
    layout_[row.title] = frame;
    rightY += sliderHeight;
  }
  noticeToggleChanges();
  y += columnHeight + spacing + 0.1f * H + spacing;

  // Row 4: the transport and the special button.
  drawTransport(W, H, panel::Rect{cx - 0.35f * W, y, 0.7f * W, 0.08f * H}, environment);

  // Close layer, on top: the top trailing corner.
  drawCloseButton(W, proxy, environment);
}

void ControlsView::drawTransport(float W, float H, panel::Rect row, const panel::Environment& environment) {
  const float midY = row.midY();
  const float side = 0.05f * W;
  const float height = 0.05f * H;
  float x = row.x + (0.35f * W - (3 * side + 2 * 0.03f * W)) / 2;
  struct MusicButton {
    const char* role;
    panel::Symbol symbol;
    float symbolSize;  // headline or title3
    void (ControlsView::*action)();
  };
  const MusicButton buttons[] = {
      {"previous", panel::Symbol::backwardFill, 17, &ControlsView::previousTrackAction},
      {"playPause", isPlaying ? panel::Symbol::pauseFill : panel::Symbol::playFill, 20, &ControlsView::playPauseAction},
      {"next", panel::Symbol::forwardFill, 17, &ControlsView::nextTrackAction},
  };
  for (const MusicButton& b : buttons) {
    panel::Rect frame{x, midY - height / 2, side, height};
    layout_[b.role] = frame;
    bool pressed = panel::button(b.role, frame);
    panel::drawSymbol(b.symbol, ImVec2(frame.midX(), frame.midY()), std::min(b.symbolSize, std::max(height, side)),
                      panel::kWhite);
    if (pressed) (this->*b.action)();
    x += side + 0.03f * W;
  }

  // The special button hugs its label, centred in the right 0.35 W.
  const float fontSize = 0.025f * W;
  const std::string title = specialButtonTitle(settingsOpenCount);
  ImVec2 text = panel::textSize(environment.fonts->regular(), fontSize, title);
  const float labelWidth = fontSize + kDefaultSpacing + text.x;
  const float labelHeight = std::max(fontSize, text.y);
  panel::Rect frame{row.maxX() - 0.35f * W / 2 - (labelWidth + 0.02f * W) / 2,
                    midY - (labelHeight + 0.02f * H) / 2, labelWidth + 0.02f * W, labelHeight + 0.02f * H};
  layout_["special"] = frame;
  bool tapped = panel::button("special", frame);
  ImDrawList* list = ImGui::GetWindowDrawList();
  list->AddRectFilled(ImVec2(frame.x, frame.y), ImVec2(frame.maxX(), frame.maxY()), panel::rgba(0, 122, 255, 0.8f), 8);
  float labelX = frame.x + 0.01f * W;
  panel::drawSymbol(panel::Symbol::squareAndArrowDownFill, ImVec2(labelX + fontSize / 2, midY), fontSize,
                    panel::kWhite);
  panel::drawText(environment.fonts->regular(), fontSize, ImVec2(labelX + fontSize + kDefaultSpacing, midY - text.y / 2),
                  panel::kWhite, title);
  if (tapped && closures_.onSpecialButtonTap) closures_.onSpecialButtonTap();
}

void ControlsView::drawCloseButton(float W, panel::Rect proxy, const panel::Environment& environment) {
  const bool pad = environment.idiom == panel::Idiom::pad;
  const std::string path = environment.resourcePath +
                           (pad ? "/toResource/toiPad/hahaclose2.png" : "/toResource/toiPhone/hahaclose.png");
  std::shared_ptr<const panel::Image> image = panel::imageWithContentsOfFile(path);
  closeShowsImage_ = image != nullptr;
  float side = 0;
  ImVec2 text;
  if (image) {
    side = pad ? 70.0f : 55.0f;
  } else {
    text = panel::textSize(environment.fonts->bold(), 20, "X");
  }
  const float width = image ? side : text.x;
  const float height = image ? side : text.y;
  panel::Rect frame{proxy.maxX() - 0.01f * W - width, proxy.y, width, height};
  layout_["close"] = frame;
  bool tapped = panel::button("close", frame);
  if (image) {
    // Not resizable: the image keeps its own size, fitted and centred in the frame.
    float scale = std::min({1.0f, side * panel::Image::kScale / static_cast<float>(image->width),
                            side * panel::Image::kScale / static_cast<float>(image->height)});
    float w = image->width / panel::Image::kScale * scale;
    float h = image->height / panel::Image::kScale * scale;
    ImTextureID texture = environment.textures ? environment.textures->texture(*image) : ImTextureID{};
    if (texture) {
      ImGui::GetWindowDrawList()->AddImage(texture, ImVec2(frame.midX() - w / 2, frame.midY() - h / 2),
                                           ImVec2(frame.midX() + w / 2, frame.midY() + h / 2));
    }
  } else {
    panel::drawText(environment.fonts->bold(), 20, ImVec2(frame.x, frame.y), panel::kWhite, "X");
  }
  if (tapped && closures_.onClose) closures_.onClose();
}
