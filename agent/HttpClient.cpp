#include "HttpClient.h"

#include <curl/curl.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace tether {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Whether fd is readable now, or becomes readable within timeout.
bool readable(int fd, milliseconds timeout) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (n >= 0) return n > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (errno != EINTR) return false;
  }
}

struct CurlList {
  curl_slist* head = nullptr;
  ~CurlList() { curl_slist_free_all(head); }
  bool append(const std::string& line) {
    curl_slist* next = curl_slist_append(head, line.c_str());
    if (!next) return false;
    head = next;
    return true;
  }
};

}  // namespace

struct HttpClient::Impl {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  char errorText[CURL_ERROR_SIZE] = {};
  std::string body;
  std::size_t maxBody = 0;
  bool overCap = false;
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t headerBytes = 0;

  // One header line at a time; a status line starts the fields of another answer (after a
  // redirect or an interim answer).
  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Impl*>(user);
    const std::size_t bytes = size * count;
    std::string_view line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      self->headers.clear();
      self->headerBytes = 0;
      return bytes;
    }
    const auto colon = line.find(':');
    self->headerBytes += bytes;
    if (colon == std::string_view::npos || self->headerBytes > kMaxHeaderBytes) return bytes;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    self->headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    return bytes;
  }
  static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Impl*>(user);
    const std::size_t bytes = size * count;
    if (bytes > self->maxBody - self->body.size()) {
      self->overCap = true;
      return 0;  // anything but bytes fails the transfer
    }
    if (self->body.empty()) {
      curl_off_t length = -1;
      if (curl_easy_getinfo(self->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
          length > 0 && static_cast<std::size_t>(length) <= self->maxBody) {
        self->body.reserve(static_cast<std::size_t>(length));
      }
    }
    self->body.append(data, bytes);
    return bytes;
  }
};

HttpClient::HttpClient(int stopFd, Limits limits)
    : limits_(limits), stopFd_(stopFd), impl_(std::make_unique<Impl>()) {
  impl_->maxBody = limits_.maxBodyBytes;
}

HttpClient::~HttpClient() {
  if (impl_->easy) curl_easy_cleanup(impl_->easy);
  if (impl_->multi) curl_multi_cleanup(impl_->multi);
}

// The handles are made on the first request, so that creating the agent stays cheap and opens
// nothing; they are kept from then on.
bool HttpClient::ready() {
  if (impl_->easy) return true;
  globalInit();
  CURLM* multi = curl_multi_init();
  CURL* e = curl_easy_init();
  if (!e || !multi) {
    if (e) curl_easy_cleanup(e);
    if (multi) curl_multi_cleanup(multi);
    return false;  // tried again on the next request
  }
  impl_->multi = multi;
  impl_->easy = e;
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, impl_->errorText);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, impl_.get());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, impl_.get());
  // Decoded as it arrives, so the body bound counts decoded bytes.
  curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip");
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  const long idleSeconds = static_cast<long>(std::max<int64_t>(1, limits_.idleTimeout.count()));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, idleSeconds);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, idleSeconds);
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits_.maxBodyBytes));
  if (!limits_.certificateAuthorities.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, limits_.certificateAuthorities.c_str());
  }
  return true;
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return value;
    }
  }
  return std::nullopt;
}

bool HttpClient::parsesAsURL(const std::string& text) { return hostOf(text).has_value(); }

std::optional<std::string> HttpClient::hostOf(const std::string& text) {
  // "scheme://" and then the host: libcurl would read "http:///v1/policy" as the host "v1".
  const auto colon = text.find("://");
  if (colon == std::string::npos || colon == 0 || text.size() <= colon + 3 ||
      text[colon + 3] == '/') {
    return std::nullopt;
  }
  globalInit();
  CURLU* url = curl_url();
  if (!url) return std::nullopt;
  std::optional<std::string> found;
  if (curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK) {
    char* host = nullptr;
    if (curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) found = host;
    curl_free(host);
  }
  curl_url_cleanup(url);
  return found;
}

Result<HttpResponse> HttpClient::send(const HttpRequest& request) {
  using Failure = Result<HttpResponse>;
  if (readable(stopFd_, milliseconds(0))) return Failure::failure(kInterrupted);
  if (!ready()) return Failure::failure("the HTTP client could not be set up");

  CurlList headers;
  for (const auto& line : request.headers) {
    if (!headers.append(line)) return Failure::failure("out of memory");
  }
  // A body is sent at once rather than after a "100 Continue" that some servers never send.
  if (!headers.append("Expect:")) return Failure::failure("out of memory");

  CURL* e = impl_->easy;
  curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
  // A request made over https is never redirected to plain http, where its token and body
  // would travel in clear text.
  const bool https = request.url.size() >= 6 && strncasecmp(request.url.c_str(), "https:", 6) == 0;
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.head);
  // No pointer into an earlier request's body stays behind.
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
  if (request.method == "POST" || !request.body.empty()) {
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
  }
  if (request.method != "GET" && request.method != "POST") {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  const auto start = Clock::now();
  const auto deadline = start + request.timeout;
  const auto waitUntil = std::min(deadline, start + limits_.connectivityWait);

  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (left <= milliseconds(0)) return Failure::failure("The request timed out.");
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    impl_->errorText[0] = '\0';
    impl_->body.clear();
    impl_->overCap = false;
    impl_->headers.clear();
    impl_->headerBytes = 0;

    bool interrupted = false;
    CURLcode result = CURLE_OK;
    CURLMcode mc = curl_multi_add_handle(impl_->multi, e);
    if (mc != CURLM_OK) return Failure::failure(curl_multi_strerror(mc));
    for (;;) {
      int running = 0;
      mc = curl_multi_perform(impl_->multi, &running);
      if (mc != CURLM_OK || running == 0) break;
      curl_waitfd stop{stopFd_, CURL_WAIT_POLLIN, 0};
      mc = curl_multi_poll(impl_->multi, &stop, stopFd_ >= 0 ? 1 : 0, 1000, nullptr);
      if (mc != CURLM_OK) break;
      if (stop.revents != 0) {
        interrupted = true;
        break;
      }
    }
    bool done = false;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(impl_->multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) {
        result = msg->data.result;
        done = true;
      }
    }
    curl_multi_remove_handle(impl_->multi, e);

    if (interrupted) {
      impl_->body = std::string();
      return Failure::failure(kInterrupted);
    }
    if (mc != CURLM_OK) return Failure::failure(curl_multi_strerror(mc));
    if (!done) return Failure::failure("the transfer ended without a result");

    if (result == CURLE_OK) {
      HttpResponse response;
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &response.status);
      response.body = std::move(impl_->body);
      response.headers = std::move(impl_->headers);
      impl_->body = std::string();
      return response;
    }

    impl_->body = std::string();
    if (impl_->overCap || result == CURLE_FILESIZE_EXCEEDED) {
      return Failure::failure("response body larger than " + std::to_string(limits_.maxBodyBytes) +
                              " bytes");
    }
    long osError = 0;
    curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &osError);
    const bool noRoute = result == CURLE_COULDNT_CONNECT && osError == ENETUNREACH;
    if (noRoute && Clock::now() + std::chrono::seconds(1) < waitUntil) {
      // No network at all: wait for it to come back, as long as the stop request allows.
      if (readable(stopFd_, milliseconds(1000))) return Failure::failure(kInterrupted);
      continue;
    }
    std::string text = impl_->errorText[0] ? impl_->errorText : curl_easy_strerror(result);
    if (osError != 0) text += " (" + std::string(std::strerror(static_cast<int>(osError))) + ")";
    return Failure::failure(std::move(text));
  }
}

}  // namespace tether
