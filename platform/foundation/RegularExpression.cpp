#include "platform/foundation/RegularExpression.h"

#include <unicode/uregex.h>
#include <unicode/utypes.h>

#include "platform/foundation/Strings.h"

namespace foundation {
namespace {

Error regexError(RegularExpressionError code, const std::string& what) {
  return Error(kRegularExpressionErrorDomain, code, what);
}

// Called by the match engine once per step; keeps the latest count.
UBool recordSteps(const void* context, int32_t steps) {
  *static_cast<int*>(const_cast<void*>(context)) = steps;
  return true;
}

// Text for messages: unpaired surrogates become U+FFFD.
std::string printable(std::u16string_view units) {
  std::u16string copy(units);
  for (std::size_t i = 0; i < copy.size(); ++i) {
    const bool high = copy[i] >= 0xD800 && copy[i] <= 0xDBFF;
    if (high && i + 1 < copy.size() && copy[i + 1] >= 0xDC00 && copy[i + 1] <= 0xDFFF) {
      ++i;
    } else if (copy[i] >= 0xD800 && copy[i] <= 0xDFFF) {
      copy[i] = 0xFFFD;
    }
  }
  return fromUTF16(copy).value_or("");
}

}  // namespace

Result<std::shared_ptr<RegularExpression>> RegularExpression::compile(std::u16string_view units, std::string pattern,
                                                                      Options options) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError where{};
  uint32_t flags = options.caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0;
  URegularExpression* compiled = uregex_open(reinterpret_cast<const UChar*>(units.data()),
                                             static_cast<int32_t>(units.size()), flags, &where, &status);
  if (U_FAILURE(status)) {
    if (compiled) uregex_close(compiled);
    return regexError(kRegularExpressionInvalidPattern, "invalid pattern \"" + pattern + "\": " +
                                                            u_errorName(status) + " at offset " +
                                                            std::to_string(where.offset));
  }
  return std::shared_ptr<RegularExpression>(new RegularExpression(std::move(pattern), options, compiled));
}

Result<std::shared_ptr<RegularExpression>> RegularExpression::make(std::string_view pattern, Options options) {
  auto units = toUTF16(pattern);
  if (!units) return regexError(kRegularExpressionInvalidText, "pattern is not valid UTF-8");
  return compile(*units, std::string(pattern), options);
}

Result<std::shared_ptr<RegularExpression>> RegularExpression::make(std::u16string_view pattern, Options options) {
  return compile(pattern, printable(pattern), options);
}

RegularExpression::~RegularExpression() { uregex_close(compiled_); }

Result<std::optional<RegularExpression::Range>> RegularExpression::firstRange(std::u16string_view text,
                                                                              int* steps) const {
  int counted = 0;
  if (steps) *steps = 0;
  UErrorCode status = U_ZERO_ERROR;
  // A compiled pattern is shared; each match works on its own clone.
  std::unique_ptr<URegularExpression, decltype(&uregex_close)> matcher(uregex_clone(compiled_, &status),
                                                                       uregex_close);
  if (U_FAILURE(status)) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  uregex_setTimeLimit(matcher.get(), options_.timeLimit, &status);
  uregex_setStackLimit(matcher.get(), options_.stackLimitBytes, &status);
  if (steps) uregex_setMatchCallback(matcher.get(), recordSteps, &counted, &status);
  uregex_setText(matcher.get(), reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()),
                 &status);
  if (U_FAILURE(status)) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  UBool found = uregex_findNext(matcher.get(), &status);
  if (steps) *steps = counted;
  if (status == U_REGEX_TIME_OUT)
    return regexError(kRegularExpressionTimedOut, "pattern \"" + pattern_ + "\" ran past its time limit");
  if (status == U_REGEX_STACK_OVERFLOW)
    return regexError(kRegularExpressionTooComplex, "pattern \"" + pattern_ + "\" ran past its stack limit");
  if (U_FAILURE(status)) return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  if (!found) return std::optional<Range>();
  int32_t start = uregex_start(matcher.get(), 0, &status);
  int32_t end = uregex_end(matcher.get(), 0, &status);
  if (U_FAILURE(status) || start < 0 || end < start) {
    return regexError(kRegularExpressionInvalidPattern, u_errorName(status));
  }
  return std::optional<Range>(Range{static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)});
}

Result<std::optional<RegularExpression::Match>> RegularExpression::firstMatch(std::string_view text) const {
  auto units = toUTF16(text);
  if (!units) return regexError(kRegularExpressionInvalidText, "text is not valid UTF-8");
  auto range = firstRange(*units);
  if (!range) return range.error();
  if (!range->has_value()) return std::optional<Match>();
  Match m;
  m.location = (*range)->location;
  m.length = (*range)->length;
  m.text = fromUTF16(std::u16string_view(units->data() + m.location, m.length)).value_or("");
  return std::optional<Match>(std::move(m));
}

Result<bool> RegularExpression::isFound(std::string_view text) const {
  auto match = firstMatch(text);
  if (!match) return match.error();
  return match->has_value();
}

}  // namespace foundation
