// The methods a program can call on a string. Lengths, indexes and
// positions count UTF-16 code units, so a character outside the basic plane
// is two units and a method may cut it in half. Every result is a new value;
// the receiver never changes. Searches charge the runtime for the text they
// scan, and regular expressions for the steps their engine takes, so no
// method lets a program run longer than its instruction budget says.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPStandardCommands.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/Strings.h"

namespace {

// Instructions one step of the regular-expression engine costs; a step is
// some ten thousand engine operations.
constexpr std::uint64_t kInstructionsPerRegexStep = 1000;

std::u16string_view textOf(const QZMPRuntimeValue& receiver) { return receiver.asString()->view(); }

void chargeScan(QZMPScope& scope, std::size_t units) {
  if (QZMPRuntime* runtime = scope.runtime()) {
    runtime->chargeInstructions((units + kQZMPElementsPerInstruction - 1) / kQZMPElementsPerInstruction);
  }
}

QZMPRuntimeValue newString(std::u16string_view text, QZMPError& error) {
  QZMPRef<QZMPStringValue> string = QZMPStringValue::withUTF16(text, error);
  return error ? QZMPRuntimeValue() : QZMPRuntimeValue(std::move(string));
}

// The argument's string value, or `absent` when there is no such argument.
bool stringArgument(QZMPArguments arguments, std::size_t index, std::u16string_view absent,
                    QZMPRef<QZMPStringValue>& out, QZMPError& error) {
  out = index < arguments.size() ? arguments[index].stringValueOrError(error) : QZMPStringValue::withUTF16(absent);
  return !error;
}

// The integer part of the argument's number value, or `absent`.
bool integerArgument(QZMPArguments arguments, std::size_t index, double absent, double& out, QZMPError& error) {
  if (index >= arguments.size()) {
    out = absent;
    return true;
  }
  const double number = arguments[index].doubleValueOrError(error);
  out = QZMPIntegerPart(number);
  return !error;
}

std::size_t clampToLength(double position, std::size_t length) {
  if (!(position > 0)) return 0;  // NaN too
  return position >= static_cast<double>(length) ? length : static_cast<std::size_t>(position);
}

// A position counted from the end when negative.
std::size_t relativePosition(double position, std::size_t length) {
  return position < 0 ? clampToLength(position + static_cast<double>(length), length) : clampToLength(position, length);
}

// First occurrence of a non-empty needle at or after `from`, in time linear
// in the text whatever the needle (a failure table, not plain backtracking).
std::size_t findForward(std::u16string_view text, std::u16string_view needle, std::size_t from) {
  if (needle.size() > text.size() - from) return std::u16string_view::npos;
  // A plain search backtracks up to the needle's length at each position.
  if (needle.size() <= 16) return text.find(needle, from);
  std::vector<std::size_t> border(needle.size(), 0);
  for (std::size_t i = 1, k = 0; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  for (std::size_t i = from, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != needle[k]) k = border[k - 1];
    if (text[i] == needle[k]) ++k;
    if (k == needle.size()) return i + 1 - needle.size();
  }
  return std::u16string_view::npos;
}

// Last occurrence lying wholly within the first `end` units.
std::size_t findBackward(std::u16string_view text, std::u16string_view needle, std::size_t end) {
  if (needle.size() > end) return std::u16string_view::npos;
  if (needle.size() <= 16) return text.substr(0, end).rfind(needle);
  const std::u16string reversedText(text.rend() - static_cast<std::ptrdiff_t>(end), text.rend());
  const std::u16string reversedNeedle(needle.rbegin(), needle.rend());
  const std::size_t found = findForward(reversedText, reversedNeedle, 0);
  return found == std::u16string_view::npos ? found : end - found - needle.size();
}

// The first match of the pattern anywhere in the text. A pattern that does
// not compile, or a search past the engine's limits, is the run's error.
std::optional<foundation::RegularExpression::Range> firstRegexMatch(const QZMPStringValue& pattern,
                                                                    std::u16string_view text, QZMPScope& scope,
                                                                    QZMPError& error) {
  auto expression = foundation::RegularExpression::make(pattern.view(), foundation::RegularExpression::Options{});
  if (!expression) {
    error.set(expression.error());
    return std::nullopt;
  }
  int steps = 0;
  auto match = (*expression)->firstRange(text, &steps);
  if (QZMPRuntime* runtime = scope.runtime()) {
    runtime->chargeInstructions(static_cast<std::uint64_t>(std::max(steps, 0)) * kInstructionsPerRegexStep);
  }
  chargeScan(scope, text.size());
  if (!match) {
    error.set(match.error());
    return std::nullopt;
  }
  return *match;
}

QZMPRuntimeValue charAt(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope&, QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  double index = 0;
  if (!integerArgument(arguments, 0, 0, index, error)) return QZMPRuntimeValue();
  if (index < 0 || index >= static_cast<double>(text.size())) return QZMPRuntimeValue::string(u"");
  return QZMPRuntimeValue::string(text.substr(static_cast<std::size_t>(index), 1));
}

QZMPRuntimeValue concat(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                        QZMPError& error) {
  std::u16string result(textOf(receiver));
  for (const QZMPRuntimeValue& argument : arguments) {
    const QZMPRef<QZMPStringValue> part = argument.stringValueOrError(error);
    if (error) return QZMPRuntimeValue();
    if (result.size() + part->length() > kQZMPMaxStringLength) {
      error.set(QZMPGlintErrorTooLarge);
      return QZMPRuntimeValue();
    }
    result.append(part->view());
  }
  chargeScan(scope, result.size());
  return newString(result, error);
}

QZMPRuntimeValue hasOwnProperty(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope&,
                                QZMPError& error) {
  const QZMPRef<QZMPStringValue> name = arguments[0].stringValueOrError(error);
  if (error) return QZMPRuntimeValue();
  if (name->equals(u"length")) return QZMPRuntimeValue::boolean(true);
  const double index = arguments[0].doubleValueOrError(error);
  if (error) return QZMPRuntimeValue();
  return QZMPRuntimeValue::boolean(index >= 0 && std::trunc(index) == index &&
                                   index < static_cast<double>(textOf(receiver).size()));
}

QZMPRuntimeValue indexOf(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                         QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  QZMPRef<QZMPStringValue> search;
  double start = 0;
  if (!stringArgument(arguments, 0, u"undefined", search, error) ||
      !integerArgument(arguments, 1, 0, start, error)) {
    return QZMPRuntimeValue();
  }
  const std::size_t from = clampToLength(start, text.size());
  if (search->length() == 0) return QZMPRuntimeValue::number(-1);
  chargeScan(scope, text.size() - from);
  const std::size_t found = findForward(text, search->view(), from);
  return QZMPRuntimeValue::number(found == std::u16string_view::npos ? -1 : static_cast<double>(found));
}

QZMPRuntimeValue lastIndexOf(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                             QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  QZMPRef<QZMPStringValue> search;
  if (!stringArgument(arguments, 0, u"undefined", search, error)) return QZMPRuntimeValue();
  double position = std::numeric_limits<double>::infinity();
  if (arguments.size() >= 2) {
    const double number = arguments[1].doubleValueOrError(error);
    if (error) return QZMPRuntimeValue();
    if (!std::isnan(number)) position = QZMPIntegerPart(number);
  }
  if (search->length() == 0) return QZMPRuntimeValue::number(-1);
  const std::size_t clamped = clampToLength(position, text.size());
  const std::size_t end = std::min(text.size(), clamped + search->length());
  chargeScan(scope, end);
  const std::size_t found = findBackward(text, search->view(), end);
  return QZMPRuntimeValue::number(found == std::u16string_view::npos ? -1 : static_cast<double>(found));
}

QZMPRuntimeValue match(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                       QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  QZMPRef<QZMPStringValue> pattern;
  if (!stringArgument(arguments, 0, u"", pattern, error)) return QZMPRuntimeValue();
  if (pattern->length() == 0) {
    const QZMPRuntimeValue empty = QZMPRuntimeValue::string(u"");
    return QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray({&empty, 1}, scope));
  }
  const auto found = firstRegexMatch(*pattern, text, scope, error);
  if (error) return QZMPRuntimeValue();
  if (!found) return QZMPRuntimeValue::null();
  const QZMPRuntimeValue matched = QZMPRuntimeValue::string(text.substr(found->location, found->length));
  return QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray({&matched, 1}, scope));
}

