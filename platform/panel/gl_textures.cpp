#include "platform/panel/gl_textures.h"

#include <epoxy/gl.h>

#include <cstdint>

namespace panel {

GlTextures::~GlTextures() {
  for (auto& [image, name] : textures_) glDeleteTextures(1, &name);
}

ImTextureID GlTextures::texture(const Image& image) {
  auto found = textures_.find(&image);
  if (found != textures_.end()) return reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(found->second));
  GLuint name = 0;
  glGenTextures(1, &name);
  if (name == 0) return ImTextureID{};
  glBindTexture(GL_TEXTURE_2D, name);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, image.width, image.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, image.rgba.data());
  textures_.emplace(&image, name);
  return reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(name));
}

}  // namespace panel
