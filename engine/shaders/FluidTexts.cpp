// Texts B to I, U and V: the fluid step, the display copy and the fade.
// Samplers clamp to the edge unless the entry marks a slot as repeat.
#include "engine/shaders/Parts.h"
#include "engine/shaders/Shaders.h"

namespace shaders {
namespace {

// The four neighbours one texel away; v grows downwards.
constexpr const char* kNeighbours = R"(
vec2 pL() { return texcoord - vec2(texel.x, 0.0); }
vec2 pR() { return texcoord + vec2(texel.x, 0.0); }
vec2 pT() { return texcoord + vec2(0.0, texel.y); }
vec2 pB() { return texcoord - vec2(0.0, texel.y); }
)";

std::string fluidText(const char* fragment, const std::string& body) {
  return header() + quadVertex("fluid_vertex") + fragmentBegin(fragment) + body + fragmentEnd();
}

std::string advectBody() {
  return std::string(R"(
layout(binding = 0) uniform sampler2D texture0;
layout(binding = 1) uniform sampler2D texture1;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec2 size; float uDelta; float uDiffusion; };
void main() {
  vec2 vel = texture(texture1, texcoord).rg;
  vec2 coord = texcoord - uDelta * vel * size;
  vec4 result = texture(texture0, coord);
  float decay = 1.0 + uDiffusion * uDelta;
  fragColor = result / decay;
}
)");
}

}  // namespace

const std::string& colorSplatText() {
  static const std::string text = fluidText("fluid_color_fragment", R"(
layout(binding = 0) uniform sampler2D advectTexture;
layout(binding = 1) uniform sampler2D pointTexture;
void main() {
  vec3 base = texture(advectTexture, texcoord).rgb;
  vec3 splat = texture(pointTexture, texcoord).rgb;
  fragColor = vec4(base + splat, 1.0);
}
)");
  return text;
}

// All four neighbours read the x channel: that is this toy's curl.
const std::string& curlText() {
  static const std::string text = fluidText("fluid_curl_fragment", std::string(R"(
layout(binding = 0) uniform sampler2D colorTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec2 texel; };
)") + kNeighbours + R"(
void main() {
  float L = texture(colorTexture, pL()).x;
  float R = texture(colorTexture, pR()).x;
  float T = texture(colorTexture, pT()).x;
  float B = texture(colorTexture, pB()).x;
  float curl = R - L - T + B;
  fragColor = vec4(0.5 * curl, 0.0, 0.0, 1.0);
}
)");
  return text;
}

const std::string& vorticityText() {
  static const std::string text = fluidText("fluid_vorticity_fragment", std::string(R"(
layout(binding = 0) uniform sampler2D velTexture;
layout(binding = 1) uniform sampler2D curlTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec2 texel; float uVorticity; float uDelta; };
)") + kNeighbours + R"(
void main() {
  float L = texture(curlTexture, pL()).x;
  float R = texture(curlTexture, pR()).x;
  float T = texture(curlTexture, pT()).x;
  float B = texture(curlTexture, pB()).x;
  float C = texture(curlTexture, texcoord).x;
  vec2 force = 0.5 * vec2(abs(T) - abs(B), abs(R) - abs(L));
  force /= length(force) + 0.0001;
  force *= uVorticity * C;
  force.y = -force.y;
  vec2 vel = clamp(texture(velTexture, texcoord).xy, -1000.0, 1000.0);
  fragColor = vec4(vel + force * uDelta, 0.0, 1.0);
}
)");
  return text;
}

const std::string& divergenceText() {
  static const std::string text = fluidText("fluid_divergence_fragment", std::string(R"(
layout(binding = 0) uniform sampler2D velocity;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec2 texel; };
)") + kNeighbours + R"(
void main() {
  float L = texture(velocity, pL()).x;
  float R = texture(velocity, pR()).x;
  float T = texture(velocity, pT()).y;
  float B = texture(velocity, pB()).y;
  vec2 C = texture(velocity, texcoord).xy;
  // Walls: a neighbour outside the field mirrors the centre.
  if (pL().x < 0.0) L = -C.x;
  if (pR().x > 1.0) R = -C.x;
  if (pB().y < 0.0) B = -C.y;
  if (pT().y > 1.0) T = -C.y;
  float divergence = 0.5 * (R - L + T - B);
  fragColor = vec4(divergence, 0.0, 0.0, 1.0);
}
)");
  return text;
}

const std::string& pressureText() {
  static const std::string text = fluidText("fluid_pressure_fragment", std::string(R"(
layout(binding = 0) uniform sampler2D fadeTexture;
layout(binding = 1) uniform sampler2D divergenceTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec2 texel; };
)") + kNeighbours + R"(
void main() {
  float L = texture(fadeTexture, pL()).x;
  float R = texture(fadeTexture, pR()).x;
  float T = texture(fadeTexture, pT()).x;
  float B = texture(fadeTexture, pB()).x;
  float d = texture(divergenceTexture, texcoord).x;
  float pressure = (L + R + T + B - d) * 0.25;
  fragColor = vec4(pressure, 0.0, 0.0, 1.0);
}
)");
  return text;
}

const std::string& gradientText() {
  static const std::string text = fluidText("fluid_gradient_fragment", std::string(R"(
layout(binding = 0) uniform sampler2D texture0;
layout(binding = 1) uniform sampler2D texture1;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { vec2 texel; };
)") + kNeighbours + R"(
void main() {
  float L = texture(texture0, pL()).x;
  float R = texture(texture0, pR()).x;
  float T = texture(texture0, pT()).x;
  float B = texture(texture0, pB()).x;
  vec2 vel = texture(texture1, texcoord).xy;
  vel -= vec2(R - L, T - B);
  fragColor = vec4(vel, 0.0, 1.0);
}
)");
  return text;
}

const std::string& advectColorText() {
  static const std::string text = fluidText("fluid_advect_col_fragment", advectBody());
  return text;
}

const std::string& advectVelocityText() {
  static const std::string text = fluidText("fluid_advect_vel_fragment", advectBody());
  return text;
}

const std::string& displayText() {
  static const std::string text = header() + quadVertex("cube_vertex") + fragmentBegin("cube_fragment", "repeat=0") + R"(
layout(binding = 0) uniform sampler2D colorTexture;
void main() {
  fragColor = vec4(texture(colorTexture, texcoord).rgb, 1.0);
}
)" + fragmentEnd();
  return text;
}

const std::string& fadeText() {
  static const std::string text = header() + quadVertex("fade_vertex") + fragmentBegin("fade_fragment", "repeat=0") + R"(
layout(binding = 0) uniform sampler2D colorTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform Uniform { float fade; };
void main() {
  fragColor = texture(colorTexture, texcoord) * fade;
}
)" + fragmentEnd();
  return text;
}

}  // namespace shaders
