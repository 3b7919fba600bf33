// Shared pieces of the on-device conversion tests: a home, a fake clock, an
// HTTPS server standing in for the measurement endpoint, captured log lines,
// and a stand-in membership client whose answers the tests script.
#pragma once

#include <gtest/gtest.h>

#include <absl/status/status.h>
#include <absl/strings/escaping.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "conversion/ODCAsyncTask.h"
#include "conversion/ODCError.h"
#include "conversion/ODCPSMClient.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/JSON.h"
#include "platform/utilities/DRKLogger.h"
#include "platform/utilities/Endpoints.h"
#include "testing/LogCapture.h"
#include "testing/TemporaryHome.h"
#include "testing/TlsServer.h"

namespace odctest {

// Waits, in real time and for a bounded while, until the condition holds.
inline bool eventually(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs the block on the queue and waits for it.
inline void onQueue(const std::shared_ptr<dispatch::Queue>& queue, const std::function<void()>& block) {
  ASSERT_TRUE(queue->sync(block).ok());
}

// Stand-in membership client. Its request is fixed bytes; a response is the
// matched values joined by ","; the matched values travel joined by "|".
struct FakePSM {
  struct Creation {
    std::string matchingID, bucketizedDate, bundleID;
    std::int32_t prefixLength;
  };
  absl::Status createStatus;
  absl::StatusOr<std::string> request = std::string("psm-request");
  absl::Status processStatus;

  std::mutex mutex;
  std::vector<Creation> creations;
  int liveClients = 0;

  static std::string response(const std::vector<std::string>& values) {
    std::string joined;
    for (const auto& v : values) joined += (joined.empty() ? "" : ",") + v;
    return joined;
  }

  class Client : public ODCPSMClient {
   public:
    explicit Client(std::shared_ptr<FakePSM> owner) : owner_(std::move(owner)) {
      std::lock_guard lock(owner_->mutex);
      ++owner_->liveClients;
    }
    ~Client() override {
      std::lock_guard lock(owner_->mutex);
      --owner_->liveClients;
    }
    absl::StatusOr<std::string> CreateSerializedRequest() override { return owner_->request; }
    absl::StatusOr<std::unique_ptr<ODCPSMResponse>> ParseResponse(std::string_view serialized) override {
      if (serialized == "undecodable") return absl::InternalError("Failed to deserialize PSM Response.");
      auto response = std::make_unique<Response>();
      std::string text(serialized);
      for (std::size_t start = 0; !text.empty();) {
        std::size_t comma = text.find(',', start);
        response->values.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      return response;
    }
    absl::StatusOr<std::vector<std::string>> ProcessResponse(const ODCPSMResponse& response) override {
      if (!owner_->processStatus.ok()) return owner_->processStatus;
      return static_cast<const Response&>(response).values;
    }
    std::string SerializedMVsFromValues(const std::vector<std::string>& values) override {
      std::string joined;
      for (const auto& v : values) joined += (joined.empty() ? "" : "|") + v;
      return joined;
    }

   private:
    struct Response : ODCPSMResponse {
      std::vector<std::string> values;
    };
    std::shared_ptr<FakePSM> owner_;
  };

  static ODCPSMClientFactory factory(const std::shared_ptr<FakePSM>& fake) {
    return [fake](std::string_view matchingID, std::string_view date, std::string_view bundleID,
                  std::int32_t prefix) -> absl::StatusOr<std::unique_ptr<ODCPSMClient>> {
      {
        std::lock_guard lock(fake->mutex);
        fake->creations.push_back({std::string(matchingID), std::string(date), std::string(bundleID), prefix});
        if (!fake->createStatus.ok()) return fake->createStatus;
      }
      return std::unique_ptr<ODCPSMClient>(new Client(fake));
    };
  }
};

inline std::string json(const foundation::Dictionary& object) { return *foundation::serializeJSON(object); }

inline testkit::Answer configAnswer(const std::string& extensionData = "ext-1") {
  foundation::Dictionary config{{"matching_id", "AAEC"}, {"bucketed_date", "2024-01-15"}, {"prefix_length", 12}};
  if (!extensionData.empty()) config["extension_data"] = extensionData;
  return {200, {}, json(config)};
}

inline testkit::Answer candidatesAnswer(const std::vector<std::string>& values) {
  return {200, {}, json({{"psm_response", absl::WebSafeBase64Escape(FakePSM::response(values))}})};
}

inline testkit::Answer validationAnswer(const std::string& measurement, const std::string& aggregate) {
  return {200, {}, json({{"mv_qvz4f", measurement}, {"mv_aaps", aggregate}})};
}

// A query's value for a key, as sent (still percent-encoded); "<absent>" when
// the key is missing.
inline std::string queryValue(const std::string& target, const std::string& key) {
  std::size_t question = target.find('?');
  if (question == std::string::npos) return "<absent>";
  std::string query = target.substr(question + 1);
  for (std::size_t start = 0; start <= query.size();) {
    std::size_t amp = query.find('&', start);
    std::string item = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    if (item.rfind(key + "=", 0) == 0) return item.substr(key.size() + 1);
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return "<absent>";
}

// A home, a fake clock, debug log lines captured.
class ODCTest : public ::testing::Test {
 protected:
  void SetUp() override {
    foundation::setClock(clock);
    DRKSetLoggerLevel(DRKLoggerLevelDebug);
  }
  void TearDown() override {
    DRKSetLoggerLevel(DRKLoggerLevelNotice);
    foundation::setClock(nullptr);
  }

  bool logged(std::int64_t code, const std::string& text = "") const {
    std::string tag = "[" + ODCMessageCode(code) + "] " + text;
    return logs.contains(tag);
  }

  std::shared_ptr<foundation::FakeClock> clock = std::make_shared<foundation::FakeClock>(1.7e9);
  testkit::TemporaryHome home;
  testkit::LogCapture logs;
  std::shared_ptr<FakePSM> psm = std::make_shared<FakePSM>();
};

// The same with an HTTPS server as the on-device conversion endpoint.
class ODCServerTest : public ODCTest {
 protected:
  void SetUp() override {
    ODCTest::SetUp();
    utilities::Endpoints::reset();
    utilities::Endpoints::setOverride(utilities::kEndpointOnDeviceConversion, server.baseURL());
    utilities::Endpoints::setCABundleOverride(server.caBundlePath());
  }
  void TearDown() override {
    utilities::Endpoints::reset();
    ODCTest::TearDown();
  }

  std::vector<testkit::RecordedRequest> requestsTo(const std::string& path) const {
    std::vector<testkit::RecordedRequest> found;
    for (auto& request : server.requests()) {
      if (request.path == path) found.push_back(request);
    }
    return found;
  }

  testkit::TlsServer server;
};

}  // namespace odctest
