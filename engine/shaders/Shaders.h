// The engine's GPU programs: 22 GLSL texts, each a whole translation unit
// with its entry points marked for the GPU layer (see platform/gpu/gpu.h).
// Several texts carry their own copy of a full-screen vertex function, so a
// name such as fluid_vertex is an entry of many texts.
#pragma once

#include <string>

namespace shaders {

const std::string& pointText();            // A: vireon_particle_vertex, vireon_particle_fragment
const std::string& colorSplatText();       // B: fluid_vertex, fluid_color_fragment
const std::string& curlText();             // C: fluid_vertex, fluid_curl_fragment
const std::string& vorticityText();        // D: fluid_vertex, fluid_vorticity_fragment
const std::string& divergenceText();       // E: fluid_vertex, fluid_divergence_fragment
const std::string& pressureText();         // F: fluid_vertex, fluid_pressure_fragment
const std::string& gradientText();         // G: fluid_vertex, fluid_gradient_fragment
const std::string& advectColorText();      // H: fluid_vertex, fluid_advect_col_fragment
const std::string& advectVelocityText();   // I: fluid_vertex, fluid_advect_vel_fragment
const std::string& bloomPrefilterText();   // J: fluid_vertex, fluid_bloom_prefilter_fragment
const std::string& bloomBlurText();        // K: fluid_bloom_vertex, fluid_bloom_blur_fragment
const std::string& bloomFinalText();       // L: fluid_bloom_vertex, fluid_bloom_final_fragment
const std::string& sunraysMaskText();      // M: fluid_vertex, fluid_sunrays_mask_fragment
const std::string& sunraysText();          // N: fluid_vertex, fluid_sunrays_fragment
const std::string& sunraysBlurText();      // O: fluid_sunrays_blur_vertex, fluid_sunrays_blur_fragment
const std::string& heightFromPressureText();  // P: fluid_vertex, fluid_height_from_pressure_fragment
const std::string& normalFromHeightText(); // Q: fluid_vertex, fluid_normal_from_height_fragment
const std::string& effectsText();          // R: fluid_bloom_vertex, fluid_effects_fragment
const std::string& lineMoveText();         // S: vireon_line_move_compute
const std::string& lineText();             // T: line_vertex, line_fragment
const std::string& displayText();          // U: cube_vertex, cube_fragment
const std::string& fadeText();             // V: fade_vertex, fade_fragment

}  // namespace shaders
