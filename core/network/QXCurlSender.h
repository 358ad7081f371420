#ifndef QUORVEX_CORE_NETWORK_QXCURLSENDER_H_
#define QUORVEX_CORE_NETWORK_QXCURLSENDER_H_

// Private to the core: never included by a public header.

#include <curl/curl.h>

#include <atomic>
#include <chrono>

#include "core/network/QXHTTPSender.h"

// A sender over libcurl, one connection kept alive between requests.
//
// TLS peers and host names are always verified; only http and https are
// performed (anything else is an invalid request, so a URL cannot make the
// SDK read or write files); redirects are not followed (the status is
// answered as it is); a proxy named in the environment (https_proxy,
// http_proxy, all_proxy, no_proxy) is used as curl uses it. The response
// body is read and thrown away.
//
// The transfer runs on curl's multi interface so that abort() can wake it at
// once from another thread, whatever it is waiting for (DNS, connect, the
// server's answer).
class QXCurlSender : public QXHTTPSender {
 public:
  // curl's process-wide initialisation; safe to call more than once and from
  // several threads. A sender made before it calls it itself.
  static void globalInit();

  // Tells the process's OpenSSL, when curl brought one and nothing has set
  // it up yet, not to tear itself down when the process exits. Its exit
  // handler, registered when it is first set up, would otherwise run before
  // the handlers registered earlier (those run in the reverse order of
  // their registration), the SDK's own among them: under a transfer still
  // going, or under its own set-up on the SDK's thread, which then crashes.
  // Without it, the set-up may happen on any thread at any time. Cheap (no
  // configuration is read); call it on the host's thread before the SDK's
  // threads start. OpenSSL's memory is then the process's until it ends.
  static void keepTLSThroughExit() noexcept;

  // A timeout as curl takes it: milliseconds in a long, which has 32 bits on
  // 32-bit targets (ARM, i386). A longer one is held at the longest a long
  // can say instead of wrapping around; a negative one, which curl refuses
  // (leaving the previous request's in force), is 0, curl's "none".
  static long timeoutMilliseconds(std::chrono::milliseconds timeout);

  QXCurlSender();
  ~QXCurlSender() override;
  QXCurlSender(const QXCurlSender&) = delete;
  QXCurlSender& operator=(const QXCurlSender&) = delete;

  QXSendResult send(const QXHTTPRequest& request) override;
  void abort() override;

 private:
  // Constant after construction.
  CURLM* const multi_;
  CURL* const easy_;

  std::atomic<bool> aborted_{false};
};

#endif  // QUORVEX_CORE_NETWORK_QXCURLSENDER_H_
