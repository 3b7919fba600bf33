// Text for the panel: DejaVu Sans, regular and bold, baked into the ImGui font
// atlas at one size chosen from the window and drawn at any size from it. The
// atlas is rebuilt when the window grows or shrinks past the baked size; the
// renderer must then upload the atlas texture again.
#pragma once

#include <imgui.h>

#include <string>

namespace panel {

class Fonts {
 public:
  static constexpr const char* kRegularPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  static constexpr const char* kBoldPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

  // The pixel size to bake for a window `width` points wide at `scale` pixels per point.
  static float bakeSizeFor(float width, float scale);

  // True when the current atlas does not suit the window.
  bool needsRebuild(float width, float scale) const;
  // Rebuilds the current context's atlas. Returns false (and uses ImGui's own
  // font) when a DejaVu file cannot be read; the error names the file.
  bool rebuild(float width, float scale, std::string* error = nullptr);

  ImFont* regular() const { return regular_; }
  ImFont* bold() const { return bold_; }
  float bakedSize() const { return bakedSize_; }

 private:
  ImFont* regular_ = nullptr;
  ImFont* bold_ = nullptr;
  float bakedSize_ = 0;
};

// Draws `text` with its top-left corner at `position`, `size` points high.
void drawText(ImFont* font, float size, ImVec2 position, ImU32 colour, const std::string& text);
ImVec2 textSize(ImFont* font, float size, const std::string& text);

}  // namespace panel
