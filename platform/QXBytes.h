#ifndef QUORVEX_PLATFORM_QXBYTES_H_
#define QUORVEX_PLATFORM_QXBYTES_H_

#include <cstdint>
#include <string>
#include <string_view>

// The byte-level pieces of the SDK's file and archive formats.

// Appends the low `bytes` bytes of `value`, least significant first.
inline void QXPutLittleEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The same into `bytes` bytes at `out`.
inline void QXPutLittleEndian(char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Reads `bytes` bytes at `p`, least significant first.
inline uint64_t QXGetLittleEndian(const char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i)
    value = (value << 8) | static_cast<uint8_t>(p[i]);
  return value;
}

// CRC-32 as zlib and PNG compute it (reflected polynomial 0xEDB88320). To
// checksum data in pieces, pass each piece with the result of the previous.
uint32_t QXCrc32(std::string_view data, uint32_t previous = 0);

#endif  // QUORVEX_PLATFORM_QXBYTES_H_
