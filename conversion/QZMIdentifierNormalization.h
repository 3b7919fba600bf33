// Canonical forms of the identifiers a membership lookup hashes. The
// advertiser's data set is folded by the same rules on the server, so an
// address typed in different ways still gives one hash on both sides.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The consumer mail provider whose mailboxes ignore dots and look-alike
// characters in the local part, and its alternative domain that reaches the
// same mailboxes. Deployment values: the rule stays off while the primary
// domain is empty, which is the default.
struct QZMConsumerMailDomains {
  std::string primary;
  std::string alternative;
};
// Stored lower-cased, since addresses are compared after lower-casing.
void QZMSetConsumerMailDomains(const QZMConsumerMailDomains& domains);
QZMConsumerMailDomains QZMCurrentConsumerMailDomains();

// nullopt when the input is not a usable address or number.
std::optional<std::string> QZMNormalizedEmailAddress(std::string_view address);
// E.164 with a leading "+"; no country code is ever added.
std::optional<std::string> QZMNormalizedPhoneNumber(std::string_view number);

bool QZMIsValidEmailAddress(std::string_view text);
bool QZMIsValidPhoneNumber(std::string_view text);

// Every occurrence of target, as plain text and ignoring case, over the
// whole string. Text that is not valid UTF-8 is left as it is.
void QZMReplaceAllOccurrences(std::string& text, std::string_view target, std::string_view replacement);
