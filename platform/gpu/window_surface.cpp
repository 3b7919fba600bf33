#include "platform/gpu/window_surface.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <epoxy/gl.h>
#include <link.h>

#include <string>
#include <vector>

#include "absl/strings/str_cat.h"

namespace gpu {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// The GL driver that SDL unloads as it quits leaves allocations behind; kept
// mapped, the leak checker can name its library, and the suppressions hold.
void keepLoadedLibrariesMapped() {
  std::vector<std::string> paths;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* found) {
        if (info->dlpi_name && *info->dlpi_name) static_cast<std::vector<std::string>*>(found)->push_back(info->dlpi_name);
        return 0;
      },
      &paths);
  for (const std::string& path : paths) (void)dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}
#else
void keepLoadedLibrariesMapped() {}
#endif

}  // namespace

void WindowSurface::prepareWindowAttributes() {
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 4);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 5);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
  SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
  SDL_GL_SetAttribute(SDL_GL_FRAMEBUFFER_SRGB_CAPABLE, 0);
}

foundation::Result<std::unique_ptr<WindowSurface>> WindowSurface::create(SDL_Window* window) {
  if (window == nullptr) return error(ErrorCode::invalid, "no window");
  SDL_GLContext context = SDL_GL_CreateContext(window);
  if (context == nullptr) return error(ErrorCode::unavailable, absl::StrCat("no GL context: ", SDL_GetError()));
  if (SDL_GL_MakeCurrent(window, context) != 0) {
    SDL_GL_DeleteContext(context);
    return error(ErrorCode::unavailable, absl::StrCat("SDL_GL_MakeCurrent failed: ", SDL_GetError()));
  }
  keepLoadedLibrariesMapped();
  auto device = Device::create([context] { SDL_GL_DeleteContext(context); });
  if (!device.ok()) return device.error();

  std::unique_ptr<WindowSurface> surface(new WindowSurface());
  surface->window_ = window;
  surface->device_ = std::move(device).value();
  surface->drawable_.show_ = [surface = surface.get()](Texture& t) {
    const auto w = static_cast<GLint>(t.width()), h = static_cast<GLint>(t.height());
    const auto windowWidth = static_cast<GLint>(surface->width()), windowHeight = static_cast<GLint>(surface->height());
    // Row 0 (the top) goes to the window's top edge, which is GL's last row.
    // A drawable fitted within the GPU's limit is stretched over the window.
    const bool sameSize = w == windowWidth && h == windowHeight;
    glBlitNamedFramebuffer(t.glFramebuffer(), 0, 0, 0, w, h, 0, windowHeight, windowWidth, 0, GL_COLOR_BUFFER_BIT,
                           sameSize ? GL_NEAREST : GL_LINEAR);
  };
  surface->currentDrawable();
  return surface;
}

WindowSurface::~WindowSurface() { drawable_.texture_.reset(); }

std::size_t WindowSurface::width() const {
  int w = 0, h = 0;
  SDL_GL_GetDrawableSize(window_, &w, &h);
  return static_cast<std::size_t>(w > 0 ? w : 1);
}

std::size_t WindowSurface::height() const {
  int w = 0, h = 0;
  SDL_GL_GetDrawableSize(window_, &w, &h);
  return static_cast<std::size_t>(h > 0 ? h : 1);
}

SurfaceDrawable* WindowSurface::currentDrawable() {
  const Extent size = fitWithin(Extent{width(), height()}, device_->maxRenderTargetSize());
  if (!drawable_.texture_ || drawable_.texture_->width() != size.width || drawable_.texture_->height() != size.height) {
    drawable_.texture_ = device_->newTexture(PixelFormat::RGBA8Unorm, size.width, size.height);
  }
  return &drawable_;
}

void WindowSurface::swapBuffers() { SDL_GL_SwapWindow(window_); }

}  // namespace gpu
