// tolv: the fluid toy. Until the window shell lands, the program runs
// headless; see app/headless.h for the arguments.
#include <cstdio>
#include <string>
#include <vector>

#include "app/headless.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::printf("tolv: no window yet; running a short headless demo (120 frames on 640x360, one stroke)\n");
    args = {"--headless", "--size", "640x360", "--frames", "120", "--drag", "60,180:580,200"};
  }
  if (args[0] != "--headless") {
    std::fprintf(stderr, "usage: tolv --headless --size WxH --frames N [--drag X0,Y0:X1,Y1]... [--screenshot FILE.png]\n");
    return 2;
  }
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
