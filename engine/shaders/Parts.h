// Pieces the shader texts share: each text is assembled whole from them at
// first use, the way each original carries its own copy.
#pragma once

#include <string>

namespace shaders {

// "#version" line and the quad vertex layout (VertexInOut2, 32 bytes).
std::string header();

// A full-screen vertex function named `name`: position (x, y, 1, 1) and the
// stored texture coordinate, read from vertex buffer 0 by vertex index.
std::string quadVertex(const char* name);

// fluid_bloom_vertex: the quad plus the four neighbours one texelSize away
// (vertex bytes 1: UniformBloomVertex).
std::string bloomVertex();

// The start of a fragment entry `name` (its marker with any options, such as
// "repeat=0"), its #ifdef, the interpolated texcoord and the colour output.
// Close it with fragmentEnd().
std::string fragmentBegin(const char* name, const char* options = "");
std::string fragmentEnd();

}  // namespace shaders
