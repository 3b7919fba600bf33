// Collects the platform console's lines while it lives.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Log.h"

namespace testkit {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // Whether some line contains the text.
  bool contains(std::string_view text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  foundation::LogSink previous_;
};

}  // namespace testkit
