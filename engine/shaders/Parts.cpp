#include "engine/shaders/Parts.h"

namespace shaders {

std::string header() {
  return R"(#version 450 core
struct VertexInOut2 {
  vec4 position;
  vec2 texcoord;
};
)";
}

std::string quadVertex(const char* name) {
  return std::string("//@ vertex ") + name + "\n#ifdef " + name + R"(_entry
layout(std430, binding = 0) readonly buffer Vertices { VertexInOut2 vertices[]; };
layout(location = 0) out vec2 texcoord;
void main() {
  VertexInOut2 v = vertices[gl_VertexID];
  gl_Position = vec4(v.position.xy, 1.0, 1.0);
  texcoord = v.texcoord;
}
#endif
)";
}

std::string bloomVertex() {
  return R"(//@ vertex fluid_bloom_vertex
#ifdef fluid_bloom_vertex_entry
layout(std430, binding = 0) readonly buffer Vertices { VertexInOut2 vertices[]; };
layout(std140, binding = GPU_VERTEX_BYTES + 1) uniform UniformBloomVertex { vec2 texelSize; } vertexUniform;
layout(location = 0) out vec2 texcoord;
layout(location = 1) out vec2 vL;
layout(location = 2) out vec2 vR;
layout(location = 3) out vec2 vT;
layout(location = 4) out vec2 vB;
void main() {
  VertexInOut2 v = vertices[gl_VertexID];
  gl_Position = vec4(v.position.xy, 1.0, 1.0);
  texcoord = v.texcoord;
  vec2 texelSize = vertexUniform.texelSize;
  vL = texcoord - vec2(texelSize.x, 0.0);
  vR = texcoord + vec2(texelSize.x, 0.0);
  vT = texcoord + vec2(0.0, texelSize.y);
  vB = texcoord - vec2(0.0, texelSize.y);
}
#endif
)";
}

std::string fragmentBegin(const char* name, const char* options) {
  return std::string("//@ fragment ") + name + " " + options + "\n#ifdef " + name + R"(_entry
layout(location = 0) in vec2 texcoord;
layout(location = 0) out vec4 fragColor;
)";
}

std::string fragmentEnd() { return "#endif\n"; }

}  // namespace shaders