QZMPRuntimeValue replace(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                         QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  QZMPRef<QZMPStringValue> pattern;
  if (!stringArgument(arguments, 0, u"undefined", pattern, error)) return QZMPRuntimeValue();
  chargeScan(scope, text.size());
  const std::size_t at = pattern->length() == 0 ? 0 : findForward(text, pattern->view(), 0);
  if (at == std::u16string_view::npos) return receiver;

  QZMPRef<QZMPStringValue> replacement;
  if (arguments.size() < 2) {
    replacement = QZMPStringValue::withASCII("undefined");
  } else if (QZMPFunctionValue* function = arguments[1].asFunction()) {
    const QZMPRef<QZMPFunctionValue> held(function);
    const QZMPRuntimeValue callArguments[] = {QZMPRuntimeValue(pattern), QZMPRuntimeValue::number(double(at)),
                                              receiver};
    const QZMPRuntimeValue result = function->invokeWithArguments(callArguments, scope, error);
    if (error) return QZMPRuntimeValue();
    replacement = result.stringValueOrError(error);
  } else {
    replacement = arguments[1].stringValueOrError(error);
  }
  if (error) return QZMPRuntimeValue();

  if (text.size() - pattern->length() + replacement->length() > kQZMPMaxStringLength) {
    error.set(QZMPGlintErrorTooLarge);
    return QZMPRuntimeValue();
  }
  std::u16string result;
  result.reserve(text.size() - pattern->length() + replacement->length());
  result.append(text.substr(0, at)).append(replacement->view()).append(text.substr(at + pattern->length()));
  return newString(result, error);
}

