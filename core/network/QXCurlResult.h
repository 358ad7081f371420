#ifndef QUORVEX_CORE_NETWORK_QXCURLRESULT_H_
#define QUORVEX_CORE_NETWORK_QXCURLRESULT_H_

// Private to the core: never included by a public header.

#include <curl/curl.h>

#include <optional>
#include <string>

#include "core/network/QXTransport.h"

// How a transfer that libcurl ended is read.
struct QXCurlEnding {
  CURLcode code = CURLE_OK;
  std::string error;       // curl's own words for it, if any
  long status = 0;         // CURLINFO_RESPONSE_CODE
  bool headEnded = false;  // the answer's head came whole, to its blank line
  bool connected = false;  // a connection to the server (or proxy) was made
  std::optional<double> retryAfterSeconds;
};

// Pure. Only a URL that libcurl calls malformed is an invalid request; an
// answer the server gave whole is a response; everything else, garbled or
// cut-short answers and other protocols on the port included, is a
// transport error, retried. A hit is delivered only on a whole 2xx answer:
// CURLE_OK without the answer's whole head is an error too. Errors before a
// connection was made (name, connect, TLS) say so, and TLS verification
// failures say that too.
QXSendResult QXSendResultOf(const QXCurlEnding& ending);

#endif  // QUORVEX_CORE_NETWORK_QXCURLRESULT_H_
