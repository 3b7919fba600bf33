// Image textures for ImGui's OpenGL 3 renderer. Needs a current GL context;
// textures live as long as this object.
#pragma once

#include <map>

#include "platform/panel/image.h"

namespace panel {

class GlTextures : public ImageTextures {
 public:
  GlTextures() = default;
  ~GlTextures() override;
  GlTextures(const GlTextures&) = delete;
  GlTextures& operator=(const GlTextures&) = delete;

  ImTextureID texture(const Image& image) override;

 private:
  std::map<const Image*, unsigned> textures_;
};

}  // namespace panel
