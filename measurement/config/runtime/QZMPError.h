// The interpreter's two error domains and the out-parameter every runtime
// operation reports through. A failing operation sets the error and returns
// a neutral value (undefined, NaN, false, the empty string); callers stop at
// the first error they see, so the first one set is the one kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

inline constexpr const char* kQZMPGlintErrorDomain = "com.dralix.dxv.measurement.glint.ErrorDomain";
inline constexpr const char* kQZMPEditingErrorDomain = "com.dralix.dxv.measurement.glint.editing.ErrorDomain";

// Codes of the glint domain.
enum QZMPGlintErrorCode : std::int64_t {
  QZMPGlintErrorUndeclaredName = 2,
  QZMPGlintErrorNoBooleanConversion = 3,
  QZMPGlintErrorNoNumberConversion = 4,
  QZMPGlintErrorNoStringConversion = 5,
  QZMPGlintErrorPropertyOfNothing = 6,
  QZMPGlintErrorMethodOfNothing = 7,
  QZMPGlintErrorReduceOfEmpty = 8,
  QZMPGlintErrorArgumentCount = 9,
  QZMPGlintErrorArgumentKind = 10,
  QZMPGlintErrorInvalidLength = 11,
  QZMPGlintErrorEntityType = 12,
  QZMPGlintErrorHostObjectKind = 13,
  QZMPGlintErrorNoCommandName = 14,
  QZMPGlintErrorNoModule = 15,
  QZMPGlintErrorNotIterable = 16,
  QZMPGlintErrorNoSuchMethod = 17,
  QZMPGlintErrorInstructionLimit = 18,
  // Nesting deeper than the runtime follows (evaluation, entities, host
  // objects, string conversion, equality), or a value that contains itself
  // where it must be written out.
  QZMPGlintErrorTooDeep = 19,
  // A string or an array would outgrow its size cap, or a program keeps more
  // memory between events than its budget.
  QZMPGlintErrorTooLarge = 20,
};

// Codes of the editing domain.
enum QZMPEditingErrorCode : std::int64_t {
  QZMPEditingErrorNoRuleType = 2,
  QZMPEditingErrorUnknownRuleType = 3,
  QZMPEditingErrorTooManyCallbacks = 4,
  QZMPEditingErrorEndsInControl = 5,
  QZMPEditingErrorActivityNotMap = 6,
  QZMPEditingErrorRuleNotFunction = 7,
};

class QZMPError {
 public:
  QZMPError() = default;

  bool isSet() const { return error_.has_value(); }
  explicit operator bool() const { return isSet(); }

  // Each keeps an error already set.
  void set(QZMPGlintErrorCode code);
  void set(QZMPEditingErrorCode code);
  void set(foundation::Error error);

  // Valid only when set.
  const foundation::Error& error() const { return *error_; }
  std::int64_t code() const { return error_->code; }
  const std::string& domain() const { return error_->domain; }
  bool is(QZMPGlintErrorCode code) const;
  bool is(QZMPEditingErrorCode code) const;

  void clear() { error_.reset(); }

 private:
  std::optional<foundation::Error> error_;
};
