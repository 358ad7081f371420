#include "core/network/QXHitRequest.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <cctype>

#include "core/QXUtils.h"

const char* const kQXHitIdentifierHeader = "X-Quorvex-Hit-Id";

namespace {

// The user agent names the host application, whose name and version the host
// gives: as a header it must stay one line, and one a collector accepts (a
// header of kilobytes is refused with the whole request, and the hit with it).
std::string headerValue(std::string_view text) {
  constexpr size_t kLongest = 256;
  std::string value;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) continue;
    value.push_back(c);
    if (value.size() == kLongest) break;
  }
  // Never end inside a UTF-8 sequence: drop a lead byte whose continuation
  // was cut off.
  if (value.size() == kLongest) {
    size_t start = value.size();
    while (start > 0 && (static_cast<unsigned char>(value[start - 1]) & 0xC0) == 0x80)
      --start;
    if (start > 0 && static_cast<unsigned char>(value[start - 1]) >= 0xC0) {
      const auto lead = static_cast<unsigned char>(value[start - 1]);
      const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      if (value.size() - (start - 1) < length) value.resize(start - 1);
    }
  }
  return value;
}

}  // namespace

std::string QXHTTPRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (QXUtils::equalsIgnoringCase(key, name)) return value;
  }
  return std::string();
}

QXHTTPRequest QXBuildHitRequest(std::string url, std::string body, const std::string& hitIdentifier,
                                const std::string& userAgent) {
  QXHTTPRequest request;
  request.method = "POST";
  request.url = std::move(url);
  request.body = std::move(body);
  request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  request.headers.emplace_back(kQXHitIdentifierHeader, hitIdentifier);
  const std::string agent = headerValue(userAgent);
  if (!agent.empty()) request.headers.emplace_back("User-Agent", agent);
  return request;
}

namespace {

// A URL's parts through libcurl's own parser, the one that will request it.
class ParsedURL {
 public:
  explicit ParsedURL(std::string_view url) : handle_(curl_url()) {
    if (handle_ == nullptr) return;
    const std::string text(url);
    ok_ = curl_url_set(handle_, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
  }
  ~ParsedURL() { curl_url_cleanup(handle_); }
  ParsedURL(const ParsedURL&) = delete;
  ParsedURL& operator=(const ParsedURL&) = delete;

  bool ok() const { return ok_; }
  // The part, empty when it has none; `flags` as for curl_url_get.
  std::string part(CURLUPart which, unsigned flags = 0) const {
    char* value = nullptr;
    if (!ok_ || curl_url_get(handle_, which, &value, flags) != CURLUE_OK || value == nullptr)
      return std::string();
    std::string text(value);
    curl_free(value);
    return text;
  }

 private:
  CURLU* handle_;
  bool ok_ = false;
};

std::string lowered(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isLoopbackAddress(const std::string& host) {
  if (host == "localhost") return true;
  // libcurl writes every IPv4 form as dotted decimal ("127.1" and
  // "2130706433" are 127.0.0.1) and keeps IPv6 in brackets.
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (host.size() < 2 || host.front() != '[' || host.back() != ']') return false;
  std::string inner = host.substr(1, host.size() - 2);
  inner = inner.substr(0, inner.find('%'));  // a zone says nothing of the address
  in6_addr v6{};
  if (::inet_pton(AF_INET6, inner.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace

std::string QXOriginOf(std::string_view url) {
  const ParsedURL parsed(url);
  if (!parsed.ok()) return std::string(url);
  // The default port written out, so that "https://h" and "https://h:443"
  // are one collector; no user information, which names no other place.
  return lowered(parsed.part(CURLUPART_SCHEME)) + "://" + lowered(parsed.part(CURLUPART_HOST)) +
         ":" + parsed.part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
}

bool QXIsLoopbackOrigin(std::string_view origin) {
  const ParsedURL parsed(origin);
  return parsed.ok() && isLoopbackAddress(lowered(parsed.part(CURLUPART_HOST)));
}

bool QXIsRequestableURL(std::string_view url, std::string* why) {
  const ParsedURL parsed(url);
  if (!parsed.ok()) {
    *why = "not a URL";
    return false;
  }
  const std::string scheme = lowered(parsed.part(CURLUPART_SCHEME));
  if (scheme != "http" && scheme != "https") {
    *why = "only http and https are requested, not " + scheme;
    return false;
  }
  if (parsed.part(CURLUPART_HOST).empty()) {
    *why = "no host";
    return false;
  }
  return true;
}
