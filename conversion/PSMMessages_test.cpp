// The PSM messages: what the generator makes of psm.schema is committed, and
// the generated codec agrees byte for byte with protoc reading the same .proto.
#include "conversion/generated/PSMMessageFunctions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "conversion/PSMTestProtoc.h"
#include "conversion/generated/PSMMessages.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/NANOTestRecords.h"
#include "testing/TemporaryHome.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(PSMMessages, RegeneratingGivesTheCommittedFiles) {
  testkit::TemporaryHome home;
  fs::path out = fs::path(home.root()) / "generated";
  std::string command = std::string(TOLV_PYTHON) + " " TOLV_SOURCE_DIR "/measurement/proto/gen/protogen.py " +
                        TOLV_CONVERSION_DIR "/psm.schema --out " + out.string() +
                        " --nanopb-generator " TOLV_NANOPB_GENERATOR;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(out)) {
    fs::path committed = fs::path(TOLV_CONVERSION_DIR) / "generated" / entry.path().filename();
    ASSERT_TRUE(fs::exists(committed)) << committed << " is not committed";
    EXPECT_TRUE(ReadFile(entry.path()) == ReadFile(committed)) << committed << " differs from a fresh run";
    ++compared;
  }
  EXPECT_EQ(compared, 7);
}

// The message names are the ones the wire's peers know.
TEST(PSMMessages, ClassesCarryTheMessageNames) {
  const std::pair<const char*, const char*> names[] = {
      {"PSMPrivateMembershipShuttersRequest", "PrivateMembershipShuttersRequest"},
      {"PSMEncryptedRequest", "EncryptedRequest"},
      {"PSMPrivateMembershipShuttersParameters", "PrivateMembershipShuttersParameters"},
      {"PSMPrivateMembershipShuttersResponse", "PrivateMembershipShuttersResponse"},
      {"PSMEncryptedResponse", "EncryptedResponse"},
      {"PSMDoublyEncryptedId", "DoublyEncryptedId"},
      {"PSMEncryptedBucket", "EncryptedBucket"},
      {"PSMPrivateMembershipShuttersIdValuePairMetadata", "PrivateMembershipShuttersIdValuePairMetadata"},
      {"PSMEncryptedResponseMetadata", "EncryptedResponseMetadata"},
      {"PSMOdmResponseUnencryptedMetadata", "OdmResponseUnencryptedMetadata"},
      {"PSMMVs", "MVs"},
  };
  ASSERT_EQ(PSMMessageClassesCount, static_cast<int>(std::size(names)));
  for (int i = 0; i < PSMMessageClassesCount; ++i) {
    const NANOMessageClass* cls = PSMMessageClasses[i];
    EXPECT_STREQ(cls->name, names[i].first);
    std::unique_ptr<NANOMessageBase> message = cls->initWithMessageInfo(nullptr);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message->messageID(), names[i].second);
  }
}

class EveryPSMMessage : public ::testing::TestWithParam<const NANOMessageSchema*> {};

// Every field filled, encoded, compared with protoc's bytes for the same
// content; protoc reads our bytes back to the same content; and so do we.
TEST_P(EveryPSMMessage, RoundTripMatchesProtoc) {
  const NANOMessageSchema* schema = GetParam();
  Record record = FilledRecord(schema, 3);
  bool ok;
  Bytes ours = Encoded(schema, record.get(), &ok);
  ASSERT_TRUE(ok);

  PSMProtoc protoc;
  Bytes theirs = BytesOf(protoc.encode(schema->name, TextFormat(schema, record.get())));
  EXPECT_EQ(Hex(ours), Hex(theirs));
  std::string text = protoc.decode(schema->name, std::string(ours.begin(), ours.end()));
  EXPECT_EQ(Hex(BytesOf(protoc.encode(schema->name, text))), Hex(ours));

  Record decoded = Decoded(schema, ours);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(Differences(schema, record.get(), decoded.get()), "");
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryPSMMessage, ::testing::ValuesIn(PSMMessageFunctions),
                         [](const auto& info) { return std::string(info.param->name); });

TEST(PSMMessages, UnknownTagsAreReadOverAndNeverWritten) {
  // Parameters with hash type 2, prefix 14 and a tag 4 of a newer server.
  const Bytes received = {0x10, 0x02, 0x18, 0x0e, 0x20, 0x05};
  auto parameters = PSMPrivateMembershipShuttersParameters::initWithBuffer(received);
  ASSERT_NE(parameters, nullptr);
  EXPECT_EQ(NANOGetInt32(parameters.get(), PSMPrivateMembershipShuttersParameters::kHashType), 2);
  EXPECT_EQ(NANOGetInt32(parameters.get(),
                         PSMPrivateMembershipShuttersParameters::kHashedNonSensitiveIdPrefixBitLength),
            14);
  EXPECT_EQ(Hex(parameters->protoBuffer().value()), "10 02 18 0e");
}

TEST(PSMMessages, AbsentBucketsStayUnset) {
  auto response = PSMEncryptedResponse::initWithBuffer(Bytes{0x3a, 0x02, 0x10, 0x04});  // metadata only
  ASSERT_NE(response, nullptr);
  EXPECT_FALSE(NANOHasField(response.get(), PSMEncryptedResponse::kBucket));
  EXPECT_FALSE(NANOHasField(response.get(), PSMEncryptedResponse::kBinnedBucket));
  EXPECT_TRUE(NANOHasField(response.get(), PSMEncryptedResponse::kMetadata));
  EXPECT_TRUE(NANOHasField(response.get(), PSMEncryptedResponse::kDoublyEncryptedId));  // a list always is
}

TEST(PSMMessages, RecordOfAnotherMessageIsRefused) {
  auto bucket = PSMEncryptedBucket::initWithMessageInfo(nullptr);
  ASSERT_NE(bucket, nullptr);
  EXPECT_EQ(PSMEncryptedResponse::initWithMessageInfo(bucket->messageInfo()), nullptr);
  EXPECT_NE(PSMEncryptedBucket::initWithMessageInfo(bucket->messageInfo()), nullptr);
}

}  // namespace