QZMPRuntimeValue search(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                        QZMPError& error) {
  QZMPRef<QZMPStringValue> pattern;
  if (!stringArgument(arguments, 0, u"undefined", pattern, error)) return QZMPRuntimeValue();
  if (pattern->length() == 0) return QZMPRuntimeValue::number(0);
  const auto found = firstRegexMatch(*pattern, textOf(receiver), scope, error);
  if (error) return QZMPRuntimeValue();
  return QZMPRuntimeValue::number(found ? static_cast<double>(found->location) : -1);
}

QZMPRuntimeValue slice(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                       QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  double start = 0;
  double end = 0;
  if (!integerArgument(arguments, 0, 0, start, error) ||
      !integerArgument(arguments, 1, static_cast<double>(text.size()), end, error)) {
    return QZMPRuntimeValue();
  }
  const std::size_t from = relativePosition(start, text.size());
  const std::size_t to = relativePosition(end, text.size());
  if (to <= from) return QZMPRuntimeValue::string(u"");
  chargeScan(scope, to - from);
  return QZMPRuntimeValue::string(text.substr(from, to - from));
}

QZMPRuntimeValue split(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                       QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  if (text.empty() || arguments.empty()) {
    return QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray({&receiver, 1}, scope));
  }
  const QZMPRef<QZMPStringValue> separator = arguments[0].stringValueOrError(error);
  if (error) return QZMPRuntimeValue();
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  if (arguments.size() >= 2) {
    const double number = arguments[1].doubleValueOrError(error);
    if (error) return QZMPRuntimeValue();
    limit = QZMPToUint32(number);
  }

  std::vector<QZMPRuntimeValue> pieces;
  const auto add = [&](std::u16string_view piece) {
    if (pieces.size() >= kQZMPMaxArrayLength) {
      error.set(QZMPGlintErrorTooLarge);
      return false;
    }
    pieces.push_back(QZMPRuntimeValue::string(piece));
    return true;
  };
  chargeScan(scope, text.size());
  const std::u16string_view sep = separator->view();
  if (sep.empty()) {
    for (std::size_t i = 0; i < text.size() && pieces.size() < limit; ++i) {
      if (!add(text.substr(i, 1))) return QZMPRuntimeValue();
    }
  } else {
    std::size_t begin = 0;
    while (pieces.size() < limit) {
      const std::size_t found = findForward(text, sep, begin);
      if (!add(text.substr(begin, found == std::u16string_view::npos ? std::u16string_view::npos : found - begin))) {
        return QZMPRuntimeValue();
      }
      if (found == std::u16string_view::npos) break;
      begin = found + sep.size();
    }
  }
  return QZMPRuntimeValue(QZMPObjectManager::arrayValueWithArray(pieces, scope));
}

