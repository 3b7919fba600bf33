#include "platform/utilities/DRKNetwork.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/Random.h"
#include "platform/utilities/Endpoints.h"

namespace {

// A response body beyond this is refused rather than held in memory.
constexpr std::size_t kMaxResponseBytes = 32u << 20;

// Message codes of the client's own log lines.
constexpr std::int64_t kLogRequestRefused = 1;
constexpr std::int64_t kLogTransferFailed = 2;
constexpr std::int64_t kLogRequest = 3;

std::once_flag gCurlInit;

bool isHTTPS(const std::string& url) {
  CURLU* handle = curl_url();
  if (!handle) return false;
  bool ok = curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  char* scheme = nullptr;
  char* host = nullptr;
  ok = ok && curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
       curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK && strcasecmp(scheme, "https") == 0 && *host;
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(handle);
  return ok;
}

// Log lines name the endpoint only: a query may carry identifiers.
std::string withoutQuery(const std::string& url) { return url.substr(0, url.find_first_of("?#")); }

// libcurl writes a header line as given: a line break in a name or value
// would end it and start another header, and a NUL would cut it short.
bool isSafeHeaderText(const std::string& text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

struct DRKNetwork::Transfer {
  std::string id;
  std::string method;
  std::string url;
  DRKHTTPHeaders headers;
  foundation::Data payload;
  double timeout = 60;
  std::string caBundle;
  std::shared_ptr<dispatch::Queue> queue;
  DRKNetworkCompletionHandler handler;

  DRKHTTPURLResponse response;
  foundation::Data body;
  bool tooLarge = false;
  const std::atomic<bool>* stopping = nullptr;
};

std::optional<std::string> DRKHTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
  for (const auto& [field, value] : allHeaderFields) {
    if (field.size() == name.size() && strncasecmp(field.data(), name.data(), name.size()) == 0 && value.isString())
      return *value.string();
  }
  return std::nullopt;
}

DRKNetwork::DRKNetwork() : DRKNetwork(std::string()) {}

DRKNetwork::DRKNetwork(std::string reachabilityHost) : reachabilityHost_(std::move(reachabilityHost)) {
  std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

DRKNetwork::~DRKNetwork() {
  stopping_ = true;
  std::vector<Worker> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& w : workers) {
    // The last owner may let go of the client on one of its own transfer
    // threads (while it logs there); that thread ends on its own.
    if (w.thread.get_id() == std::this_thread::get_id()) {
      w.thread.detach();
    } else {
      w.thread.join();
    }
  }
}

void DRKNetwork::setTimeoutInterval(double seconds) {
  std::lock_guard lock(mutex_);
  if (std::isfinite(seconds) && seconds > 0) timeout_ = seconds;
}

void DRKNetwork::setMaximumTimeoutInterval(double seconds) {
  std::lock_guard lock(mutex_);
  if (std::isfinite(seconds) && seconds > 0) maximumTimeout_ = seconds;
}

void DRKNetwork::setLoggerDelegate(std::weak_ptr<DRKNetworkLoggerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  logger_ = std::move(delegate);
}

void DRKNetwork::setIsDebugModeEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  debug_ = enabled;
}

void DRKNetwork::setReachabilityDelegate(std::weak_ptr<DRKNetworkReachabilityDelegate> delegate) {
  std::lock_guard lock(mutex_);
  reachability_ = std::move(delegate);
}

void DRKNetwork::setNetworkConnected(bool connected) {
  if (connected_.exchange(connected) == connected) return;
  std::shared_ptr<DRKNetworkReachabilityDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = reachability_.lock();
  }
  // Outside the lock: the delegate may set itself again.
  if (delegate) delegate->reachabilityDidChange();
}

void DRKNetwork::log(int level, std::int64_t code, const std::string& message) {
  std::shared_ptr<DRKNetworkLoggerDelegate> logger;
  {
    std::lock_guard lock(mutex_);
    if (level >= 7 && !debug_) return;
    logger = logger_.lock();
  }
  if (logger) logger->DRKNetwork_logWithLevel(level, code, message);
}

std::string DRKNetwork::postURL(const std::string& url, const DRKHTTPHeaders& headers, const foundation::Data& payload,
                                std::shared_ptr<dispatch::Queue> queue, bool /*usingBackgroundSession*/,
                                DRKNetworkCompletionHandler completionHandler) {
  return start("POST", url, headers, &payload, std::move(queue), std::move(completionHandler));
}

std::string DRKNetwork::getURL(const std::string& url, const DRKHTTPHeaders& headers,
                               std::shared_ptr<dispatch::Queue> queue, bool /*usingBackgroundSession*/,
                               DRKNetworkCompletionHandler completionHandler) {
  return start("GET", url, headers, nullptr, std::move(queue), std::move(completionHandler));
}

void DRKNetwork::handleEventsForBackgroundURLSessionID(const std::string&,
                                                       const std::function<void()>& completionHandler) {
  if (completionHandler) completionHandler();
}

void DRKNetwork::reapFinished() {
  std::vector<Worker> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->done->load()) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : finished) w.thread.join();
}

