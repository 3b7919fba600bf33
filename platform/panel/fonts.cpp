#include "platform/panel/fonts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace panel {

float Fonts::bakeSizeFor(float width, float scale) {
  // The largest text is 0.025 of the width, or 20 points; steps of 4 pixels
  // keep a window that is being dragged from rebuilding at every frame.
  float points = std::max(0.025f * width, 20.0f);
  return std::ceil(points * std::max(scale, 1.0f) / 4.0f) * 4.0f;
}

bool Fonts::needsRebuild(float width, float scale) const {
  return regular_ == nullptr || bakeSizeFor(width, scale) != bakedSize_;
}

bool Fonts::rebuild(float width, float scale, std::string* error) {
  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  atlas->Clear();
  bakedSize_ = bakeSizeFor(width, scale);
  ImFontConfig config;
  config.OversampleH = 2;
  config.OversampleV = 1;
  bool ok = true;
  for (const char* path : {kRegularPath, kBoldPath}) {
    if (FILE* file = std::fopen(path, "rb")) {
      std::fclose(file);
    } else {
      if (error) *error = std::string("The font file ") + path + " cannot be read";
      ok = false;
    }
  }
  if (ok) {
    regular_ = atlas->AddFontFromFileTTF(kRegularPath, bakedSize_, &config);
    bold_ = atlas->AddFontFromFileTTF(kBoldPath, bakedSize_, &config);
    ok = regular_ && bold_;
    if (!ok && error) *error = "The DejaVu fonts could not be loaded";
  }
  if (!ok) {
    atlas->Clear();
    regular_ = bold_ = atlas->AddFontDefault();
  }
  atlas->Build();
  return ok;
}

void drawText(ImFont* font, float size, ImVec2 position, ImU32 colour, const std::string& text) {
  ImGui::GetWindowDrawList()->AddText(font, size, position, colour, text.data(), text.data() + text.size());
}

ImVec2 textSize(ImFont* font, float size, const std::string& text) {
  return font->CalcTextSizeA(size, 1e9f, 0.0f, text.data(), text.data() + text.size());
}

}  // namespace panel
