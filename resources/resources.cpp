#include "resources/resources.h"

namespace resources {

const std::string& bundlePath() {
  static const std::string path = TOLV_BUNDLE_DIR;
  return path;
}

const std::string& testBundlePath() {
  static const std::string path = TOLV_TEST_BUNDLE_DIR;
  return path;
}

}  // namespace resources
