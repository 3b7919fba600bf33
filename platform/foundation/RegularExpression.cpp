#include "platform/foundation/RegularExpression.h"

#include <unicode/uregex.h>
#include <unicode/utypes.h>

#include "platform/foundation/Strings.h"

namespace foundation {
namespace {

Error regexError(RegularExpressionError code, const std::string& what) {
  return Error(kRegularExpressionErrorDomain, code, what);
}

}  // namespace

Result<std::shared_ptr<RegularExpression>> RegularExpression::make(std::string_view pattern, Options options) {
  auto units = toUTF16(pattern);
  if (!units) return regexError(kRegularExpressionInvalidText, "pattern is not valid UTF-8");
  UErrorCode status = U_ZERO_ERROR;
  UParseError where{};
  uint32_t flags = options.caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0;
  URegularExpression* compiled = uregex_open(reinterpret_cast<const UChar*>(units->data()),
                                             static_cast<int32_t>(units->size()), flags, &where, &status);
  if (U_FAILURE(status)) {
    if (compiled) uregex_close(compiled);
    return regexError(kRegularExpressionInvalidPattern, std::string("invalid pattern \"") + std::string(pattern) +
                                                            "\": " + u_errorName(status) + " at offset " +
                                                            std::to_string(where.offset));
  }
  return std::shared_ptr<RegularExpression>(new RegularExpression(std::string(pattern), options, compiled));
}

RegularExpression::~RegularExpression() { uregex_close(compiled_); }

Result<std::optional<RegularExpression::Match>> RegularExpression::firstMatch(std::string_view text) const {
  auto units = toUTF16(text);
  if (!units) return regexError(kRegularExpressionInvalidText, "text is not valid UTF-8");
  UErrorCode status = U_ZERO_ERROR;
  // A compiled pattern is shared; each match works on its own clone.
  std::unique_ptr<URegularExpression, decltype(&uregex_close)> matcher(uregex_clone(compiled_, &status),
                                                                       uregex_close);
  if (U_FAILURE(status)) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  uregex_setTimeLimit(matcher.get(), options_.timeLimit, &status);
  uregex_setStackLimit(matcher.get(), options_.stackLimitBytes, &status);
  uregex_setText(matcher.get(), reinterpret_cast<const UChar*>(units->data()), static_cast<int32_t>(units->size()),
                 &status);
  if (U_FAILURE(status)) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  UBool found = uregex_findNext(matcher.get(), &status);
  if (status == U_REGEX_TIME_OUT)
    return regexError(kRegularExpressionTimedOut, "pattern \"" + pattern_ + "\" ran past its time limit");
  if (status == U_REGEX_STACK_OVERFLOW)
    return regexError(kRegularExpressionTooComplex, "pattern \"" + pattern_ + "\" ran past its stack limit");
  if (U_FAILURE(status)) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  if (!found) return std::optional<Match>();
  int32_t start = uregex_start(matcher.get(), 0, &status);
  int32_t end = uregex_end(matcher.get(), 0, &status);
  if (U_FAILURE(status) || start < 0 || end < start) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  Match m;
  m.location = static_cast<std::size_t>(start);
  m.length = static_cast<std::size_t>(end - start);
  m.text = fromUTF16(std::u16string_view(units->data() + start, m.length)).value_or("");
  return std::optional<Match>(std::move(m));
}

Result<bool> RegularExpression::isFound(std::string_view text) const {
  auto match = firstMatch(text);
  if (!match) return match.error();
  return match->has_value();
}

}  // namespace foundation
