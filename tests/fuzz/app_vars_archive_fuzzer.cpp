// QXAppVars::decode on arbitrary bytes: it refuses or accepts without a
// crash, a hang, a leak or undefined behaviour; a refusal leaves the target
// alone, and what it accepts encodes to an archive that decodes to the same
// entries in the same order. Every input is tried a second time with its
// checksum set right, so that the fuzzer gets past the checksum to the
// entries and the store's own form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "QXSDK/QXAppVars.h"

namespace {

constexpr size_t kChecksumOffset = 8;
constexpr size_t kHeaderSize = 12;

uint32_t checksum(std::string_view archive) {
  uint32_t crc = 0xFFFFFFFF;
  auto update = [&](std::string_view data) {
    for (unsigned char byte : data) {
      crc ^= byte;
      for (int k = 0; k < 8; ++k)
        crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
  };
  update(archive.substr(0, kChecksumOffset));
  update(archive.substr(kHeaderSize));
  return ~crc;
}

bool sameEntries(const QXAppVars& a, const QXAppVars& b) {
  if (a.dynamicStore() == nullptr || b.dynamicStore() == nullptr) {
    return a.dynamicStore() == b.dynamicStore();
  }
  return *a.dynamicStore() == *b.dynamicStore() &&
         a.dynamicStore()->orderedKeys() == b.dynamicStore()->orderedKeys();
}

void check(std::string_view bytes) {
  auto target = std::make_unique<QXAppVars>();
  const QXAppVars* const untouched = target.get();
  if (!QXAppVars::decode(bytes, &target).ok()) {
    if (target.get() != untouched || !target->dynamicStore()->empty()) std::abort();
    return;
  }
  const std::string again = target->encode();
  std::unique_ptr<QXAppVars> second;
  if (!QXAppVars::decode(again, &second).ok()) std::abort();
  if (!sameEntries(*target, *second) || second->encode() != again) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input);
  if (size >= kHeaderSize) {
    std::string fixed(input);
    const uint32_t crc = checksum(fixed);
    for (size_t i = 0; i < 4; ++i)
      fixed[kChecksumOffset + i] = static_cast<char>(crc >> (8 * i));
    check(fixed);
  }
  return 0;
}
