#include "testing/TlsServer.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <strings.h>

#include "platform/foundation/Files.h"

namespace testkit {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

EVP_PKEY* newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  check(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* newCertificate(const std::string& commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long serial) {
  X509* cert = X509_new();
  check(cert != nullptr, "certificate");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : cert;
  if (issuer) {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(cert, signer, NID_ext_key_usage, "serverAuth");
    addExtension(cert, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  } else {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(cert, signer, NID_subject_key_identifier, "hash");
  }
  check(X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
  return cert;
}

}  // namespace

CertificateAuthority::CertificateAuthority(const std::string& name) {
  key_ = newKey();
  certificate_ = newCertificate(name, key_, nullptr, nullptr, 1);
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolv-ca-XXXXXX";
  check(::mkdtemp(pattern.data()) != nullptr, "temporary folder");
  directory_ = pattern;
  bundlePath_ = directory_ + "/ca.pem";
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate_);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  auto written = foundation::writeFileAtomically(bundlePath_, std::string_view(data, static_cast<std::size_t>(length)));
  BIO_free(bio);
  check(written.ok(), "CA bundle file");
}

CertificateAuthority::~CertificateAuthority() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
  (void)foundation::removeItem(directory_);
}

void CertificateAuthority::issueServerCertificate(X509** certificate, EVP_PKEY** key) const {
  static std::atomic<long> serial{100};
  *key = newKey();
  *certificate = newCertificate("127.0.0.1", *key, certificate_, key_, serial++);
}

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return "";
}

TlsServer::TlsServer() {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  authority_.issueServerCertificate(&cert, &key);
  server_ = std::make_unique<httplib::SSLServer>(cert, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  check(server_->is_valid(), "server context");

  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded;
    recorded.method = request.method;
    recorded.path = request.path;
    recorded.target = request.target;
    recorded.body = request.body;
    for (const auto& [name, value] : request.headers) recorded.headers.emplace(name, value);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(recorded));
    }
    Answer a = next(request.method, request.path);
    if (a.neverAnswer) {
      // Real time on purpose: this only bounds how long a worker is held.
      std::unique_lock lock(mutex_);
      stopping_.wait_for(lock, std::chrono::minutes(1), [this] { return stopped_; });
      return;
    }
    response.status = a.status;
    std::string contentType = "application/octet-stream";
    for (const auto& [name, value] : a.headers) {
      if (strcasecmp(name.c_str(), "Content-Type") == 0) {
        contentType = value;
      } else {
        response.set_header(name, value);
      }
    }
    if (a.dropConnection) {
      // Promise a body, then fail the write: the connection closes early.
      response.set_content_provider(
          a.body.size() + 100, contentType,
          [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    } else if (!a.body.empty() || (a.status != 204 && a.status != 304)) {
      response.set_content(a.body, contentType);
    }
  };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  server_->Put(".*", handler);
  server_->Delete(".*", handler);
  port_ = server_->bind_to_any_port("127.0.0.1");
  check(port_ > 0, "bind to 127.0.0.1");
  // The socket already listens: connections wait in its backlog until the
  // loop accepts them.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only ends a loop that is running: wait (bounded) until it is.
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  check(server_->is_running(), "server loop");
}

TlsServer::~TlsServer() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string TlsServer::baseURL() const { return "https://127.0.0.1:" + std::to_string(port_); }

void TlsServer::answer(const std::string& method, const std::string& path, Answer a) {
  answerInTurn(method, path, {std::move(a)});
}

void TlsServer::answerInTurn(const std::string& method, const std::string& path, std::vector<Answer> answers) {
  std::lock_guard lock(mutex_);
  scripts_[method + " " + path] = std::move(answers);
  served_[method + " " + path] = 0;
}

Answer TlsServer::next(const std::string& method, const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = scripts_.find(method + " " + path);
  if (it == scripts_.end() || it->second.empty()) return Answer{404, {}, "not scripted"};
  std::size_t& n = served_[it->first];
  const Answer& a = it->second[std::min(n, it->second.size() - 1)];
  ++n;
  return a;
}

std::vector<RecordedRequest> TlsServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace testkit
