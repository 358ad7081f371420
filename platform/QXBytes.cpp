#include "platform/QXBytes.h"

#include <zlib.h>

uint32_t QXCrc32(std::string_view data, uint32_t previous) {
  // zlib's is several times faster than a byte-wise table, and the journal
  // checksums every hit on the caller's thread.
  return static_cast<uint32_t>(
      crc32_z(previous, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}
