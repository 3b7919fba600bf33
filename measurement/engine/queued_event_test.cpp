#include <gtest/gtest.h>

#include <cmath>

#include "measurement/engine/QZMQueuedEvent.h"

namespace {

QZMDictionary everyKind() {
  QZMDictionary nested{{"inner", QZMObject(std::int64_t{-3})}, {"empty", QZMObject(QZMDictionary{})}};
  return {
      {"null", QZMObject()},
      {"false", QZMObject(false)},
      {"true", QZMObject(true)},
      {"integer", QZMObject(std::int64_t{-9007199254740993})},
      {"floating", QZMObject(2.5)},
      {"nan", QZMObject(std::nan(""))},
      {"text", QZMObject(std::string("caf\xc3\xa9 \0 end", 11))},
      {"not utf-8", QZMObject(std::string("\xff\xfe"))},
      {"data", QZMObject(foundation::Data{0, 1, 255})},
      {"date", QZMObject(foundation::Date{1.7e9})},
      {"double value", QZMValue::initWithDouble(-0.0)},
      {"int value", QZMValue::initWithInt64(INT64_MIN)},
      {"string value", *QZMValue::initWithString("castle")},
      {"array value", QZMValue::initWithArray({QZMObject(QZMDictionary{{"item_id", QZMObject("a")}})})},
      // Type and storage are kept apart, as they were given.
      {"mismatched value", QZMValue::initWithValueType(QZMValueType::kString, std::int64_t{7})},
      {"items", QZMObject(QZMArray{QZMObject(nested), QZMObject(QZMArray{}), QZMObject("x")})},
      {"nested", QZMObject(nested)},
      {std::string(300, 'k'), QZMObject(std::string(200, 'v'))},
  };
}

TEST(QueuedEvent, PackedDictionariesComeBackAsTheyWereGiven) {
  for (const QZMDictionary& dictionary : {QZMDictionary{}, everyKind()}) {
    std::string packed;
    QZMPackDictionary(dictionary, packed);
    auto back = QZMUnpackDictionary(packed);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, dictionary);
    for (const auto& [key, value] : dictionary) {
      if (const QZMValue* typed = value.value()) {
        ASSERT_TRUE(back->at(key).value()) << key;
        EXPECT_EQ(back->at(key).value()->valueType(), typed->valueType()) << key;
        EXPECT_EQ(back->at(key).value()->storage().index(), typed->storage().index()) << key;
      }
    }
  }
}

TEST(QueuedEvent, CutOrPaddedBytesAreRefused) {
  std::string packed;
  QZMPackDictionary(everyKind(), packed);
  for (std::size_t size = 0; size < packed.size(); ++size) {
    EXPECT_FALSE(QZMUnpackDictionary(std::string_view(packed).substr(0, size))) << size;
  }
  EXPECT_FALSE(QZMUnpackDictionary(packed + '\0'));
  EXPECT_FALSE(QZMUnpackDictionary(std::string("\x01\x01k?", 4)));
  // A count larger than the bytes left cannot be met.
  EXPECT_FALSE(QZMUnpackDictionary(std::string("\xff\xff\xff\xff\x0f", 5)));
}

TEST(QueuedEvent, KeepsEverythingTheEngineWasHanded) {
  struct Case {
    std::string origin, name;
    bool isPublic, enabled, ignoreEnabled, ignoreInterceptor, withInterceptor;
  };
  const Case cases[] = {
      {"app", "level_up", true, true, false, false, true},
      {"auto", "_s", false, false, true, true, false},
      {"", "", false, true, true, false, false},
      {std::string(40, 'o'), "\xe2\x82\xac" + std::string(60, 'n'), true, false, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string heard;
    QZMLogEventInterceptor interceptor;
    if (c.withInterceptor) {
      interceptor = [&](const std::string&, const std::string& name, const QZMDictionary&, double) { heard = name; };
    }
    QZMDictionary screen{{"_sc", QZMObject("Menu")}};
    QZMQueuedEvent queued(c.origin, c.isPublic, c.name, everyKind(), 1.7e9 + 0.25, c.enabled, c.ignoreEnabled,
                          c.ignoreInterceptor, interceptor, screen);
    EXPECT_EQ(queued.origin(), c.origin);
    EXPECT_EQ(queued.name(), c.name);
    EXPECT_EQ(queued.parameters(), everyKind());
    EXPECT_EQ(queued.addedScreenParameters(), screen);
    EXPECT_EQ(queued.timestamp(), 1.7e9 + 0.25);
    EXPECT_EQ(queued.isPublicEvent(), c.isPublic);
    EXPECT_EQ(queued.enabled(), c.enabled);
    EXPECT_EQ(queued.ignoreEnabled(), c.ignoreEnabled);
    EXPECT_EQ(queued.ignoreInterceptor(), c.ignoreInterceptor);
    ASSERT_EQ(static_cast<bool>(queued.interceptor()), c.withInterceptor);
    if (c.withInterceptor) {
      queued.interceptor()("app", c.name, {}, 0);
      EXPECT_EQ(heard, c.name);
    }
  }
}

TEST(QueuedEvent, AnEventOfAFewParametersPacksIntoFewBytes) {
  QZMQueuedEvent queued("app", true, "level_up", {{"index", QZMObject(12)}, {"level", QZMObject("castle")}}, 1.7e9,
                        true, false, false, nullptr, {});
  // Texts and numbers as they are, a byte or two around each.
  EXPECT_LE(queued.packedSize(), 3 + 8 + 1 + (1 + 5 + 1 + 8) + (1 + 5 + 1 + 1 + 6) + 1u);
}

}  // namespace
