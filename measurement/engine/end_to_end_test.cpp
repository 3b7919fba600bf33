// The whole road: a host configures the app, logs events and sets a user
// property through the public API alone, and the collector on 127.0.0.1
// receives them over verified TLS, after the configuration fetch has been
// answered in turn with 404, a configuration that changes a limit, and 304.
// The collector reads each batch with the project's messages and once with
// protoc, which knows nothing of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/api/ZNHAnalytics.h"
#include "measurement/engine/EngineTestKit.h"
#include "measurement/foundation/QZMAlarm.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "platform/utilities/Endpoints.h"

namespace {

using testkit::Answer;
using testkit::Bundle;
using testkit::RecordedRequest;

constexpr const char* kConfigPath = "/config/app/1:1234:ios:abcd";

template <typename Message, typename Owner>
std::vector<std::shared_ptr<Message>> repeated(const Owner& owner, std::int32_t field) {
  return NANOGetArray<Message>(&owner, field).value_or(std::vector<std::shared_ptr<Message>>());
}

std::optional<std::string> stringParameter(const QZMPBEvent& event, std::string_view name) {
  for (const auto& parameter : repeated<QZMPBEventParam>(event, QZMPBEvent::kParams)) {
    if (NANOGetString(parameter.get(), QZMPBEventParam::kName) == name) {
      return NANOGetString(parameter.get(), QZMPBEventParam::kStringValue);
    }
  }
  return std::nullopt;
}

class EndToEnd : public testkit::EngineTest {
 protected:
  std::vector<RecordedRequest> posts() {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& request : server->requests()) {
      if (request.method == "POST" && request.path == "/a") found.push_back(request);
    }
    return found;
  }

  // The bundles of every batch the collector received, in order.
  std::vector<std::shared_ptr<Bundle>> receivedBundles() {
    std::vector<std::shared_ptr<Bundle>> found;
    for (const RecordedRequest& request : posts()) {
      std::shared_ptr<QZMPBMeasurementBatch> batch = QZMPBMeasurementBatch::initWithBuffer(
          std::span(reinterpret_cast<const std::uint8_t*>(request.body.data()), request.body.size()));
      EXPECT_TRUE(batch) << "a body that is no batch";
      if (!batch) continue;
      for (auto& bundle : repeated<Bundle>(*batch, QZMPBMeasurementBatch::kBundles)) found.push_back(bundle);
    }
    return found;
  }

  // The received events of the name, with the bundle each came in.
  std::vector<std::pair<std::shared_ptr<Bundle>, std::shared_ptr<QZMPBEvent>>> received(const std::string& name) {
    std::vector<std::pair<std::shared_ptr<Bundle>, std::shared_ptr<QZMPBEvent>>> found;
    for (const auto& bundle : receivedBundles()) {
      for (auto& event : repeated<QZMPBEvent>(*bundle, Bundle::kEvents)) {
        if (NANOGetString(event.get(), QZMPBEvent::kName) == name) found.emplace_back(bundle, event);
      }
    }
    return found;
  }

  std::vector<RecordedRequest> configurationRequests() {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& request : server->requests()) {
      if (request.method == "GET" && request.path == kConfigPath) found.push_back(request);
    }
    return found;
  }

  // Lets the upload alarm fire (the clock moves to it) and waits for the
  // requests it starts, up to a few rounds of fetch and upload.
  void runScheduledUpload() {
    settleEngine();
    auto scheduled = engine()->alarm()->scheduledTimestamp();
    ASSERT_TRUE(scheduled) << "no upload was scheduled";
    clock->setNow(std::max(clock->now(), scheduled->secondsSince1970));
    for (int round = 0; round < 4; ++round) {
      settleEngine();
      waitForNetwork();
    }
  }

  // protoc's own reading of the bytes: field numbers and values only.
  std::string decodeRaw(const std::string& bytes) {
    std::string input = home->root() + "/batch.bin";
    std::ofstream(input, std::ios::binary) << bytes;
    std::string command = "protoc --decode_raw < '" + input + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    std::array<char, 4096> chunk;
    while (pipe && fgets(chunk.data(), chunk.size(), pipe.get())) output += chunk.data();
    return output;
  }
};

