#ifndef QUORVEX_CORE_NETWORK_QXCURLTRANSPORT_H_
#define QUORVEX_CORE_NETWORK_QXCURLTRANSPORT_H_

// Private to the core: never included by a public header.

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/network/QXTransport.h"

// The transport over libcurl's multi interface: every request under way is a
// transfer of one multi handle, which the worker's thread drives in
// collect() and waits on in waitForActivity(), in curl_multi_poll on all
// their sockets at once and on a wakeup.
// One request never holds up another: each has a connection (or, with a
// collector that speaks HTTP/2, a stream) of its own, and connections are
// kept alive in the multi handle's cache for the next requests.
//
// TLS peers and host names are always verified; only http and https URLs
// with a host are requested (anything else is answered as an invalid
// request at once, so a URL cannot make the SDK read or write files);
// redirects are not followed (the status is answered as it is); a proxy
// named in the environment (https_proxy, http_proxy, all_proxy, no_proxy)
// is used as curl uses it. An answer's body is read and thrown away; an
// answer counts only once its head came whole (QXSendResultOf). Sockets are
// made close-on-exec, so a child that calls exec keeps none of them.
class QXCurlTransport : public QXTransport {
 public:
  // curl's process-wide initialisation; safe to call more than once and from
  // several threads. A transport made before it calls it itself.
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

  QXCurlTransport();
  ~QXCurlTransport() override;
  QXCurlTransport(const QXCurlTransport&) = delete;
  QXCurlTransport& operator=(const QXCurlTransport&) = delete;

  void start(uint64_t token, QXHTTPRequest request) override;
  std::vector<Answer> collect() override;
  void waitForActivity(std::optional<Clock::time_point> deadline) override;
  void wakeup() override;
  std::vector<Answer> abortAll() override;
  size_t inFlight() const override { return running_.size(); }

 private:
  struct Transfer;

  // `url` parsed by curl's own parser; null when it cannot be (no memory).
  static std::shared_ptr<CURLU> parse(const std::string& url);
  CURL* takeHandle();
  void giveBack(CURL* easy);

  // Constant after construction.
  CURLM* const multi_;

  // The worker's thread alone.
  std::vector<std::unique_ptr<Transfer>> running_;
  std::vector<CURL*> idle_;    // handles kept for the next transfers
  std::vector<Answer> ready_;  // answered without a transfer
  // The last URL found requestable, and its parse, which each transfer to
  // it shares: a URL handle must stay unchanged until its transfers end.
  std::string parsedURLText_;
  std::shared_ptr<CURLU> parsedURL_;
};

#endif  // QUORVEX_CORE_NETWORK_QXCURLTRANSPORT_H_
