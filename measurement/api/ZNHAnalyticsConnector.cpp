#include "measurement/api/ZNHAnalyticsConnector.h"

#include <memory>

namespace {

class ConnectorLibrary final : public ZNHLibrary {
 public:
  std::vector<ZNHComponent> componentsToRegister() const override {
    return ZNHAnalyticsConnector::componentsToRegister();
  }
};

}  // namespace

void ZNHAnalyticsConnector::load() {
  ZNHApp::registerInternalLibrary(std::make_shared<ConnectorLibrary>(), kZNHAnalyticsLibraryName,
                                  kZNHAnalyticsLibraryVersion);
}

std::vector<ZNHComponent> ZNHAnalyticsConnector::componentsToRegister() {
  return {ZNHComponent::componentWithProtocol(
      kZNHAnalyticsInteropProtocol, [](ZNHApp&) -> std::shared_ptr<void> { return std::make_shared<ZNHAnalyticsConnector>(); })};
}
