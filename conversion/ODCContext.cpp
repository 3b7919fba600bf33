#include "conversion/ODCContext.h"

#include "platform/foundation/Bundle.h"

ODCContext::ODCContext(std::shared_ptr<DRKNetwork> network, std::shared_ptr<dispatch::Queue> serialQueue,
                       std::shared_ptr<ODCConversionStore> conversionStore, ODCPSMClientFactory PSMClientFactory)
    : network_(std::move(network)),
      serialQueue_(std::move(serialQueue)),
      conversionStore_(std::move(conversionStore)),
      PSMClientFactory_(std::move(PSMClientFactory)),
      SDKVersion_(kODCSDKVersion),
      bundleID_(foundation::Bundle::main()->bundleIdentifier()),
      appVersion_(foundation::Bundle::main()->shortVersionString()) {}
