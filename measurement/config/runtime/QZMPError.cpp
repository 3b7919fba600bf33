#include "measurement/config/runtime/QZMPError.h"

#include <utility>

void QZMPError::set(QZMPGlintErrorCode code) {
  if (!error_) error_.emplace(kQZMPGlintErrorDomain, code, std::string());
}

void QZMPError::set(QZMPEditingErrorCode code) {
  if (!error_) error_.emplace(kQZMPEditingErrorDomain, code, std::string());
}

void QZMPError::set(foundation::Error error) {
  if (!error_) error_ = std::move(error);
}

bool QZMPError::is(QZMPGlintErrorCode code) const {
  return error_ && error_->code == code && error_->domain == kQZMPGlintErrorDomain;
}

bool QZMPError::is(QZMPEditingErrorCode code) const {
  return error_ && error_->code == code && error_->domain == kQZMPEditingErrorDomain;
}
