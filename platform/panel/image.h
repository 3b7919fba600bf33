// Images read from files (PNG and the other formats stb_image reads), and the
// textures that show them. Images are kept once read; the main thread only.
#pragma once

#include <imgui.h>

#include <memory>
#include <string>
#include <vector>

namespace panel {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgba;  // straight alpha, top row first
  // Images are drawn at two pixels per point.
  static constexpr float kScale = 2.0f;
};

// The image in the file at `path`, or null when it is missing or unreadable.
std::shared_ptr<const Image> imageWithContentsOfFile(const std::string& path);

// Turns images into textures of the renderer in use.
class ImageTextures {
 public:
  virtual ~ImageTextures() = default;
  // A texture showing `image`; 0 when it cannot be made.
  virtual ImTextureID texture(const Image& image) = 0;
};

}  // namespace panel
