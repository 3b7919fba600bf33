#include "platform/panel/image.h"

#include <stb/stb_image.h>

#include <map>

namespace panel {

std::shared_ptr<const Image> imageWithContentsOfFile(const std::string& path) {
  // A failed read is remembered too, so a missing file costs one look per run.
  static std::map<std::string, std::shared_ptr<const Image>> cache;
  auto found = cache.find(path);
  if (found != cache.end()) return found->second;
  std::shared_ptr<const Image> image;
  int width = 0, height = 0, channels = 0;
  if (unsigned char* pixels = stbi_load(path.c_str(), &width, &height, &channels, 4)) {
    auto loaded = std::make_shared<Image>();
    loaded->width = width;
    loaded->height = height;
    loaded->rgba.assign(pixels, pixels + static_cast<std::size_t>(width) * height * 4);
    stbi_image_free(pixels);
    image = loaded;
  }
  cache.emplace(path, image);
  return image;
}

}  // namespace panel
