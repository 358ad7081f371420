#include "core/QXURLEncodedString.h"

#include <array>
#include <cstdint>

namespace {

// For every byte: 0 when it stays, else its "%XX" in the low 24 bits.
struct EncodingTable {
  std::array<uint32_t, 256> code{};
  EncodingTable() {
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t c = 0; c < 256; ++c) {
      const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                              c == '~';
      code[c] = unreserved
                    ? 0
                    : (uint32_t('%') | uint32_t(kHex[c >> 4]) << 8 | uint32_t(kHex[c & 0xF]) << 16);
    }
  }
};

const EncodingTable& table() {
  static const EncodingTable instance;
  return instance;
}

}  // namespace

void QXAppendURLEncoded(std::string& out, std::string_view text) {
  const auto& code = table().code;
  const size_t start = out.size();
  out.resize(start + 3 * text.size());  // the longest the encoding can be
  char* p = &out[start];
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    const uint32_t escape = code[c];
    if (escape == 0) {
      *p++ = static_cast<char>(c);
    } else {
      p[0] = static_cast<char>(escape & 0xFF);
      p[1] = static_cast<char>((escape >> 8) & 0xFF);
      p[2] = static_cast<char>((escape >> 16) & 0xFF);
      p += 3;
    }
  }
  out.resize(static_cast<size_t>(p - out.data()));
}

std::string QXURLEncodedString(std::string_view text) {
  std::string out;
  QXAppendURLEncoded(out, text);
  return out;
}
