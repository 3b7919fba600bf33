#include "platform/utilities/DRKAppEnvironmentUtil.h"

#include "platform/foundation/ProcessInfo.h"

std::string DRKAppEnvironmentUtil::deviceModel() { return foundation::Device::model(); }
std::string DRKAppEnvironmentUtil::systemVersion() { return foundation::Device::systemVersion(); }
