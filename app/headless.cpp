#include "app/headless.h"

#include <stb_image_write.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>

#include "absl/strings/str_cat.h"
#include "app/FluidSettings.h"
#include "engine/StarRenderer.h"
#include "platform/gpu/surface.h"

namespace app {
namespace {

// 1: a bad argument; 2: the screenshot could not be written.
foundation::Error headlessError(int code, std::string description) {
  return foundation::Error("tolv.headless", code, std::move(description));
}

constexpr int kMaxSide = 8192;
constexpr int kMaxFrames = 1000000;
// A drag may start or end off the drawable, but not so far that the length of
// a stroke overflows a float.
constexpr int kMaxCoordinate = 1000000;

bool parseInt(std::string_view text, int& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseFloat(std::string_view text, float& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && std::fabs(out) <= kMaxCoordinate;
}

bool parsePoint(std::string_view text, float2& out) {
  std::size_t comma = text.find(',');
  return comma != std::string_view::npos && parseFloat(text.substr(0, comma), out.x) &&
         parseFloat(text.substr(comma + 1), out.y);
}

}  // namespace

foundation::Result<HeadlessOptions> parseHeadless(const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "--headless") return headlessError(1, "expected --headless first");
  HeadlessOptions o;
  bool haveSize = false, haveFrames = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (i + 1 >= args.size()) return headlessError(1, absl::StrCat(flag, " needs a value"));
    std::string_view value = args[++i];
    if (flag == "--size") {
      std::size_t x = value.find('x');
      if (x == std::string_view::npos || !parseInt(value.substr(0, x), o.width) ||
          !parseInt(value.substr(x + 1), o.height) || o.width < 1 || o.height < 1 || o.width > kMaxSide ||
          o.height > kMaxSide) {
        return headlessError(1, absl::StrCat("--size wants WxH with sides 1 to ", kMaxSide));
      }
      haveSize = true;
    } else if (flag == "--frames") {
      if (!parseInt(value, o.frames) || o.frames < 1 || o.frames > kMaxFrames) {
        return headlessError(1, absl::StrCat("--frames wants a count from 1 to ", kMaxFrames));
      }
      haveFrames = true;
    } else if (flag == "--drag") {
      std::size_t colon = value.find(':');
      Drag d;
      if (colon == std::string_view::npos || !parsePoint(value.substr(0, colon), d.from) ||
          !parsePoint(value.substr(colon + 1), d.to)) {
        return headlessError(1, absl::StrCat("--drag wants X0,Y0:X1,Y1 with coordinates within +-", kMaxCoordinate));
      }
      o.drags.push_back(d);
    } else if (flag == "--screenshot") {
      if (value.empty()) return headlessError(1, "--screenshot wants a file name");
      o.screenshot = std::string(value);
    } else {
      return headlessError(1, absl::StrCat("unknown option ", flag));
    }
  }
  if (!haveSize || !haveFrames) return headlessError(1, "--size and --frames are required");
  if (o.drags.size() > static_cast<std::size_t>(StarTouch::kSlots)) {
    return headlessError(1, absl::StrCat("at most ", StarTouch::kSlots, " drags"));
  }
  return o;
}

std::unique_ptr<StarRenderer> makeHeadlessRenderer(std::shared_ptr<gpu::Device> device,
                                                   std::shared_ptr<std::uint64_t> clock) {
  engine::Services services = engine::Services::system();
  *clock = services.steadyMillis();
  services.steadyMillis = [clock] { return *clock; };
  auto renderer = std::make_unique<StarRenderer>(std::move(device), services);
  // What a user sees at first launch, not the engine's own starting values.
  applyFluidSettings(*renderer, FluidSettings{});
  return renderer;
}

foundation::Status runHeadless(const HeadlessOptions& o) {
  auto surface = gpu::HeadlessSurface::create(o.width, o.height);
  if (!surface.ok()) return surface.error();

  auto clock = std::make_shared<std::uint64_t>(0);
  auto renderer = makeHeadlessRenderer((*surface)->device(), clock);
  renderer->drawableSizeWillChange({static_cast<std::uint64_t>(o.width), static_cast<std::uint64_t>(o.height), 0});

  // Touch points in the store's space: origin bottom-left.
  const std::size_t n = o.drags.size();
  std::vector<float2> points(n), previous(n);
  auto at = [&](int frame) {
    const float t = o.frames > 1 ? static_cast<float>(frame) / static_cast<float>(o.frames - 1) : 1.0f;
    for (std::size_t i = 0; i < n; ++i) {
      const Drag& d = o.drags[i];
      points[i] = float2(d.from.x + (d.to.x - d.from.x) * t, o.height - (d.from.y + (d.to.y - d.from.y) * t));
    }
  };

  for (int frame = 0; frame < o.frames; ++frame) {
    if (n > 0) {
      previous = points;
      at(frame);
      if (frame == 0) renderer->touch->began(points.data(), static_cast<int>(n));
      else renderer->touch->moved(points.data(), previous.data(), static_cast<int>(n));
    }
    *clock += 16;
    renderer->draw(false, (*surface)->currentDrawable(), nullptr);
  }
  if (n > 0) renderer->touch->ended(points.data(), static_cast<int>(n));

  foundation::Status result;
  if (o.screenshot) {
    std::vector<std::uint8_t> pixels = (*surface)->currentDrawable()->texture()->readBytes();
    // The picture is what a window shows: colour only.
    for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
    if (!stbi_write_png(o.screenshot->c_str(), o.width, o.height, 4, pixels.data(), o.width * 4)) {
      result = headlessError(2, absl::StrCat("cannot write ", *o.screenshot));
    }
  }
  renderer.reset();
  return result;
}

}  // namespace app
