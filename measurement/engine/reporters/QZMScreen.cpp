#include "measurement/engine/reporters/QZMScreen.h"

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMDataTypeValidator.h"

std::shared_ptr<const QZMScreen> QZMScreen::initWithName(std::optional<std::string> name,
                                                         std::optional<std::string> className,
                                                         std::int64_t instanceID) {
  return std::make_shared<const QZMScreen>(std::move(name), std::move(className), instanceID, false, false, 0);
}

std::shared_ptr<const QZMScreen> QZMScreen::manuallySet(std::optional<std::string> name,
                                                        std::optional<std::string> className,
                                                        std::int64_t instanceID) {
  return std::make_shared<const QZMScreen>(std::move(name), std::move(className), instanceID, true, false, 0);
}

std::shared_ptr<const QZMScreen> QZMScreen::manuallyTracked(std::optional<std::string> name,
                                                            std::optional<std::string> className,
                                                            std::int64_t instanceID, double eventTimestamp) {
  return std::make_shared<const QZMScreen>(std::move(name), std::move(className), instanceID, false, true,
                                           eventTimestamp);
}

std::shared_ptr<const QZMScreen> QZMScreen::copy() const { return initWithName(name_, className_, instanceID_); }

QZMDictionary QZMScreen::screenParameters() const {
  QZMDictionary parameters{{"_si", instanceID_}};
  if (!className_ || className_->empty()) {
    QZMMeasurementBase::monitor()->logWithLevel(3, 31014, "Screen class name is empty");
    return parameters;
  }
  QZMValidationFailureCode failure{};
  if (!QZMDataTypeValidator::isValidScreenParameterValue(*className_, &failure)) {
    QZMMeasurementBase::monitor()->logWithLevel(3, 31015, "Screen class name is invalid. Error code", static_cast<std::int64_t>(failure));
    return parameters;
  }
  parameters.emplace("_sc", *className_);
  if (name_ && QZMDataTypeValidator::isValidScreenParameterValue(*name_)) parameters.emplace("_sn", *name_);
  return parameters;
}

std::string QZMStrippedClassName(const std::string& className) {
  std::size_t dot = className.rfind('.');
  if (dot == std::string::npos || dot + 1 == className.size()) return className;
  return className.substr(dot + 1);
}
