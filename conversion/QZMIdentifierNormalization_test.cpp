#include "conversion/QZMIdentifierNormalization.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* input;
  std::optional<std::string> expected;
};

// A made-up provider; the reserved ".test" names never resolve.
class NormalizationTest : public ::testing::Test {
 protected:
  void SetUp() override { QZMSetConsumerMailDomains({"mailbox.test", "mb.test"}); }
  void TearDown() override { QZMSetConsumerMailDomains({}); }
};

TEST_F(NormalizationTest, EmailAddresses) {
  const Case cases[] = {
      // The provider's local parts lose dots and fold look-alikes.
      {"John.Smith@mailbox.test", "johnsmlth@mailbox.test"},
      {"a.i1.0.2.5@mailbox.test", "allozs@mailbox.test"},
      {"A.I1.0.2.5@MAILBOX.TEST", "allozs@mailbox.test"},
      // The alternative domain is the same mailbox.
      {"a.i1.0.2.5@mb.test", "allozs@mailbox.test"},
      {"A.I1.0.2.5@Mb.Test", "allozs@mailbox.test"},
      // Only dots left: nothing remains before the "@".
      {"...@mailbox.test", std::nullopt},
      // Everyone else keeps the local part as typed, lower-cased.
      {"First.Last15@Example.ORG", "first.last15@example.org"},
      {"i.0.2@sub.mailbox.test", "i.0.2@sub.mailbox.test"},
      {"ÄRGER.Ö@Example.org", "ärger.ö@example.org"},
      // Refused.
      {"", std::nullopt},
      {"no-at-sign.org", std::nullopt},
      {"a@b@example.org", std::nullopt},
      {"a@localhost", std::nullopt},
      {"a@example.", std::nullopt},
      {"@example.org", std::nullopt},
      {"a b@example.org", std::nullopt},
      {"ab@example.org ", std::nullopt},
      {"ab@exa\tmple.org", std::nullopt},
      {"a.b@mailbox .test", std::nullopt},
      {"\xff@example.org", std::nullopt},
      {"user@example.com\n", std::nullopt},  // the whole text must match
      {"user@example.com\r\n", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QZMNormalizedEmailAddress(c.input), c.expected) << c.input;
  }
}

TEST(NormalizationDefaults, NoProviderIsConfiguredUntilSet) {
  EXPECT_EQ(QZMCurrentConsumerMailDomains().primary, "");
  EXPECT_EQ(QZMNormalizedEmailAddress("A.i1@mailbox.test"), "a.i1@mailbox.test");
  // An empty domain never matches the unset provider.
  EXPECT_EQ(QZMNormalizedEmailAddress("a.b@"), std::nullopt);
}

TEST(NormalizationDefaults, ConfiguredDomainsAreCompared) {
  QZMSetConsumerMailDomains({"MailBox.Test", "MB.test"});
  EXPECT_EQ(QZMCurrentConsumerMailDomains().primary, "mailbox.test");
  EXPECT_EQ(QZMNormalizedEmailAddress("x.y@mb.test"), "xy@mailbox.test");
  // A provider with no alternative domain folds only its own.
  QZMSetConsumerMailDomains({"mailbox.test", ""});
  EXPECT_EQ(QZMNormalizedEmailAddress("x.y@mailbox.test"), "xy@mailbox.test");
  EXPECT_EQ(QZMNormalizedEmailAddress("x.y@mb.test"), "x.y@mb.test");
  QZMSetConsumerMailDomains({});
}

TEST(Normalization, PhoneNumbers) {
  const Case cases[] = {
      {"+1 (650) 555-0100", "+16505550100"},
      {"16505550100", "+16505550100"},
      {"+49\t30.123/4567", "+49301234567"},
      {"+1\u00a0650\u2009555\u00a00100", "+16505550100"},  // no-break and thin spaces
      {"301234567", "+301234567"},                         // no country code is added
      {"+12", "+12"},
      {"+123456789012345", "+123456789012345"},
      // Refused.
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"(0) 12-34/56.78", std::nullopt},  // leading zero
      {"+1", std::nullopt},
      {"+1234567890123456", std::nullopt},  // 16 digits
      {"+1 650 CALL NOW", std::nullopt},
      {"+1_650_555_0100", std::nullopt},
      {"++16505550100", std::nullopt},
      {"+1650\n5550100", std::nullopt},  // a line break is not a blank
      {"+1650\xff", std::nullopt},
      {"+16505550123\n", std::nullopt},  // the whole text must match
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QZMNormalizedPhoneNumber(c.input), c.expected) << c.input;
  }
}

TEST(Normalization, ReplaceAllOccurrencesIgnoresCaseAndTakesTargetsLiterally) {
  struct Replacement {
    const char* text;
    const char* target;
    const char* replacement;
    const char* expected;
  };
  const Replacement cases[] = {
      {"aXbxc", "x", "-", "a-b-c"},
      {"HeLlo", "l", "", "Heo"},
      {"ABab", "ab", "c", "cc"},
      {"aaa", "aa", "b", "ba"},
      {"ii", "i", "ii", "iiii"},
      {"a.b.c", ".", "", "abc"},  // not a pattern
      {"ÄäÄ", "ä", "a", "aaa"},
      {"abc", "", "x", "abc"},
      {"\xff"
       "a",
       "a", "b",
       "\xff"
       "a"},
  };
  for (const Replacement& c : cases) {
    std::string text = c.text;
    QZMReplaceAllOccurrences(text, c.target, c.replacement);
    EXPECT_EQ(text, c.expected) << c.text << " / " << c.target;
  }
}

}  // namespace
