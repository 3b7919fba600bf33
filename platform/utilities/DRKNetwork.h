// `DRKNetwork`: the SDK's HTTPS client on libcurl. Each accepted request gets
// its completion exactly once, on the queue it was given: the HTTP status,
// headers and body, or status 0 with an error when the transfer failed (no
// connection, a refused certificate, a dropped connection, a time-out).
// Only https URLs are accepted, and TLS is always verified against the CA
// bundle of the endpoint configuration. Bodies are passed as they come: no
// compression is added or removed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

inline constexpr std::int64_t kDRKNetworkHTTPStatusOK = 200;
inline constexpr std::int64_t kDRKNetworkHTTPStatusNoContent = 204;
inline constexpr std::int64_t kDRKNetworkHTTPStatusCodeNotModified = 304;
inline constexpr std::int64_t kDRKNetworkHTTPStatusCodeNotFound = 404;
inline constexpr std::int64_t kDRKNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr std::int64_t kDRKNetworkHTTPStatusCodeUnavailable = 503;

inline constexpr const char* kDRKNetworkErrorDomain = "DRKNetwork";
// Error codes besides libcurl's own (which are passed on as they are).
inline constexpr std::int64_t kDRKNetworkErrorResponseTooLarge = 10001;
inline constexpr std::int64_t kDRKNetworkErrorCancelled = 10002;

struct DRKHTTPURLResponse {
  std::int64_t statusCode = 0;
  // -1 when the server did not say.
  std::int64_t expectedContentLength = -1;
  // Header names as the server sent them; a repeated header keeps the last value.
  foundation::Dictionary allHeaderFields;
  std::string URL;

  // A header's value, its name matched without regard to case as HTTP names
  // are (an HTTP/2 server sends every name in lower case); nullopt when the
  // response has no such header.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

using DRKHTTPHeaders = std::map<std::string, std::string>;
using DRKNetworkCompletionHandler =
    std::function<void(const DRKHTTPURLResponse& response, const foundation::Data& body,
                       const std::optional<foundation::Error>& error)>;

class DRKNetworkLoggerDelegate {
 public:
  virtual ~DRKNetworkLoggerDelegate() = default;
  // Levels as syslog numbers, 3 (error) to 7 (debug).
  virtual void DRKNetwork_logWithLevel(int level, std::int64_t messageCode, const std::string& message) = 0;
};

class DRKNetworkReachabilityDelegate {
 public:
  virtual ~DRKNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

class DRKNetwork {
 public:
  DRKNetwork();
  // The host only names what reachability would watch.
  explicit DRKNetwork(std::string reachabilityHost);
  // Stops transfers in flight (their completions report a cancellation) and
  // waits for them.
  ~DRKNetwork();
  DRKNetwork(const DRKNetwork&) = delete;
  DRKNetwork& operator=(const DRKNetwork&) = delete;

  // Applies to requests started afterwards; 60 s unless set.
  void setTimeoutInterval(double seconds);
  // No request lasts longer than this, whatever its time-out; for hosts
  // (and tests) that cannot wait as long as their callers ask.
  void setMaximumTimeoutInterval(double seconds);
  void setLoggerDelegate(std::weak_ptr<DRKNetworkLoggerDelegate> delegate);
  void setIsDebugModeEnabled(bool enabled);
  // Held weakly: an empty one stops the calls.
  void setReachabilityDelegate(std::weak_ptr<DRKNetworkReachabilityDelegate> delegate);
  // Desktop connectivity is taken as present until the host (or a test)
  // says otherwise; a change is told to the reachability delegate, on the
  // caller's thread.
  void setNetworkConnected(bool connected);
  bool isNetworkConnected() const { return connected_.load(); }
  // True while a POST is in flight, until its completion runs on its queue:
  // the flag drops there, just before the handler, so that a caller on that
  // queue never sees it down while the answer is still on its way, and the
  // handler itself may start the next upload.
  bool hasUploadInProgress() const { return uploads_->load() > 0; }

  // Answer a session id, or "" when the request was not accepted (a URL that
  // is not https, a header name or value holding CR, LF or NUL); a request
  // that was not accepted gets no completion and sends nothing. A null
  // queue means the global queue. There are no background sessions here: the
  // flag is accepted and ignored.
  std::string postURL(const std::string& url, const DRKHTTPHeaders& headers, const foundation::Data& payload,
                      std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                      DRKNetworkCompletionHandler completionHandler);
  std::string getURL(const std::string& url, const DRKHTTPHeaders& headers, std::shared_ptr<dispatch::Queue> queue,
                     bool usingBackgroundSession, DRKNetworkCompletionHandler completionHandler);

  // Background-session events have nothing pending here: completes at once.
  static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                    const std::function<void()>& completionHandler);

 private:
  struct Transfer;
  std::string start(std::string method, const std::string& url, const DRKHTTPHeaders& headers,
                    const foundation::Data* payload, std::shared_ptr<dispatch::Queue> queue,
                    DRKNetworkCompletionHandler handler);
  void run(const std::shared_ptr<Transfer>& transfer);
  void log(int level, std::int64_t code, const std::string& message);
  void reapFinished();

  std::string reachabilityHost_;
  // Shared with completions, which may run after the client is gone.
  std::shared_ptr<std::atomic<int>> uploads_ = std::make_shared<std::atomic<int>>(0);
  std::atomic<bool> connected_{true};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  double timeout_ = 60;
  double maximumTimeout_ = std::numeric_limits<double>::infinity();
  bool debug_ = false;
  std::weak_ptr<DRKNetworkLoggerDelegate> logger_;
  std::weak_ptr<DRKNetworkReachabilityDelegate> reachability_;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers_;
};
