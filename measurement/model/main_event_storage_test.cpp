// Complex events kept for audience evaluation: the main event comes back as
// an event, with the count of its children still to process.
#include <gtest/gtest.h>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/ModelTestKit.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using modeltest::i64;

class MainEventStorage : public modeltest::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(openDatabase(database));
  }

  static std::shared_ptr<const QZMEvent> eventFromProto(const QZMPBEvent& message) {
    return QZMEvent::initWithEventProto(&message);
  }

  void storePurchase(std::int64_t eventID, std::int64_t children) {
    auto event = QZMEvent::initWithOrigin("app", false, "purchase", 100, 0, QZMParameters{{"value", i64(3)}});
    ASSERT_TRUE(event);
    auto message = event->protoEvent();
    ASSERT_TRUE(message);
    ASSERT_TRUE(database->updateComplexEventForAudienceEvaluationWithEventID(eventID, children, *message).ok());
  }

  std::shared_ptr<QZMDatabase> database;
};

TEST_F(MainEventStorage, TheMainEventComesBackAsAnEventWithItsChildCount) {
  EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(9, eventFromProto)->has_value());
  storePurchase(9, 3);
  storePurchase(9, 2);
  auto read = database->mainEventAndChildCountPairWithEventID(9, eventFromProto);
  ASSERT_TRUE(read.ok() && read->has_value());
  EXPECT_EQ((*read)->mainEvent->name(), "purchase");
  EXPECT_EQ((*read)->mainEvent->origin(), "app");
  EXPECT_EQ((*read)->mainEvent->parameters().at("value"), i64(3));
  EXPECT_EQ((*read)->childrenToProcess, 2);

  ASSERT_TRUE(database->deleteComplexEventForAudienceEvaluationWithEventID(9).ok());
  EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(9, eventFromProto)->has_value());

  auto empty = QZMPBEvent::initWithBuffer({});
  EXPECT_EQ(database->updateComplexEventForAudienceEvaluationWithEventID(1, 1, *empty).error().description,
            "Cannot create the main event blob");
}

TEST_F(MainEventStorage, AStoredMainEventThatMakesNoEventIsAnError) {
  struct Case {
    const char* title;
    const char* column;
    std::string description;
  } cases[] = {
      {"bytes that do not decode", "x'ff'", "Failed to parse event from data"},
      {"a message without an origin", "x'1203616263'", "Failed to initialize event from proto data"},
      {"text in place of bytes", "'text'", "Failed to convert data to an event. Data must be a NSData instance"},
  };
  storePurchase(9, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    ASSERT_TRUE(database->sqliteStore()
                    ->executeSQL(std::string("UPDATE main_event_params SET main_event = ") + c.column)
                    .ok());
    auto read = database->mainEventAndChildCountPairWithEventID(9, eventFromProto);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().code, 2);
    EXPECT_EQ(read.error().description, c.description);
  }
}

}  // namespace
