#include "platform/gpu/surface.h"

#include <epoxy/egl.h>

#include "absl/strings/str_cat.h"

namespace gpu {

void SurfaceDrawable::present() {
  ++presented_;
  if (show_) show_(*texture_);
}

foundation::Result<std::unique_ptr<HeadlessSurface>> HeadlessSurface::create(std::size_t width, std::size_t height) {
  if (width == 0 || height == 0) return error(ErrorCode::invalid, "a surface needs a width and a height");
  // The display is the process's: it is never terminated, since other
  // surfaces may use it.
  EGLDisplay display = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (display == EGL_NO_DISPLAY) return error(ErrorCode::unavailable, "no surfaceless EGL display");
  if (!eglInitialize(display, nullptr, nullptr)) {
    return error(ErrorCode::unavailable, absl::StrCat("eglInitialize failed: 0x", absl::Hex(eglGetError())));
  }
  if (!eglBindAPI(EGL_OPENGL_API)) return error(ErrorCode::unavailable, "EGL has no desktop OpenGL");
  const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                               EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
  EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
  if (context == EGL_NO_CONTEXT) {
    return error(ErrorCode::unavailable, absl::StrCat("no OpenGL 4.5 core context: 0x", absl::Hex(eglGetError())));
  }
  if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
    eglDestroyContext(display, context);
    return error(ErrorCode::unavailable, absl::StrCat("eglMakeCurrent failed: 0x", absl::Hex(eglGetError())));
  }
  auto device = Device::create([display, context] {
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(display, context);
  });
  if (!device.ok()) return device.error();

  std::unique_ptr<HeadlessSurface> surface(new HeadlessSurface());
  surface->device_ = std::move(device).value();
  surface->resize(width, height);
  return surface;
}

HeadlessSurface::~HeadlessSurface() {
  drawable_.texture_.reset();  // before the device and its context
}

void HeadlessSurface::resize(std::size_t width, std::size_t height) {
  width_ = width;
  height_ = height;
  const Extent drawable = fitWithin(Extent{width, height}, device_->maxRenderTargetSize());
  drawable_.texture_ = device_->newTexture(PixelFormat::RGBA8Unorm, drawable.width, drawable.height);
}

}  // namespace gpu
