// The life of a message object: created empty, decoded, copied from a record,
// encoded, destroyed; and the 48 classes that bind the measurement messages.
#include "measurement/proto/NANOMessageBase.h"

#include <gtest/gtest.h>

#include <string>

#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/generated/MeasurementMessages.h"
#include "measurement/proto/generated/QZMPBMessages.h"
#include "measurement/proto/testdata/generated/KindClasses.h"
#include "testing/LogCapture.h"

namespace {

using foundation::Data;

std::vector<const NANOMessageClass*> everyClass() {
  std::vector<const NANOMessageClass*> classes(std::begin(QZMPBMessageClasses), std::end(QZMPBMessageClasses));
  classes.insert(classes.end(), std::begin(TestMessageClasses), std::end(TestMessageClasses));
  return classes;
}

TEST(NANOMessageBase, EveryClassBindsItsOwnMessage) {
  for (const NANOMessageClass* cls : QZMPBMessageClasses) {
    EXPECT_EQ(std::string(cls->name), std::string("QZMPB") + cls->schema->name);
  }
  for (const NANOMessageClass* cls : everyClass()) {
    SCOPED_TRACE(cls->name);
    const NANOMessageSchema& schema = *cls->schema;
    std::unique_ptr<NANOMessageBase> message = cls->initWithMessageInfo(nullptr);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(&message->objectClass(), cls);
    EXPECT_EQ(message->messageID(), schema.name);
    EXPECT_EQ(message->messageInfo()->name, schema.name) << "the same pointer";
    EXPECT_EQ(message->initMessageInfoFn(), schema.initMessageInfo);
    EXPECT_EQ(message->deallocMessageFieldFn(), schema.deallocMessageField);
    EXPECT_EQ(message->copyMessageInfoFn(), schema.copyMessageInfo);
    EXPECT_NE(message->initMessageInfoFn(), nullptr);
    EXPECT_NE(message->deallocMessageFieldFn(), nullptr);
    EXPECT_NE(message->copyMessageInfoFn(), nullptr);
  }
  EXPECT_STREQ(QZMPBMeasurementBundle::initWithMessageInfo(nullptr)->messageID(), "MeasurementBundle");
}

TEST(NANOMessageBase, EveryMessageComesBackWholeFromItsEncoding) {
  for (const NANOMessageClass* cls : everyClass()) {
    SCOPED_TRACE(cls->name);
    Record filled = FilledRecord(cls->schema, 3);
    std::unique_ptr<NANOMessageBase> message = cls->initWithMessageInfo(filled.get());
    ASSERT_NE(message, nullptr);
    EXPECT_NE(message->messageInfo(), filled.get()) << "the caller keeps its record";
    EXPECT_EQ(Differences(cls->schema, filled.get(), message->messageInfo()), "");

    std::optional<Data> bytes = message->protoBuffer();
    ASSERT_TRUE(bytes.has_value());
    Record decoded = Decoded(cls->schema, *bytes);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(Differences(cls->schema, filled.get(), decoded.get()), "");
  }
}

TEST(NANOMessageBase, NoBytesGiveAnEmptyMessageThatEncodesToNoBytes) {
  for (const Bytes& none : {Bytes{}, Bytes()}) {
    auto bundle = QZMPBMeasurementBundle::initWithBuffer(none);
    ASSERT_NE(bundle, nullptr);
    for (int32_t id = 0; id < MeasurementBundle_schema.fieldCount; ++id) {
      bool repeated = NANOFieldIsRepeated(MeasurementBundle_schema.flags[id]);
      EXPECT_EQ(NANOHasField(bundle.get(), id), repeated) << id;
      if (repeated) {
        EXPECT_EQ(NANOGetArray(bundle.get(), id, nullptr), NANOObjectArray{}) << id;
      }
    }
    EXPECT_EQ(bundle->protoBuffer(), Data{}) << "empty bytes, not a failure";
  }
  auto flag = QZMPBFlag::initWithBuffer(*QZMPBFlag::initWithMessageInfo(nullptr)->protoBuffer());
  ASSERT_NE(flag, nullptr);
  for (int32_t id = 0; id < 5; ++id) EXPECT_FALSE(NANOHasField(flag.get(), id));
}

TEST(NANOMessageBase, BytesThatDoNotDecodeGiveNoObject) {
  CapturedOutput output;
  EXPECT_EQ(QZMPBFlag::initWithBuffer(Bytes{0x0A, 0x05, 'a'}), nullptr);
  EXPECT_NE(output.text().find("<ERROR> Flag decoder failed"), std::string::npos) << output.text();
  EXPECT_EQ(QZMPBEvent::initWithBuffer(Bytes{0x0A, 0x02, 0x0A, 0x7F}), nullptr) << "a broken list item";
}

TEST(NANOMessageBase, ARecordOfAnotherMessageGivesNoObjectSilently) {
  Record batch = FilledRecord(&MeasurementBatch_schema, 1);
  testkit::LogCapture log;
  CapturedOutput output;
  EXPECT_EQ(QZMPBMeasurementBundle::initWithMessageInfo(batch.get()), nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{});
  EXPECT_EQ(output.text(), "");
}

TEST(NANOMessageBase, ADecodedMessageIsIndependentOfItsBytes) {
  Bytes bytes{0x0A, 0x01, 'n', 0x10, 0x07};
  auto flag = QZMPBFlag::initWithBuffer(bytes);
  ASSERT_NE(flag, nullptr);
  bytes.assign(bytes.size(), 0);
  EXPECT_EQ(NANOGetString(flag.get(), QZMPBFlag::kName), "n");
  EXPECT_EQ(NANOGetInt64(flag.get(), QZMPBFlag::kIntValue), 7);
}

}  // namespace
