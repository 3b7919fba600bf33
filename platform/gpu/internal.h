// What the GL backend shares between its files; not part of the interface.
#pragma once

#include <cstddef>

#include "platform/gpu/buffer.h"

namespace gpu {

// A Buffer with a GL storage object behind it.
class DeviceBuffer : public Buffer {
 public:
  DeviceBuffer(std::size_t length, const void* bytes);
  ~DeviceBuffer() override;
  // Uploads what the CPU changed since the last upload.
  void upload();
  unsigned glName() const { return name_; }

 private:
  unsigned name_ = 0;
};

// Misuse of the layer is a programming error: name it and stop.
[[noreturn]] void misuse(const char* what);

#define GPU_REQUIRE(condition, what) \
  do {                               \
    if (!(condition)) ::gpu::misuse(what); \
  } while (0)

}  // namespace gpu
