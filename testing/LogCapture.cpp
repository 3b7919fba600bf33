#include "testing/LogCapture.h"

namespace testkit {

LogCapture::LogCapture() {
  previous_ = foundation::setLogSink([this](std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  });
}

LogCapture::~LogCapture() { foundation::setLogSink(std::move(previous_)); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::contains(std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (const auto& line : lines_)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace testkit
