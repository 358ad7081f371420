#include "core/network/QXCurlTransport.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>

#include "core/QXUtils.h"
#include "core/network/QXCurlResult.h"

namespace {

// Idle handles kept for reuse; more are made as requests need them.
constexpr size_t kIdleHandles = 16;

size_t discardBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

// curl sends this very line with the body of a POST unless told otherwise,
// and copies it in whole; given as a header of the request's own, it would be
// formatted a character at a time, for every hit.
bool isCurlsOwnContentType(std::string_view name, std::string_view value) {
  return QXUtils::equalsIgnoringCase(name, "Content-Type") &&
         value == "application/x-www-form-urlencoded";
}

curl_socket_t openCloseOnExec(void*, curlsocktype, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace

// One request under way: what curl reads from while it runs.
struct QXCurlTransport::Transfer {
  uint64_t token = 0;
  CURL* easy = nullptr;
  QXHTTPRequest request;
  // Read by curl until the transfer ends; shared with the transfers to the
  // same URL. Null: curl parses request.url itself.
  std::shared_ptr<CURLU> url;
  curl_slist* headers = nullptr;
  char error[CURL_ERROR_SIZE] = {0};
  bool statusSeen = false;
  bool headEnded = false;

  ~Transfer() { curl_slist_free_all(headers); }

  // Told of each line of each answer's head (a 1xx one included): the head
  // of the final answer ended only once its blank line came.
  static size_t onHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
      transfer->statusSeen = true;
      transfer->headEnded = false;
    } else if ((line == "\r\n" || line == "\n") && transfer->statusSeen) {
      transfer->headEnded = true;
    }
    return size * count;
  }
};

void QXCurlTransport::globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void QXCurlTransport::keepTLSThroughExit() noexcept {
  // Looked up in the process, not linked: curl may have been built with
  // another TLS library, and then there is nothing to ask. The option's
  // value is OPENSSL_INIT_NO_ATEXIT, the same since OpenSSL 1.1.1.
  constexpr uint64_t kNoExitHandler = 0x00080000;
  void* symbol = ::dlsym(RTLD_DEFAULT, "OPENSSL_init_crypto");
  if (symbol == nullptr) return;
  int (*initCrypto)(uint64_t, const void*) = nullptr;
  static_assert(sizeof initCrypto == sizeof symbol, "a function pointer fits a data pointer");
  std::memcpy(&initCrypto, &symbol, sizeof symbol);
  initCrypto(kNoExitHandler, nullptr);
}

long QXCurlTransport::timeoutMilliseconds(std::chrono::milliseconds timeout) {
  const auto count = timeout.count();
  if (count <= 0) return 0;
  if (static_cast<uint64_t>(count) >= static_cast<uint64_t>(std::numeric_limits<long>::max()))
    return std::numeric_limits<long>::max();
  return static_cast<long>(count);
}

std::shared_ptr<CURLU> QXCurlTransport::parse(const std::string& url) {
  std::shared_ptr<CURLU> parsed(curl_url(), &curl_url_cleanup);
  // Parsed as the requestable check parses it; a URL that passed it parses.
  if (parsed == nullptr || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return nullptr;
  return parsed;
}

QXCurlTransport::QXCurlTransport() : multi_((globalInit(), curl_multi_init())) {}

QXCurlTransport::~QXCurlTransport() {
  abortAll();
  for (CURL* easy : idle_)
    curl_easy_cleanup(easy);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

CURL* QXCurlTransport::takeHandle() {
  if (!idle_.empty()) {
    CURL* easy = idle_.back();
    idle_.pop_back();
    return easy;
  }
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return nullptr;
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBody);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &openCloseOnExec);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
  // Without it, removing a transfer that is still resolving a name waits for
  // the resolver thread, which can take as long as the system's DNS timeout.
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
  return easy;
}

void QXCurlTransport::giveBack(CURL* easy) {
  // The URL handle goes with its transfer, and would otherwise win over a
  // plain URL given to the handle's next one.
  curl_easy_setopt(easy, CURLOPT_CURLU, nullptr);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, nullptr);
  if (idle_.size() < kIdleHandles) {
    idle_.push_back(easy);
  } else {
    curl_easy_cleanup(easy);
  }
}

