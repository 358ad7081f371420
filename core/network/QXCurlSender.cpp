#include "core/network/QXCurlSender.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace {

size_t discardBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

QXSendResult transportResult(CURLcode code, const char* detail) {
  std::string error = curl_easy_strerror(code);
  if (detail != nullptr && detail[0] != '\0') error += std::string(": ") + detail;
  const bool neverPossible = code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL;
  return QXSendResult::failure(
      neverPossible ? QXSendResult::Kind::kInvalidRequest : QXSendResult::Kind::kTransportError,
      std::move(error));
}

}  // namespace

void QXCurlSender::keepTLSThroughExit() noexcept {
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

void QXCurlSender::globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long QXCurlSender::timeoutMilliseconds(std::chrono::milliseconds timeout) {
  const auto count = timeout.count();
  if (count <= 0) return 0;
  if (static_cast<uint64_t>(count) >= static_cast<uint64_t>(std::numeric_limits<long>::max()))
    return std::numeric_limits<long>::max();
  return static_cast<long>(count);
}

QXCurlSender::QXCurlSender() : multi_((globalInit(), curl_multi_init())), easy_(curl_easy_init()) {
  if (multi_ == nullptr || easy_ == nullptr) return;
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &discardBody);
  curl_easy_setopt(easy_, CURLOPT_TCP_KEEPALIVE, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
  // Without it, removing a transfer that is still resolving a name waits for
  // the resolver thread, which can take as long as the system's DNS timeout.
  curl_easy_setopt(easy_, CURLOPT_QUICK_EXIT, 1L);
#endif
}

QXCurlSender::~QXCurlSender() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void QXCurlSender::abort() {
  aborted_.store(true);
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

QXSendResult QXCurlSender::send(const QXHTTPRequest& request) {
  using Kind = QXSendResult::Kind;
  if (aborted_.load()) return QXSendResult::failure(Kind::kAborted, "aborted");
  if (multi_ == nullptr || easy_ == nullptr)
    return QXSendResult::failure(Kind::kTransportError, "libcurl could not be initialised");

  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) {
    const std::string line = name + ": " + value;
    curl_slist* extended = curl_slist_append(headers, line.c_str());
    if (extended == nullptr) {
      curl_slist_free_all(headers);
      return QXSendResult::failure(Kind::kTransportError, "out of memory");
    }
    headers = extended;
  }
  // A body above 1 KB would otherwise wait for "100 Continue", a round trip
  // (or a full second with servers that never send it) per hit.
  if (curl_slist* extended = curl_slist_append(headers, "Expect:")) headers = extended;

  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(easy_, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST,
                   request.method == "POST" ? nullptr : request.method.c_str());
  curl_easy_setopt(easy_, CURLOPT_POST, 1L);
  curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds(request.connectTimeout));
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.totalTimeout));

  QXSendResult result;
  if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
    result = QXSendResult::failure(Kind::kTransportError, "curl_multi_add_handle failed");
  } else {
    CURLcode code = CURLE_OK;
    bool finished = false;
    while (!finished) {
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK) {
        code = CURLE_SEND_ERROR;
        break;
      }
      int pending = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &pending)) {
        if (message->msg == CURLMSG_DONE) {
          code = message->data.result;
          finished = true;
        }
      }
      if (finished) break;
      if (aborted_.load()) break;
      curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
      if (aborted_.load()) break;
    }
    if (!finished && aborted_.load()) {
      result = QXSendResult::failure(Kind::kAborted, "aborted");
    } else if (code != CURLE_OK) {
      result = transportResult(code, errorBuffer);
    } else {
      long status = 0;
      curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
      curl_off_t retryAfter = 0;
      curl_easy_getinfo(easy_, CURLINFO_RETRY_AFTER, &retryAfter);
      result = QXSendResult::response(
          static_cast<int>(status),
          retryAfter > 0 ? std::optional<double>(static_cast<double>(retryAfter)) : std::nullopt);
    }
    curl_multi_remove_handle(multi_, easy_);
  }
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, nullptr);
  curl_slist_free_all(headers);
  return result;
}
