// Runs the program in its window, plays a short script on it and saves what
// the window shows as a PNG (the back buffer after the panel is drawn, just
// before it is presented). For looking at the program on a display such as
// Xvfb.
// Usage: tolv_windowshot <out.png> [--size WxH] [--frames N] [--drag] [--panel]
//   --drag   strokes the fluid from left to right over twenty frames
//   --panel  opens the control panel with the settings button
#include <SDL2/SDL.h>
#include <epoxy/gl.h>
#include <stb/stb_image_write.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Storyboard.h"

namespace {

void pushMouse(Uint32 type, int x, int y) {
  SDL_Event e{};
  e.type = type;
  if (type == SDL_MOUSEMOTION) {
    e.motion.state = SDL_BUTTON_LMASK;
    e.motion.x = x;
    e.motion.y = y;
  } else {
    e.button.button = SDL_BUTTON_LEFT;
    e.button.state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
    e.button.x = x;
    e.button.y = y;
  }
  SDL_PushEvent(&e);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <out.png> [--size WxH] [--frames N] [--drag] [--panel]\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  int width = 960, height = 600, frames = 60;
  bool drag = false, openPanel = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--drag") {
      drag = true;
    } else if (a == "--panel") {
      openPanel = true;
    } else if (a == "--frames" && i + 1 < argc) {
      frames = std::atoi(argv[++i]);
    } else if (a == "--size" && i + 1 < argc && std::sscanf(argv[++i], "%dx%d", &width, &height) == 2) {
    } else {
      std::fprintf(stderr, "tolv_windowshot: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (frames < 30 || frames > 10000 || width < 200 || height < 150 || width > 4096 || height > 4096) {
    std::fprintf(stderr, "tolv_windowshot: frames 30..10000, sizes 200x150..4096x4096\n");
    return 2;
  }

  bool written = false;
  ui::RunHooks hooks;
  hooks.windowSize = ui::Size{static_cast<double>(width), static_cast<double>(height)};
  hooks.maxFrames = frames;
  hooks.beforeEvents = [&](int frame) {
    if (drag) {
      const int first = 3, steps = 20;
      auto x = [&](int k) { return width / 8 + (width * 3 / 4) * k / steps; };
      auto y = [&](int k) { return height / 2 + static_cast<int>(height / 5 * std::sin(k * 0.4)); };
      if (frame == first) pushMouse(SDL_MOUSEBUTTONDOWN, x(0), y(0));
      if (frame > first && frame <= first + steps) pushMouse(SDL_MOUSEMOTION, x(frame - first), y(frame - first));
      if (frame == first + steps + 1) pushMouse(SDL_MOUSEBUTTONUP, x(steps), y(steps));
    }
    if (openPanel && frame == 26) pushMouse(SDL_MOUSEBUTTONDOWN, 45, 45);
    if (openPanel && frame == 27) pushMouse(SDL_MOUSEBUTTONUP, 45, 45);
  };
  hooks.beforePresent = [&](int frame) {
    if (frame != frames - 1) return;
    int w = 0, h = 0;
    SDL_GL_GetDrawableSize(SDL_GL_GetCurrentWindow(), &w, &h);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 4);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
    stbi_flip_vertically_on_write(1);
    written = stbi_write_png(out.c_str(), w, h, 4, pixels.data(), w * 4) != 0;
  };
  foundation::Result<int> status = app::runWindowed(hooks);
  if (!status.ok()) {
    std::fprintf(stderr, "tolv_windowshot: %s\n", status.error().description.c_str());
    return 1;
  }
  if (!written) {
    std::fprintf(stderr, "tolv_windowshot: could not write %s\n", out.c_str());
    return 1;
  }
  return 0;
}
