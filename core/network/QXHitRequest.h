#ifndef QUORVEX_CORE_NETWORK_QXHITREQUEST_H_
#define QUORVEX_CORE_NETWORK_QXHITREQUEST_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The header that carries a hit's identifier. The identifier is the same on
// every attempt of a hit, so a collector that keeps the identifiers it has
// seen can drop the duplicates that at-least-once delivery produces.
extern const char* const kQXHitIdentifierHeader;

// One HTTP request as a sender performs it. Built by QXBuildHitRequest; the
// worker adds the timeouts of the moment.
struct QXHTTPRequest {
  std::string method;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds connectTimeout{0};  // 0: the sender's default
  std::chrono::milliseconds totalTimeout{0};    // 0: no limit

  // The value of the first header of that name (ASCII case-insensitive), or
  // empty.
  std::string header(std::string_view name) const;
};

// The request that delivers one hit: a POST of the form-encoded body to the
// collection URL, with the hit's identifier and, when not empty, the user
// agent: without control characters, so one header line, and cut to at most
// 256 bytes on a character boundary. Pure: the same arguments give the same
// request.
QXHTTPRequest QXBuildHitRequest(std::string url, std::string body, const std::string& hitIdentifier,
                                const std::string& userAgent);

// "scheme://host:port" of a URL, lower-cased and with the scheme's default
// port written out, as libcurl parses it: the unit over which the worker
// backs off, so that a collector that fails does not hold back hits bound
// for another one. A text that is not a URL libcurl can parse is its own
// origin.
std::string QXOriginOf(std::string_view url);

// Whether a URL can be requested at all: http or https, with a host, as
// libcurl parses it. Only such a URL, or a server's refusal, makes a hit one
// that can never be sent; `*why` says what is wrong with one that is not.
bool QXIsRequestableURL(std::string_view url, std::string* why);

// Whether an origin (or URL) names this machine: localhost, 127.0.0.0/8 in
// any of its written forms, [::1], or 127.0.0.0/8 mapped into IPv6. Such a
// collector is reachable whatever the network interfaces say.
bool QXIsLoopbackOrigin(std::string_view origin);

#endif  // QUORVEX_CORE_NETWORK_QXHITREQUEST_H_
