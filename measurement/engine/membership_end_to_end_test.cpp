// The membership lookup end to end: a running engine with the linked lookup
// client asks a server over HTTPS whether an e-mail address is a member, and
// the server (testing/membership_server.py) does its side of the protocol
// with code of its own in Python: its own curve arithmetic, hash to the
// curve, key, buckets and value cipher. Before the lookups, both sides are
// held against the published fixtures, so a disagreement shows up as a
// failed fixture rather than as a lookup that silently finds nothing.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/escaping.h"
#include "measurement/api/ZNHAnalytics.h"
#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMScheduler.h"
#include "measurement/identity/QZMIdentity.h"
#include "platform/utilities/Endpoints.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/shutters/cpp/crypto/context.h"
#include "privacy/shutters/cpp/crypto/ec_group.h"
#include "privacy/shutters/cpp/crypto/ec_point.h"
#include "testing/MeasurementHost.h"
#include "testing/TlsServer.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Try-and-increment hashes to P-256 with SHA-256 (compressed points), read
// twice, in Python and in C++, when the fixtures were made.
const std::vector<std::pair<std::string, std::string>> kHashFixtures = {
    {"", "026b51b9d722460e1f8073e65a824ebe2282f2d7d945491f150c1c04e6e553bb23"},
    {"abc", "024a7bcb50c5b44beff90f58600a36aab7c4f606587ed715496be543139bf899a5"},
};
// AES-256-CTR, SP 800-38A F.5.5.
constexpr const char* kAesKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
constexpr const char* kAesCounter = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
constexpr const char* kAesPlaintext =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
constexpr const char* kAesCiphertext =
    "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
    "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6";

std::string fromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

// The server script run by python3, talking through its standard streams.
class PythonServer {
 public:
  explicit PythonServer(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"python3", TOLV_MEMBERSHIP_SERVER});
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }

  ~PythonServer() {
    if (input_ >= 0) close(input_);  // the server's cue to stop
    if (pid_ > 0) {
      auto deadline = std::chrono::steady_clock::now() + 60s;
      int status = 0;
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(5ms);
      }
    }
    if (output_ >= 0) close(output_);
  }

  bool started() const { return pid_ > 0; }

  // The next line the server prints; nullopt when none comes in time.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd ready{output_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      ssize_t read = ::read(output_, chunk, sizeof chunk);
      if (read <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(read));
    }
  }

  // Every line until the output closes.
  std::vector<std::string> allLines() {
    std::vector<std::string> lines;
    while (auto line = readLine()) lines.push_back(*line);
    return lines;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

TEST(MembershipServerFixtures, ThePythonServerAndTheClientAgreeOnTheFixtures) {
  PythonServer check({"check"});
  ASSERT_TRUE(check.started());
  std::vector<std::string> lines = check.allLines();
  ASSERT_EQ(lines.size(), 3u) << "python3 did not run the check";

  auto context = shutters::Context::Create();
  ASSERT_TRUE(context.ok());
  auto group = shutters::ECGroup::Create(415, context->get());
  ASSERT_TRUE(group.ok());
  for (std::size_t i = 0; i < kHashFixtures.size(); ++i) {
    const auto& [message, point] = kHashFixtures[i];
    SCOPED_TRACE(message);
    std::string shown = message.empty() ? "-" : absl::BytesToHexString(message);
    EXPECT_EQ(lines[i], "hash " + shown + " " + point) << "the Python side";
    auto hashed = group->HashToCurveSha256(message);
    ASSERT_TRUE(hashed.ok());
    auto compressed = hashed->ToCompressedBytes();
    ASSERT_TRUE(compressed.ok());
    EXPECT_EQ(absl::BytesToHexString(*compressed), point) << "the C++ side";
  }

  EXPECT_EQ(lines[2], std::string("aes ") + kAesCiphertext) << "the Python side";
  auto cipher = private_membership::AesCtr256NoAuth::Create(fromHex(kAesKey));
  ASSERT_TRUE(cipher.ok());
  auto plaintext = (*cipher)->Decrypt(fromHex(kAesCounter) + fromHex(lines[2].substr(4)));
  ASSERT_TRUE(plaintext.ok());
  EXPECT_EQ(absl::BytesToHexString(*plaintext), kAesPlaintext) << "the C++ side reads what Python wrote";
}

class MembershipEndToEnd : public testkit::MeasurementHost, public ::testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    MeasurementHost::TearDown();
    server_.reset();
    utilities::Endpoints::reset();
  }

  // Starts the Python server with a certificate of the test's authority and
  // points every endpoint at it.
  void startServer(const std::vector<std::string>& members) {
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
    authority_.issueServerCertificate(&certificate, &key);
    std::string certificatePath = home->root() + "/server-cert.pem";
    std::string keyPath = home->root() + "/server-key.pem";
    FILE* file = std::fopen(certificatePath.c_str(), "w");
    ASSERT_TRUE(file && PEM_write_X509(file, certificate));
    std::fclose(file);
    file = std::fopen(keyPath.c_str(), "w");
    ASSERT_TRUE(file && PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr));
    std::fclose(file);
    X509_free(certificate);
    EVP_PKEY_free(key);

    std::vector<std::string> arguments = {"serve",    "--cert",   certificatePath,
                                          "--key",    keyPath,    "--app-id",
                                          engine()->identity()->appID(), "--scheme", std::to_string(GetParam())};
    for (const auto& member : members) {
      arguments.push_back("--member");
      arguments.push_back(member);
    }
    server_ = std::make_unique<PythonServer>(arguments);
    ASSERT_TRUE(server_->started());
    std::optional<std::string> port = server_->readLine();
    ASSERT_TRUE(port && port->rfind("port ", 0) == 0) << "the server did not start";
    std::string baseURL = "https://127.0.0.1:" + port->substr(5);
    for (const char* name : {utilities::kEndpointMeasurement, utilities::kEndpointExperiments,
                             utilities::kEndpointConversionValues, utilities::kEndpointSearchAds,
                             utilities::kEndpointAdServices, utilities::kEndpointOnDeviceConversion}) {
      utilities::Endpoints::setOverride(name, baseURL);
    }
    utilities::Endpoints::setCABundleOverride(authority_.bundlePath());
  }

  // The next lookup the server saw, as its query without the request.
  std::string nextLookup() {
    while (auto line = server_->readLine()) {
      if (line->rfind("request /pagead/conversion/app/psm ", 0) == 0) return line->substr(35);
    }
    return "<none>";
  }

  // Waits, bounded in real time, for the line that ends a lookup.
  bool waitForAnswer(std::size_t answersBefore) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      settleEngine();
      if (linesWithCode(23229).size() + linesWithCode(23230).size() + linesWithCode(23228).size() > answersBefore) {
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  std::size_t answers() {
    return linesWithCode(23229).size() + linesWithCode(23230).size() + linesWithCode(23228).size();
  }

  std::optional<std::string> stored(const std::string& property) {
    auto row = engine()->database()->userAttributeWithName(property);
    if (!row.ok() || !*row) return std::nullopt;
    return (*row)->value.description();
  }

  testkit::CertificateAuthority authority_;
  std::unique_ptr<PythonServer> server_;
};

