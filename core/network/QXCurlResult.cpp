#include "core/network/QXCurlResult.h"

namespace {

bool isTLSVerification(CURLcode code) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
      return true;
    default:
      return false;
  }
}

// Whether no connection to the server can have been made: the collector as
// a whole is out of reach, whichever request asks.
bool isBeforeConnecting(const QXCurlEnding& ending) {
  if (isTLSVerification(ending.code)) return true;
  switch (ending.code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_PROXY:
      return true;
    case CURLE_OPERATION_TIMEDOUT:
      return !ending.connected;
    default:
      return false;
  }
}

}  // namespace

QXSendResult QXSendResultOf(const QXCurlEnding& ending) {
  using Kind = QXSendResult::Kind;
  if (ending.code == CURLE_OK && ending.headEnded && ending.status >= 100 && ending.status <= 999)
    return QXSendResult::response(static_cast<int>(ending.status), ending.retryAfterSeconds);
  std::string error = curl_easy_strerror(ending.code);
  if (!ending.error.empty()) error += ": " + ending.error;
  if (ending.code == CURLE_OK) error = "the answer ended before its head did";
  if (ending.code == CURLE_URL_MALFORMAT)
    return QXSendResult::failure(Kind::kInvalidRequest, error);
  QXSendResult result = QXSendResult::failure(Kind::kTransportError, error);
  result.beforeConnecting = isBeforeConnecting(ending);
  result.tlsVerification = isTLSVerification(ending.code);
  return result;
}
