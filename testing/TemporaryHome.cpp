#include "testing/TemporaryHome.h"

#include <cstdlib>
#include <stdexcept>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Files.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

namespace testkit {

TemporaryHome::TemporaryHome() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolv-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary home");
  root_ = pattern;
  foundation::Paths::setHome(dataHome());
  foundation::Paths::setKeychainDirectory(keychainDirectory());
  foundation::Paths::setResourcesDirectory(bundleDirectory());
  (void)foundation::createDirectory(bundleDirectory());
  relaunch();
}

TemporaryHome::~TemporaryHome() {
  foundation::Paths::setHome("");
  foundation::Paths::setKeychainDirectory("");
  foundation::Paths::setResourcesDirectory("");
  relaunch();
  (void)foundation::removeItem(root_);
}

void TemporaryHome::setInfoPlist(const foundation::Dictionary& info) {
  auto written = foundation::writePropertyListFile(bundleDirectory() + "/Info.plist", foundation::Object(info));
  if (!written) throw std::runtime_error(written.error().description);
  foundation::Bundle::setMain(nullptr);
  foundation::UserDefaults::resetAll();
}

void TemporaryHome::relaunch() {
  foundation::UserDefaults::resetAll();
  foundation::Bundle::setMain(nullptr);
}

void TemporaryHome::exportToEnvironment() const {
  ::setenv("TOLV_HOME", dataHome().c_str(), 1);
  ::setenv("TOLV_KEYCHAIN_HOME", keychainDirectory().c_str(), 1);
  ::setenv("TOLV_RESOURCES", bundleDirectory().c_str(), 1);
  ::unsetenv("TOLV_ENDPOINTS_FILE");
}

}  // namespace testkit
