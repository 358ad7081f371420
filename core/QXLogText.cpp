#include "core/QXLogText.h"

#include <algorithm>
#include <cstdint>

namespace {

// Length of the valid UTF-8 sequence at p (at most `available` bytes) that
// encodes a printable code point at or above U+00A0, or 0.
size_t printableUtf8Length(const unsigned char* p, size_t available) {
  unsigned char c = p[0];
  size_t length = 0;
  uint32_t codePoint = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    codePoint = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    codePoint = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    codePoint = c & 0x07;
  } else {
    return 0;
  }
  if (length > available) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (p[i] & 0x3F);
  }
  const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < minimum[length] || codePoint > 0x10FFFF) return 0;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;  // surrogates
  if (codePoint < 0xA0) return 0;                            // C1 controls
  if (codePoint == 0x2028 || codePoint == 0x2029) return 0;  // line separators
  if (codePoint >= 0x202A && codePoint <= 0x202E) return 0;  // bidirectional overrides
  if (codePoint >= 0x2066 && codePoint <= 0x2069) return 0;  // bidirectional isolates
  return length;
}

void appendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (size_t n = printableUtf8Length(bytes + i, text.size() - i)) {
      out.append(text.data() + i, n);
      i += n;
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
      ++i;
    }
  }
}

}  // namespace

void QXLogText::appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  appendEscaped(out, text);
  out.push_back('"');
}

std::string QXLogText::escaped(std::string_view text) {
  std::string out;
  appendEscaped(out, text);
  return out;
}

std::string QXLogText::url(std::string_view url) {
  std::string bare(url);
  const size_t scheme = bare.find("://");
  if (scheme != std::string::npos) {
    const size_t authority = scheme + 3;
    const size_t end = std::min(bare.find_first_of("/?#", authority), bare.size());
    const size_t at = bare.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= authority && at < end)
      bare.erase(authority, at + 1 - authority);
  }
  return escaped(bare);
}