void QXCurlTransport::start(uint64_t token, QXHTTPRequest request) {
  using Kind = QXSendResult::Kind;
  std::string why;
  // Hits nearly always go where the one before went: a URL found
  // requestable is not checked again for the next, and curl takes it parsed
  // (parsing it for every request costs a drain about a twentieth of its
  // pace).
  if (request.url != parsedURLText_ || parsedURL_ == nullptr) {
    if (!QXIsRequestableURL(request.url, &why)) {
      ready_.push_back(Answer{token, QXSendResult::failure(Kind::kInvalidRequest, why)});
      return;
    }
    parsedURL_ = parse(request.url);
    parsedURLText_ = request.url;
  }
  auto transfer = std::make_unique<Transfer>();
  transfer->token = token;
  transfer->url = parsedURL_;
  transfer->request = std::move(request);
  const bool post = transfer->request.method == "POST";
  for (const auto& [name, value] : transfer->request.headers) {
    if (post && isCurlsOwnContentType(name, value)) continue;
    curl_slist* extended = curl_slist_append(transfer->headers, (name + ": " + value).c_str());
    if (extended == nullptr) {
      ready_.push_back(Answer{token, QXSendResult::failure(Kind::kTransportError, "no memory")});
      return;
    }
    transfer->headers = extended;
  }
  // A body above 1 KB would otherwise wait for "100 Continue", a round trip
  // (or a full second with servers that never send it) per hit.
  if (curl_slist* extended = curl_slist_append(transfer->headers, "Expect:"))
    transfer->headers = extended;
  CURL* easy = multi_ != nullptr ? takeHandle() : nullptr;
  if (easy == nullptr) {
    ready_.push_back(
        Answer{token, QXSendResult::failure(Kind::kTransportError, "libcurl could not start")});
    return;
  }
  const QXHTTPRequest& r = transfer->request;
  transfer->easy = easy;
  curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
  if (transfer->url != nullptr) {
    curl_easy_setopt(easy, CURLOPT_CURLU, transfer->url.get());
  } else {
    curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method == "POST" ? nullptr : r.method.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, r.body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds(r.connectTimeout));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(r.totalTimeout));
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    giveBack(easy);
    ready_.push_back(Answer{
        token, QXSendResult::failure(Kind::kTransportError, "curl_multi_add_handle failed")});
    return;
  }
  running_.push_back(std::move(transfer));
}

std::vector<QXTransport::Answer> QXCurlTransport::collect() {
  std::vector<Answer> answers;
  answers.swap(ready_);
  if (multi_ == nullptr) return answers;
  int running = 0;
  curl_multi_perform(multi_, &running);
  int pending = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &pending)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    auto it = std::find_if(running_.begin(), running_.end(),
                           [&](const auto& transfer) { return transfer->easy == easy; });
    if (it == running_.end()) continue;
    Transfer& transfer = **it;
    QXCurlEnding ending;
    ending.code = code;
    ending.error = transfer.error;
    ending.headEnded = transfer.headEnded;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &ending.status);
    char* ip = nullptr;
    ending.connected = curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK &&
                       ip != nullptr && ip[0] != '\0';
    curl_off_t retryAfter = 0;
    curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &retryAfter);
    if (retryAfter > 0) ending.retryAfterSeconds = static_cast<double>(retryAfter);
    answers.push_back(Answer{transfer.token, QXSendResultOf(ending)});
    curl_multi_remove_handle(multi_, easy);
    giveBack(easy);
    running_.erase(it);
  }
  return answers;
}

void QXCurlTransport::waitForActivity(std::optional<Clock::time_point> deadline) {
  if (multi_ == nullptr || !ready_.empty()) return;
  int timeoutMs = INT_MAX;
  if (deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    timeoutMs = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
  }
  // Returns on a socket's activity, curl's own timers, a wakeup() or the
  // deadline, whichever comes first.
  if (timeoutMs > 0) curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
}

void QXCurlTransport::wakeup() {
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

std::vector<QXTransport::Answer> QXCurlTransport::abortAll() {
  std::vector<Answer> answers;
  answers.swap(ready_);
  for (auto& transfer : running_) {
    curl_multi_remove_handle(multi_, transfer->easy);
    giveBack(transfer->easy);
    answers.push_back(
        Answer{transfer->token, QXSendResult::failure(QXSendResult::Kind::kAborted, "aborted")});
  }
  running_.clear();
  return answers;
}
