// The headless run of the program, for tests and for people:
//   tolv --headless --size WxH --frames N [--drag X0,Y0:X1,Y1]... [--screenshot FILE.png]
// runs N frames on an offscreen drawable of W x H pixels. Each --drag is a
// straight finger stroke in drawable pixels (origin top-left) spread over the
// frames, all drags at once as separate fingers, fed through the touch store
// the window uses. --screenshot writes the last frame as PNG.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/StarRenderer.h"
#include "engine/simd.h"
#include "platform/foundation/Error.h"

namespace app {

struct Drag {
  float2 from, to;
};

struct HeadlessOptions {
  int width = 0;
  int height = 0;
  int frames = 0;
  std::vector<Drag> drags;
  std::optional<std::string> screenshot;
};

// Parses the arguments after the program name; "--headless" must be first.
foundation::Result<HeadlessOptions> parseHeadless(const std::vector<std::string>& args);

// The renderer of a headless run: the application's first-launch settings,
// and a frame clock that reads the given time (set to now here).
std::unique_ptr<StarRenderer> makeHeadlessRenderer(std::shared_ptr<gpu::Device> device,
                                                   std::shared_ptr<std::uint64_t> clock);

// Runs the frames with the application's first-launch settings; the frame
// clock advances 16 ms per frame so a run looks the same whatever the
// machine's speed. Returns an error (nothing written)
// when the GPU context or the screenshot fails.
foundation::Status runHeadless(const HeadlessOptions& options);

}  // namespace app
