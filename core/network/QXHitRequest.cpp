#include "core/network/QXHitRequest.h"

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

std::string QXOriginOf(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::string(url);
  size_t end = url.find_first_of("/?#", scheme + 3);
  if (end == std::string_view::npos) end = url.size();
  std::string origin(url.substr(0, end));
  // Credentials are not part of where a request goes.
  const size_t at = origin.rfind('@');
  if (at != std::string::npos && at > scheme) origin.erase(scheme + 3, at - scheme - 2);
  for (char& c : origin)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return origin;
}

bool QXIsLoopbackOrigin(std::string_view origin) {
  const size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos) return false;
  std::string_view host = origin.substr(scheme + 3);
  if (host.rfind("[::1]", 0) == 0) return host.size() == 5 || host[5] == ':';
  host = host.substr(0, host.find(':'));
  if (host == "localhost") return true;
  // 127.d.d.d: four dot-separated decimal parts, the first 127.
  if (host.rfind("127.", 0) != 0) return false;
  int parts = 2;  // "127" and the one being read
  bool digit = false;
  for (char c : host.substr(4)) {
    if (c == '.') {
      if (!digit) return false;
      ++parts;
      digit = false;
    } else if (c >= '0' && c <= '9') {
      digit = true;
    } else {
      return false;
    }
  }
  return digit && parts == 4;
}