TEST_P(MembershipEndToEnd, TheLinkedClientFindsAMemberAndNotAStranger) {
  utilities->addClass(kODCPSMClientClassName);
  ASSERT_TRUE(configure().ok());
  startServer({"otter@example.com=conv-42", "badger@example.com=conv-7"});

  std::size_t before = answers();
  ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("stranger@example.com");
  ASSERT_TRUE(waitForAnswer(before));
  EXPECT_EQ(linesWithCode(23230).size(), 1u) << "no match for a stranger";
  EXPECT_TRUE(linesWithCode(23228).empty());
  EXPECT_EQ(stored("_psmvalue"), std::nullopt);
  EXPECT_EQ(stored("_psmcount"), "1");
  std::string lookup = nextLookup();
  EXPECT_NE(lookup.find(R"("psm_count": "0")"), std::string::npos) << lookup;
  EXPECT_NE(lookup.find(R"("retry_count": "0")"), std::string::npos) << lookup;

  // The facade pauses its calls briefly after handing user data over.
  clock->advance(1);
  before = answers();
  ZNHAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("Otter@Example.com");
  ASSERT_TRUE(waitForAnswer(before));
  ASSERT_EQ(linesWithCode(23229).size(), 1u) << "a match for the member";
  // The value comes back as web-safe Base64 of its bytes: "conv-42".
  EXPECT_EQ(stored("_psmvalue"), "Y29udi00Mg");
  auto row = engine()->database()->ODMValueWithName("odm1_value");
  ASSERT_TRUE(row.ok() && !row->empty());
  EXPECT_EQ(row->at("value").description(), "Y29udi00Mg");
  EXPECT_EQ(stored("_psmcount"), "2");
  lookup = nextLookup();
  EXPECT_NE(lookup.find(R"("psm_count": "1")"), std::string::npos) << lookup;
}

INSTANTIATE_TEST_SUITE_P(ValueCiphers, MembershipEndToEnd, ::testing::Values(1, 2),
                         [](const auto& info) { return "scheme" + std::to_string(info.param); });

}  // namespace