TEST_F(EndToEnd, EventsAndAUserPropertyReachTheCollector) {
  startServer();
  Answer configuration{200};
  std::optional<foundation::Data> bytes =
      testkit::configuration({{"measurement.upload.max_events_per_bundle", "1"}}, {}, 2)->protoBuffer();
  configuration.body.assign(bytes->begin(), bytes->end());
  configuration.headers.emplace("ETag", "\"first\"");
  server->answerInTurn("GET", kConfigPath, {Answer{404}, configuration, Answer{304}});
  server->answer("POST", "/a", Answer{204});
  start();

  // First launch: the defaults until the server says otherwise.
  ZNHAnalytics::setUserPropertyString("pizza", "favourite_food");
  ZNHAnalytics::logEventWithName("level_up", {{"level", std::int64_t{3}}, {"character", std::string("mage")}});
  runScheduledUpload();
  ASSERT_EQ(configurationRequests().size(), 1u);
  ASSERT_EQ(posts().size(), 1u);
  auto levelUp = received("level_up");
  ASSERT_EQ(levelUp.size(), 1u) << "the event did not arrive once";
  const auto& [bundle, event] = levelUp[0];
  EXPECT_EQ(testkit::intParameter(*event, "level"), 3);
  EXPECT_EQ(stringParameter(*event, "character"), "mage");
  EXPECT_EQ(NANOGetString(bundle.get(), Bundle::kDxvAppId), testkit::kTestAppID);
  std::optional<std::string> food;
  for (const auto& attribute : repeated<QZMPBUserAttribute>(*bundle, Bundle::kUserAttributes)) {
    if (NANOGetString(attribute.get(), QZMPBUserAttribute::kName) == "favourite_food") {
      food = NANOGetString(attribute.get(), QZMPBUserAttribute::kStringValue);
    }
  }
  EXPECT_EQ(food, "pizza");

  // protoc reads the same bytes: batch field 1 holds the bundles, bundle
  // field 2 the events with their names in field 2, field 3 the properties.
  std::string raw = decodeRaw(posts()[0].body);
  EXPECT_NE(raw.find("1 {"), std::string::npos) << raw;
  EXPECT_NE(raw.find("2: \"level_up\""), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"mage\""), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"favourite_food\""), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"pizza\""), std::string::npos) << raw;

  // A day later the configuration has expired: the server sends one that
  // allows one event a bundle, and the next events travel one a bundle.
  clock->advance(86400);
  ZNHAnalytics::logEventWithName("first_of_two");
  ZNHAnalytics::logEventWithName("second_of_two");
  runScheduledUpload();
  ASSERT_EQ(configurationRequests().size(), 2u);
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadMaxEventsPerBundle(), 1);
  for (const char* name : {"first_of_two", "second_of_two"}) {
    SCOPED_TRACE(name);
    auto arrived = received(name);
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(testkit::eventNames(*arrived[0].first).size(), 1u);
  }

  // Another day: asked with what it sent, the server has nothing new, and
  // the limit it set stays.
  clock->advance(86400);
  ZNHAnalytics::logEventWithName("after_not_modified");
  runScheduledUpload();
  ASSERT_EQ(configurationRequests().size(), 3u);
  EXPECT_EQ(configurationRequests()[2].header("If-None-Match"), "\"first\"");
  EXPECT_EQ(received("after_not_modified").size(), 1u);
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadMaxEventsPerBundle(), 1);
  // Nothing the server took was sent again.
  EXPECT_EQ(received("level_up").size(), 1u);
  EXPECT_TRUE(queuedBundles().empty());
}


TEST_F(EndToEnd, AServerSignedByAnotherAuthorityGetsNothingAndNothingIsLost) {
  startServer();
  server->answer("GET", kConfigPath, Answer{404});
  server->answer("POST", "/a", Answer{204});
  testkit::CertificateAuthority stranger("some other CA");
  utilities::Endpoints::setCABundleOverride(stranger.bundlePath());
  start();

  ZNHAnalytics::logEventWithName("level_up", {{"level", std::int64_t{3}}});
  runScheduledUpload();
  EXPECT_TRUE(server->requests().empty());
  EXPECT_GT(persistedConfig()->lastFailedUploadTimestamp(), 0);
  EXPECT_GE(rawEventCount() + static_cast<std::int64_t>(queuedBundles().size()), 1);

  // Trusted again, the event arrives.
  utilities::Endpoints::setCABundleOverride(server->caBundlePath());
  runScheduledUpload();
  EXPECT_EQ(received("level_up").size(), 1u);
}
}  // namespace
