// tolv: the fluid toy. Without arguments it opens its window; on a machine
// without a display it says so and runs a short headless demo instead.
// `tolv --headless ...` runs headless (see app/headless.h).
#include <cstdio>
#include <string>
#include <vector>

#include "app/Storyboard.h"
#include "app/headless.h"

namespace {

int runHeadless(const std::vector<std::string>& args) {
  auto options = app::parseHeadless(args);
  if (!options.ok()) {
    std::fprintf(stderr, "tolv: %s\n", std::string(options.error().description).c_str());
    return 2;
  }
  foundation::Status status = app::runHeadless(*options);
  if (!status.ok()) {
    std::fprintf(stderr, "tolv: %s\n", std::string(status.error().description).c_str());
    return 1;
  }
  return 0;
}

const std::vector<std::string> kDemo = {"--headless", "--size", "640x360", "--frames", "120", "--drag",
                                        "60,180:580,200"};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty()) {
    if (args[0] != "--headless") {
      std::fprintf(stderr,
                   "usage: tolv\n"
                   "       tolv --headless --size WxH --frames N [--drag X0,Y0:X1,Y1]... [--screenshot FILE.png]\n");
      return 2;
    }
    return runHeadless(args);
  }
  std::string why;
  if (!ui::displayAvailable(&why)) {
    std::printf("tolv: no display (%s); running a short headless demo instead (120 frames on 640x360, one stroke)\n",
                why.c_str());
    return runHeadless(kDemo);
  }
  foundation::Result<int> status = app::runWindowed();
  if (!status.ok()) {
    std::fprintf(stderr, "tolv: %s\n", status.error().description.c_str());
    return 1;
  }
  return *status;
}
