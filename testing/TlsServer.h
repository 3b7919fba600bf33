// An HTTPS server on 127.0.0.1 for tests: a certificate authority and a
// server certificate (for 127.0.0.1 and localhost) are made when it starts,
// answers are scripted per method and path, and every request is recorded.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace httplib {
class SSLServer;
}

namespace testkit {

// A certificate authority made in memory, with its certificate written to a
// PEM file that clients use as their CA bundle.
class CertificateAuthority {
 public:
  explicit CertificateAuthority(const std::string& name = "tolv test CA");
  ~CertificateAuthority();
  CertificateAuthority(const CertificateAuthority&) = delete;
  CertificateAuthority& operator=(const CertificateAuthority&) = delete;

  const std::string& bundlePath() const { return bundlePath_; }
  // A leaf certificate for 127.0.0.1 and localhost signed by this authority,
  // with its private key; the caller frees both.
  void issueServerCertificate(X509** certificate, EVP_PKEY** key) const;

 private:
  EVP_PKEY* key_ = nullptr;
  X509* certificate_ = nullptr;
  std::string directory_;
  std::string bundlePath_;
};

struct Answer {
  int status = 200;
  std::multimap<std::string, std::string> headers;
  std::string body;
  // Sends the status line and headers, then closes the connection before the
  // promised body.
  bool dropConnection = false;
  // Sends nothing at all: the request stays open until the server stops (or
  // a minute has passed), so the client's time-out ends it.
  bool neverAnswer = false;
};

struct RecordedRequest {
  std::string method;
  std::string path;    // without the query
  std::string target;  // as sent, query included
  std::multimap<std::string, std::string> headers;
  std::string body;
  std::string header(const std::string& name) const;  // first value, case-insensitive name; "" when none
};

class TlsServer {
 public:
  TlsServer();
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // "https://127.0.0.1:<port>"
  std::string baseURL() const;
  int port() const { return port_; }
  // The CA file a client must trust to reach this server.
  const std::string& caBundlePath() const { return authority_.bundlePath(); }

  // Every request to method and path gets the answer; unscripted paths get 404.
  void answer(const std::string& method, const std::string& path, Answer answer);
  // Requests get the answers in turn; the last one repeats.
  void answerInTurn(const std::string& method, const std::string& path, std::vector<Answer> answers);

  std::vector<RecordedRequest> requests() const;

 private:
  Answer next(const std::string& method, const std::string& path);

  CertificateAuthority authority_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::map<std::string, std::vector<Answer>> scripts_;
  std::map<std::string, std::size_t> served_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace testkit
