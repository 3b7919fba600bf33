// Where the build put the generated resources. Both folders hold
// toResource/music/1.mp3 ... 5.mp3 and the interface images; the test bundle's
// tracks last a fraction of a second.
#pragma once

#include <string>

namespace resources {

// The program's resource folder (the bundle's resource path).
const std::string& bundlePath();
// The same resources with short tracks, for tests.
const std::string& testBundlePath();

}  // namespace resources