std::string DRKNetwork::start(std::string method, const std::string& url, const DRKHTTPHeaders& headers,
                              const foundation::Data* payload, std::shared_ptr<dispatch::Queue> queue,
                              DRKNetworkCompletionHandler handler) {
  if (!isHTTPS(url)) {
    log(3, kLogRequestRefused, "Refused a request to a URL that is not https: " + withoutQuery(url));
    return "";
  }
  for (const auto& [name, value] : headers) {
    if (!isSafeHeaderText(name) || !isSafeHeaderText(value)) {
      log(3, kLogRequestRefused,
          "Refused a request with a header name or value holding a line break or NUL: " + withoutQuery(url));
      return "";
    }
  }
  auto uuid = foundation::UUID::random();
  if (!uuid) {
    log(3, kLogRequestRefused, "No session could be made: " + uuid.error().description);
    return "";
  }
  reapFinished();

  auto transfer = std::make_shared<Transfer>();
  transfer->id = uuid->uuidString();
  transfer->method = std::move(method);
  transfer->url = url;
  transfer->headers = headers;
  if (payload) transfer->payload = *payload;
  transfer->caBundle = utilities::Endpoints::caBundle();
  transfer->queue = queue ? std::move(queue) : dispatch::Queue::global();
  transfer->handler = std::move(handler);
  transfer->stopping = &stopping_;
  {
    std::lock_guard lock(mutex_);
    transfer->timeout = std::min(timeout_, maximumTimeout_);
  }
  if (transfer->method == "POST") ++*uploads_;
  log(7, kLogRequest, transfer->method + " " + withoutQuery(url));

  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(mutex_);
  workers_.push_back({std::thread([this, transfer, done] {
                        run(transfer);
                        *done = true;
                      }),
                      done});
  return transfer->id;
}

void DRKNetwork::run(const std::shared_ptr<Transfer>& t) {
  char errorText[CURL_ERROR_SIZE] = {0};
  CURL* curl = curl_easy_init();
  std::optional<foundation::Error> error;
  if (!curl) {
    error = foundation::Error(kDRKNetworkErrorDomain, CURLE_FAILED_INIT, "cannot start a transfer");
  } else {
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : t->headers) headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
    headerList = curl_slist_append(headerList, "Expect:");

    curl_easy_setopt(curl, CURLOPT_URL, t->url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CAINFO, t->caBundle.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(t->timeout * 1000));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
    if (t->method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->payload.size()));
      // Never a null pointer: libcurl would read the body from standard input.
      static const char kEmpty[] = "";
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS,
                       t->payload.empty() ? kEmpty : reinterpret_cast<const char*>(t->payload.data()));
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
      auto* transfer = static_cast<Transfer*>(user);
      std::size_t n = size * count;
      if (transfer->body.size() + n > kMaxResponseBytes) {
        transfer->tooLarge = true;
        return 0;
      }
      transfer->body.insert(transfer->body.end(), data, data + n);
      return n;
    });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
      auto* transfer = static_cast<Transfer*>(user);
      std::size_t n = size * count;
      std::string line(data, n);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (line.rfind("HTTP/", 0) == 0) {
        transfer->response.allHeaderFields.clear();  // a new response (after a redirect)
      } else if (auto colon = line.find(':'); colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        transfer->response.allHeaderFields[line.substr(0, colon)] = value;
      }
      return n;
    });
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t.get());
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION,
                     +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                       return static_cast<Transfer*>(user)->stopping->load() ? 1 : 0;
                     });

    CURLcode result = curl_easy_perform(curl);
    if (result == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      curl_off_t length = -1;
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      char* effective = nullptr;
      curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
      t->response.statusCode = status;
      t->response.expectedContentLength = length;
      t->response.URL = effective ? effective : t->url;
    } else {
      std::int64_t code = result;
      std::string text = curl_easy_strerror(result);
      if (t->tooLarge) {
        code = kDRKNetworkErrorResponseTooLarge;
        text = "response larger than " + std::to_string(kMaxResponseBytes) + " bytes";
      } else if (result == CURLE_ABORTED_BY_CALLBACK) {
        code = kDRKNetworkErrorCancelled;
        text = "cancelled";
      } else if (errorText[0]) {
        text += ": ";
        text += errorText;
      }
      error = foundation::Error(kDRKNetworkErrorDomain, code, text);
    }
    curl_slist_free_all(headerList);
    curl_easy_cleanup(curl);
  }

  std::shared_ptr<std::atomic<int>> uploads = t->method == "POST" ? uploads_ : nullptr;
  if (error) {
    // A failed transfer reports no partial response.
    t->response = DRKHTTPURLResponse{};
    t->response.URL = t->url;
    t->body.clear();
    // Last use of the client: the logger may hold its last reference.
    log(4, kLogTransferFailed, t->method + " " + withoutQuery(t->url) + " failed: " + error->description);
  }
  t->queue->async([t, error, uploads] {
    auto handler = std::move(t->handler);
    if (uploads) --*uploads;
    if (handler) handler(t->response, t->body, error);
  });
}
