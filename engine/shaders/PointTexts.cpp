// Texts A, S and T: the point sprites, the line kernel and the line draw.
#include "engine/shaders/Parts.h"
#include "engine/shaders/Shaders.h"

namespace shaders {

const std::string& pointText() {
  static const std::string text = R"(#version 450 core
//@ vertex vireon_particle_vertex
//@ fragment vireon_particle_fragment
#ifdef vireon_particle_vertex_entry
layout(std430, binding = 0) readonly buffer Positions { vec2 positions[]; };
layout(std430, binding = 1) readonly buffer Colors { vec4 colors[]; };
layout(std430, binding = 2) readonly buffer Radii { float radii[]; };
layout(std140, binding = GPU_VERTEX_BYTES + 3) uniform UniformVireonPoint { mat4 finalM; float screen_size; };
layout(location = 0) out vec4 color;
void main() {
  gl_Position = finalM * vec4(positions[gl_VertexID], 0.0, 1.0);
  color = colors[gl_VertexID];
  gl_PointSize = radii[gl_VertexID] * screen_size;
}
#endif
#ifdef vireon_particle_fragment_entry
layout(location = 0) in vec4 color;
layout(location = 0) out vec4 fragColor;
void main() {
  const float rad = 0.9;
  const float thick = 0.1;
  vec2 coord = gl_PointCoord * 2.0 - 1.0;
  float len = length(coord);
  float shape = smoothstep(len, len + 0.5, rad + thick);
  fragColor = color * shape;
}
#endif
)";
  return text;
}

const std::string& lineMoveText() {
  static const std::string text = R"(#version 450 core
//@ kernel vireon_line_move_compute
#ifdef vireon_line_move_compute_entry
layout(local_size_x = 1024) in;
struct ComputeOut {
  vec4 position;
  vec4 color;
  vec3 normal;
};
layout(std430, binding = 0) buffer LinePosition { vec4 line_position[]; };
layout(std430, binding = 1) buffer LineColor { vec4 line_color[]; };
layout(std430, binding = 2) buffer LinePower { vec4 line_power[]; };
layout(std430, binding = 3) buffer TriangleOut { ComputeOut triangle_out[]; };
layout(std140, binding = GPU_COMPUTE_BYTES + 4) uniform UniformVireonLine {
  vec2 star_rect;
  int num_group_limit;
  float star_hypo;
  float line_width_half;
  float now_tick;
  float fade;
  float damping;
};
layout(binding = 0) uniform sampler2D velocity_texture;
layout(binding = 1) uniform sampler2D color_texture;

vec2 random2d(vec2 p) {
  return fract(sin(vec2(dot(p, vec2(127.1, 311.7)), dot(p, vec2(269.5, 183.3)))) * 43758.5453);
}

// Bounce off the drawable's edges: power is in texture orientation (y down),
// positions grow upwards.
vec2 updatePowerOnScreen(vec2 head, vec2 power) {
  vec2 next = vec2(head.x + power.x, head.y - power.y);
  if (next.x < 0.0 || next.x > star_rect.x) power.x = -power.x;
  if (next.y < 0.0 || next.y > star_rect.y) power.y = -power.y;
  return power;
}

vec2 safe_norm(vec2 v) {
  vec2 n = v / length(v);
  if (any(isinf(n)) || any(isnan(n))) return vec2(0.0);
  return n;
}

void main() {
  uint i = gl_GlobalInvocationID.x;
  if (int(i) < num_group_limit) {
    vec2 head = line_position[2 * i].xy;
    vec2 tail = head;
    vec2 power = line_power[i].xy * damping;
    vec2 uv = vec2(head.x / star_rect.x, 1.0 - head.y / star_rect.y);

    vec2 velocity = textureLod(velocity_texture, uv, 0.0).xy;
    if (isnan(velocity.x) || isnan(velocity.y)) velocity = vec2(0.0);
    power += velocity * (star_hypo / 320000.0) * (now_tick / 16.0);
    power = updatePowerOnScreen(head, power);

    if (length(power) < 2.0) {
      vec2 r = random2d(head + float(i) * 0.01) * 912345.237;
      head = vec2(float(int(r.x) % int(star_rect.x)), float(int(r.y) % int(star_rect.y)));
      tail = head;
    } else {
      head += vec2(power.x, -power.y);
    }

    vec4 color = line_color[2 * i];
    vec3 target = textureLod(color_texture, uv, 0.0).rgb;
    if (any(isnan(target))) target = vec3(0.0);
    float t = now_tick * 0.0005;
    color.rgb = (1.0 - t) * color.rgb + t * target;
    color.a = 1.0;

    vec2 diff = head - tail;
    vec2 n = safe_norm(vec2(-diff.y, diff.x));
    float w = line_width_half;
    vec2 vtx1 = head + n * w;
    vec2 vtx2 = head - n * w;
    vec2 vtx3 = tail + n * w;
    vec2 vtx4 = tail - n * w;

    line_position[2 * i].xy = head;
    line_position[2 * i + 1].xy = tail;
    line_power[i].xy = power;
    line_color[2 * i] = color;
    line_color[2 * i + 1] = color;
    uint o = 6 * i;
    triangle_out[o + 0].position.xy = vtx1;
    triangle_out[o + 1].position.xy = vtx2;
    triangle_out[o + 2].position.xy = vtx3;
    triangle_out[o + 3].position.xy = vtx2;
    triangle_out[o + 4].position.xy = vtx3;
    triangle_out[o + 5].position.xy = vtx4;
    triangle_out[o + 0].color = color;
    triangle_out[o + 1].color = color;
    triangle_out[o + 2].color = color * fade;
    triangle_out[o + 3].color = color;
    triangle_out[o + 4].color = color * fade;
    triangle_out[o + 5].color = color * fade;
  }
  memoryBarrierBuffer();
  barrier();
}
#endif
)";
  return text;
}

const std::string& lineText() {
  static const std::string text = R"(#version 450 core
//@ vertex line_vertex
//@ fragment line_fragment
#ifdef line_vertex_entry
struct VertexInOut {
  vec4 position;
  vec4 color;
  vec3 normal;
};
layout(std430, binding = 0) readonly buffer Vertices { VertexInOut vertices[]; };
layout(std140, binding = GPU_VERTEX_BYTES + 1) uniform LineMatrix { mat4 finalM; };
layout(location = 0) out vec4 color;
void main() {
  VertexInOut v = vertices[gl_VertexID];
  gl_Position = finalM * vec4(v.position.xy, 0.0, 1.0);
  color = v.color;
}
#endif
#ifdef line_fragment_entry
layout(location = 0) in vec4 color;
layout(location = 0) out vec4 fragColor;
void main() { fragColor = vec4(color.rgb, 1.0); }
#endif
)";
  return text;
}

}  // namespace shaders
