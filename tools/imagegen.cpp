// Draws the interface images (settings gear, close cross) in code and writes
// them as PNG. Shapes are signed distances sampled 4x4 per pixel, so edges
// are smooth at any size. Usage: tolv_imagegen <settings|close> <pixels> <out.png>
#include <stb/stb_image_write.h>

#include "platform/foundation/Files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgba {
  double r, g, b, a;
};

// A layer is a shape (negative distance inside, in units of the image side)
// filled with one colour; layers are composited back to front.
struct Layer {
  std::function<double(double, double)> distance;
  Rgba colour;
};

double circle(double x, double y, double radius) { return std::hypot(x, y) - radius; }

double segment(double x, double y, double ax, double ay, double bx, double by, double halfWidth) {
  double px = x - ax, py = y - ay, dx = bx - ax, dy = by - ay;
  double h = std::clamp((px * dx + py * dy) / (dx * dx + dy * dy), 0.0, 1.0);
  return std::hypot(px - dx * h, py - dy * h) - halfWidth;
}

double gear(double x, double y) {
  double r = std::hypot(x, y);
  double angle = std::atan2(y, x);
  // Eight teeth: the outline swings between the root and the tip radius.
  double wave = std::cos(angle * 8);
  double outer = 0.30 + 0.055 * std::clamp(wave * 3.0, -1.0, 1.0);
  double body = r - outer;
  double hole = 0.11 - r;
  return std::max(body, hole);
}

std::vector<Layer> layersFor(const std::string& kind) {
  const Rgba shade{0.0, 0.0, 0.0, 0.45};
  const Rgba white{1.0, 1.0, 1.0, 0.95};
  if (kind == "settings") {
    return {{[](double x, double y) { return circle(x, y, 0.46); }, shade}, {gear, white}};
  }
  return {
      {[](double x, double y) { return circle(x, y, 0.46); }, shade},
      {[](double x, double y) { return std::fabs(circle(x, y, 0.40)) - 0.025; }, white},
      {[](double x, double y) {
         return std::min(segment(x, y, -0.17, -0.17, 0.17, 0.17, 0.04), segment(x, y, -0.17, 0.17, 0.17, -0.17, 0.04));
       },
       white},
  };
}

std::vector<unsigned char> draw(const std::vector<Layer>& layers, int size) {
  constexpr int kSub = 4;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(size) * size * 4);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      Rgba acc{0, 0, 0, 0};  // premultiplied
      for (int sy = 0; sy < kSub; ++sy) {
        for (int sx = 0; sx < kSub; ++sx) {
          double x = (px + (sx + 0.5) / kSub) / size - 0.5;
          double y = (py + (sy + 0.5) / kSub) / size - 0.5;
          Rgba c{0, 0, 0, 0};
          for (const Layer& layer : layers) {
            if (layer.distance(x, y) > 0) continue;
            double a = layer.colour.a;
            c = {layer.colour.r * a + c.r * (1 - a), layer.colour.g * a + c.g * (1 - a),
                 layer.colour.b * a + c.b * (1 - a), a + c.a * (1 - a)};
          }
          acc = {acc.r + c.r, acc.g + c.g, acc.b + c.b, acc.a + c.a};
        }
      }
      double n = kSub * kSub;
      double alpha = acc.a / n;
      auto channel = [&](double premultiplied) {
        double straight = alpha > 0 ? premultiplied / n / alpha : 0;
        return static_cast<unsigned char>(std::lround(std::clamp(straight, 0.0, 1.0) * 255));
      };
      unsigned char* out = &pixels[(static_cast<std::size_t>(py) * size + px) * 4];
      out[0] = channel(acc.r);
      out[1] = channel(acc.g);
      out[2] = channel(acc.b);
      out[3] = static_cast<unsigned char>(std::lround(std::clamp(alpha, 0.0, 1.0) * 255));
    }
  }
  return pixels;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <settings|close> <pixels> <out.png>\n", argv[0]);
    return 2;
  }
  std::string kind = argv[1];
  int size = std::atoi(argv[2]);
  if ((kind != "settings" && kind != "close") || size < 8 || size > 1024) {
    std::fprintf(stderr, "tolv_imagegen: kind must be settings or close, size 8..1024\n");
    return 2;
  }
  std::vector<unsigned char> pixels = draw(layersFor(kind), size);
  std::string png;
  auto append = [](void* context, void* data, int length) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<std::size_t>(length));
  };
  if (!stbi_write_png_to_func(append, &png, size, size, 4, pixels.data(), size * 4) ||
      !foundation::writeFileAtomically(argv[3], png, 0644).ok()) {  // a resource, for every reader
    std::fprintf(stderr, "tolv_imagegen: could not write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
