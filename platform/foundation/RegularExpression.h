// Regular expressions in ICU's syntax (the platform's). Every match runs
// under a time limit and a backtracking-stack limit, so a hostile pattern or
// text fails with an error instead of running without bound. Positions and
// lengths are in UTF-16 units. Safe to share between threads.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

struct URegularExpression;

namespace foundation {

inline constexpr const char* kRegularExpressionErrorDomain = "RegularExpression";
enum RegularExpressionError {
  kRegularExpressionInvalidPattern = 1,
  kRegularExpressionTimedOut = 2,
  kRegularExpressionInvalidText = 3,  // not valid UTF-8
  kRegularExpressionTooComplex = 4,   // backtracking stack limit reached
};

class RegularExpression {
 public:
  struct Options {
    bool caseInsensitive = false;
    // In steps of ICU's match engine, each on the order of a millisecond.
    int timeLimit = 100;
    int stackLimitBytes = 1 << 20;
  };
  struct Range {
    std::size_t location = 0;  // UTF-16 units
    std::size_t length = 0;
  };
  struct Match {
    std::size_t location = 0;  // UTF-16 units
    std::size_t length = 0;
    std::string text;
  };

  static Result<std::shared_ptr<RegularExpression>> make(std::string_view pattern, Options options);
  static Result<std::shared_ptr<RegularExpression>> make(std::string_view pattern) { return make(pattern, Options{}); }
  // A pattern in UTF-16 (unpaired surrogates match themselves).
  static Result<std::shared_ptr<RegularExpression>> make(std::u16string_view pattern, Options options);
  ~RegularExpression();

  const std::string& pattern() const { return pattern_; }
  // The first match anywhere in the text, or nullopt.
  Result<std::optional<Match>> firstMatch(std::string_view text) const;
  // Whether the pattern matches somewhere in the text.
  Result<bool> isFound(std::string_view text) const;
  // The first match in UTF-16 text. `steps`, when given, receives the steps
  // of the match engine the search took (the unit of the time limit, a
  // fixed count of engine operations, so the same search always takes the
  // same number), whether or not it succeeded.
  Result<std::optional<Range>> firstRange(std::u16string_view text, int* steps = nullptr) const;

 private:
  RegularExpression(std::string pattern, Options options, URegularExpression* compiled)
      : pattern_(std::move(pattern)), options_(options), compiled_(compiled) {}
  static Result<std::shared_ptr<RegularExpression>> compile(std::u16string_view units, std::string pattern,
                                                            Options options);
  std::string pattern_;
  Options options_;
  URegularExpression* compiled_;
};

}  // namespace foundation
