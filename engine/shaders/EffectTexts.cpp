// Texts J to R: bloom, sunrays, the pressure height and normal maps and the
// composition. Every sampler clamps to the edge.
#include "engine/shaders/Parts.h"
#include "engine/shaders/Shaders.h"

namespace shaders {
namespace {

constexpr const char* kNeighbourInputs = R"(
layout(location = 1) in vec2 vL;
layout(location = 2) in vec2 vR;
layout(location = 3) in vec2 vT;
layout(location = 4) in vec2 vB;
)";

constexpr const char* kFourTapAverage = R"(
vec4 fourTapAverage() {
  return (texture(uTexture, vL) + texture(uTexture, vR) + texture(uTexture, vT) + texture(uTexture, vB)) * 0.25;
}
)";

std::string plainText(const char* fragment, const char* body) {
  return header() + quadVertex("fluid_vertex") + fragmentBegin(fragment) + body + fragmentEnd();
}

}  // namespace

// The curve is a vec4 so that threshold follows its 16-byte slot.
const std::string& bloomPrefilterText() {
  static const std::string text = plainText("fluid_bloom_prefilter_fragment", R"(
layout(binding = 0) uniform sampler2D uTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform UniformBloomPrefilter { vec4 curve; float threshold; };
void main() {
  vec3 c = texture(uTexture, texcoord).rgb;
  float br = max(c.r, max(c.g, c.b));
  float rq = clamp(br - curve.x, 0.0, curve.y);
  rq = curve.z * rq * rq;
  c *= max(rq, br - threshold) / max(br, 0.0001);
  fragColor = vec4(c, 0.0);
}
)");
  return text;
}

const std::string& bloomBlurText() {
  static const std::string text = header() + bloomVertex() + fragmentBegin("fluid_bloom_blur_fragment") +
                                  kNeighbourInputs + "layout(binding = 0) uniform sampler2D uTexture;\n" +
                                  kFourTapAverage + "void main() { fragColor = fourTapAverage(); }\n" + fragmentEnd();
  return text;
}

const std::string& bloomFinalText() {
  static const std::string text =
      header() + bloomVertex() + fragmentBegin("fluid_bloom_final_fragment") + kNeighbourInputs +
      "layout(binding = 0) uniform sampler2D uTexture;\n"
      "layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform UniformBloomFinal { float intensity; };\n" +
      kFourTapAverage + "void main() { fragColor = fourTapAverage() * intensity; }\n" + fragmentEnd();
  return text;
}

const std::string& sunraysMaskText() {
  static const std::string text = plainText("fluid_sunrays_mask_fragment", R"(
layout(binding = 0) uniform sampler2D uTexture;
void main() {
  vec4 c = texture(uTexture, texcoord);
  float br = max(c.r, max(c.g, c.b));
  c.a = 1.0 - min(max(br * 20.0, 0.0), 0.8);
  fragColor = c;
}
)");
  return text;
}

const std::string& sunraysText() {
  static const std::string text = plainText("fluid_sunrays_fragment", R"(
layout(binding = 0) uniform sampler2D uTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform UniformSunrays { float weight; };
const int ITERATIONS = 16;
const float Density = 0.3;
const float Decay = 0.95;
const float Exposure = 0.7;
void main() {
  vec2 coord = texcoord;
  vec2 dir = (texcoord - 0.5) * (1.0 / float(ITERATIONS) * Density);
  float illuminationDecay = 1.0;
  float color = texture(uTexture, texcoord).a;
  for (int i = 0; i < ITERATIONS; ++i) {
    coord -= dir;
    color += texture(uTexture, coord).a * illuminationDecay * weight;
    illuminationDecay *= Decay;
  }
  fragColor = vec4(color * Exposure, 0.0, 0.0, 1.0);
}
)");
  return text;
}

const std::string& sunraysBlurText() {
  static const std::string text = header() + R"(//@ vertex fluid_sunrays_blur_vertex
#ifdef fluid_sunrays_blur_vertex_entry
layout(std430, binding = 0) readonly buffer Vertices { VertexInOut2 vertices[]; };
layout(std140, binding = GPU_VERTEX_BYTES + 1) uniform UniformSunraysBlur { vec2 texelSize; } vertexUniform;
layout(location = 0) out vec2 texcoord;
layout(location = 1) out vec2 vL;
layout(location = 2) out vec2 vR;
void main() {
  VertexInOut2 v = vertices[gl_VertexID];
  gl_Position = vec4(v.position.xy, 1.0, 1.0);
  texcoord = v.texcoord;
  vL = texcoord - vertexUniform.texelSize * 1.33333333;
  vR = texcoord + vertexUniform.texelSize * 1.33333333;
}
#endif
)" + fragmentBegin("fluid_sunrays_blur_fragment") + R"(
layout(location = 1) in vec2 vL;
layout(location = 2) in vec2 vR;
layout(binding = 0) uniform sampler2D uTexture;
void main() {
  fragColor = texture(uTexture, texcoord) * 0.29411764 + texture(uTexture, vL) * 0.35294117 +
              texture(uTexture, vR) * 0.35294117;
}
)" + fragmentEnd();
  return text;
}