QZMPRuntimeValue substring(const QZMPRuntimeValue& receiver, QZMPArguments arguments, QZMPScope& scope,
                           QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  double start = 0;
  double end = 0;
  if (!integerArgument(arguments, 0, 0, start, error) ||
      !integerArgument(arguments, 1, static_cast<double>(text.size()), end, error)) {
    return QZMPRuntimeValue();
  }
  const std::size_t a = clampToLength(start, text.size());
  const std::size_t b = clampToLength(end, text.size());
  const std::size_t from = std::min(a, b);
  chargeScan(scope, std::max(a, b) - from);
  return QZMPRuntimeValue::string(text.substr(from, std::max(a, b) - from));
}

QZMPRuntimeValue mapCase(const QZMPRuntimeValue& receiver, QZMPScope& scope, bool upper, bool localised,
                         QZMPError& error) {
  const std::u16string_view text = textOf(receiver);
  const std::string locale = localised ? foundation::currentLocaleIdentifier() : std::string();
  chargeScan(scope, text.size());
  const std::u16string mapped =
      upper ? foundation::uppercased(text, locale.c_str()) : foundation::lowercased(text, locale.c_str());
  return newString(mapped, error);
}

QZMPRuntimeValue toLowerCase(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope& scope, QZMPError& error) {
  return mapCase(receiver, scope, false, false, error);
}
QZMPRuntimeValue toLocaleLowerCase(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope& scope,
                                   QZMPError& error) {
  return mapCase(receiver, scope, false, true, error);
}
QZMPRuntimeValue toUpperCase(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope& scope, QZMPError& error) {
  return mapCase(receiver, scope, true, false, error);
}
QZMPRuntimeValue toLocaleUpperCase(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope& scope,
                                   QZMPError& error) {
  return mapCase(receiver, scope, true, true, error);
}

QZMPRuntimeValue toString(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope&, QZMPError&) {
  return QZMPRuntimeValue::string(textOf(receiver));
}

QZMPRuntimeValue trim(const QZMPRuntimeValue& receiver, QZMPArguments, QZMPScope& scope, QZMPError&) {
  const std::u16string_view text = textOf(receiver);
  chargeScan(scope, text.size());
  return QZMPRuntimeValue::string(QZMPTrimWhiteSpace(text));
}

constexpr QZMPMethod kStringMethods[] = {
    {u"charAt", &charAt, QZMPArity::atMost(1)},
    {u"concat", &concat, QZMPArity::any()},
    {u"hasOwnProperty", &hasOwnProperty, QZMPArity::exactly(1)},
    {u"indexOf", &indexOf, QZMPArity::atMost(2)},
    {u"lastIndexOf", &lastIndexOf, QZMPArity::atMost(2)},
    {u"match", &match, QZMPArity::atMost(1)},
    {u"replace", &replace, QZMPArity::atMost(2)},
    {u"search", &search, QZMPArity::atMost(1)},
    {u"slice", &slice, QZMPArity::atMost(2)},
    {u"split", &split, QZMPArity::atMost(2)},
    {u"substring", &substring, QZMPArity::atMost(2)},
    {u"toLowerCase", &toLowerCase, QZMPArity::exactly(0)},
    {u"toLocaleLowerCase", &toLocaleLowerCase, QZMPArity::exactly(0)},
    {u"toUpperCase", &toUpperCase, QZMPArity::exactly(0)},
    {u"toLocaleUpperCase", &toLocaleUpperCase, QZMPArity::exactly(0)},
    {u"toString", &toString, QZMPArity::exactly(0)},
    {u"trim", &trim, QZMPArity::exactly(0)},
};

}  // namespace

std::span<const QZMPMethod> QZMPStringMethods() { return kStringMethods; }
