// Until the GPU layer lands, the program runs the engine's model headless:
// one finger strokes across a 640x360 drawable for two seconds of frames.
#include <cstdio>
#include <memory>

#include "engine/VireonVertex.h"

namespace {

class HeadlessModel : public VireonVertex {
 public:
  HeadlessModel() {
    createModelBuffers([](std::size_t n) { return std::make_shared<gpu::Buffer>(n); });
  }
  bool UpdateMetalComputePreps() override { return true; }
};

}  // namespace

int main() {
  HeadlessModel model;
  model.reset(640, 360);
  float2 point(40, 180);
  model.touch->began(&point, 1);
  int strokePoints = 0;
  for (int frame = 0; frame < 120; ++frame) {
    float2 previous = point;
    point.x += 4.5f;
    model.touch->moved(&point, &previous, 1);
    model.update();
    strokePoints += model.fluid_interpolated_num_;
  }
  std::printf("tolv: 120 frames on 640x360, %d particles, %d stroke points\n", model.particleNum, strokePoints);
  return 0;
}