const std::string& heightFromPressureText() {
  static const std::string text = plainText("fluid_height_from_pressure_fragment", R"(
layout(binding = 0) uniform sampler2D pressureTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform UniformHeightFromPressure { float heightScale; };
void main() {
  float p = texture(pressureTexture, texcoord).r;
  float h = clamp(p * heightScale + 0.5, 0.0, 1.0);
  fragColor = vec4(h, h, h, 1.0);
}
)");
  return text;
}

const std::string& normalFromHeightText() {
  static const std::string text = plainText("fluid_normal_from_height_fragment", R"(
layout(binding = 0) uniform sampler2D heightTexture;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform UniformNormalFromHeight { vec2 texelSize; float normalStrength; };
void main() {
  float hL = texture(heightTexture, texcoord - vec2(texelSize.x, 0.0)).r;
  float hR = texture(heightTexture, texcoord + vec2(texelSize.x, 0.0)).r;
  float hD = texture(heightTexture, texcoord - vec2(0.0, texelSize.y)).r;
  float hU = texture(heightTexture, texcoord + vec2(0.0, texelSize.y)).r;
  vec3 dx = vec3(2.0 * texelSize.x, 0.0, (hR - hL) * normalStrength);
  vec3 dy = vec3(0.0, 2.0 * texelSize.y, (hU - hD) * normalStrength);
  vec3 normal = normalize(cross(dy, dx));
  fragColor = vec4(normal * 0.5 + 0.5, 1.0);
}
)");
  return text;
}

const std::string& effectsText() {
  static const std::string text = header() + bloomVertex() + fragmentBegin("fluid_effects_fragment") +
                                  kNeighbourInputs + R"(
layout(binding = 0) uniform sampler2D uTexture;
layout(binding = 1) uniform sampler2D uBloom;
layout(binding = 2) uniform sampler2D uNoise;
layout(binding = 3) uniform sampler2D uSunrays;
layout(binding = 4) uniform sampler2D uPressureNormal;
layout(std140, binding = GPU_FRAGMENT_BYTES + 0) uniform UniformFluidEffects {
  vec2 noiseScale;
  vec2 texelSize;
  int use_shading_color;
  int use_shading_pressure;
  int use_bloom;
  int use_sunrays;
};

vec3 linearToGamma(vec3 color) {
  color = max(color, vec3(0.0));
  return max(1.055 * pow(color, vec3(0.416666667)) - 0.055, vec3(0.0));
}

void main() {
  vec3 c = texture(uTexture, texcoord).rgb;
  if (use_shading_pressure != 0) {
    vec3 n = texture(uPressureNormal, texcoord).rgb * 2.0 - 1.0;
    vec3 lightDir = normalize(vec3(1.0, 1.0, 1.0));
    float NdotL = max(dot(n, lightDir), 0.0);
    c *= linearToGamma(vec3(0.2 + 0.8 * NdotL));
  }
  if (use_shading_color != 0) {
    vec3 lc = texture(uTexture, vL).rgb;
    vec3 rc = texture(uTexture, vR).rgb;
    vec3 tc = texture(uTexture, vT).rgb;
    vec3 bc = texture(uTexture, vB).rgb;
    float dx = length(rc) - length(lc);
    float dy = length(tc) - length(bc);
    vec3 n = normalize(vec3(dx, dy, length(texelSize)));
    float diffuse = clamp(dot(n, vec3(0.0, 0.0, 1.0)) + 0.7, 0.7, 1.0);
    c *= diffuse;
  }
  vec3 bloom = vec3(0.0);
  if (use_bloom != 0) bloom = texture(uBloom, texcoord).rgb;
  if (use_sunrays != 0) {
    float s = texture(uSunrays, texcoord).r;
    c *= s;
    if (use_bloom != 0) bloom *= s;
  }
  if (use_bloom != 0) {
    float noise = dot(texture(uNoise, mod(texcoord * noiseScale, 1.0)).rgb, vec3(0.299, 0.587, 0.114)) * 2.0 - 1.0;
    bloom += noise / 255.0;
    bloom = linearToGamma(bloom);
    c += bloom;
  }
  float a = max(c.r, max(c.g, c.b));
  fragColor = vec4(c, a);
}
)" + fragmentEnd();
  return text;
}

}  // namespace shaders
