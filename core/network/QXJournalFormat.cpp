#include "core/network/QXJournalFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/QXBytes.h"

namespace QXJournalFormat {

namespace {

constexpr char kMagic[4] = {'Q', 'X', 'H', 'J'};
constexpr uint16_t kReadableBy = 1;
constexpr uint8_t kConsentFlag = 1;
constexpr const char* kPrefix = "outbox-";
constexpr const char* kSuffix = ".journal";
constexpr size_t kRandomDigits = 16;

}  // namespace

std::string header(uint64_t order) {
  std::string h(kMagic, sizeof kMagic);
  QXPutLittleEndian(h, kVersion, 2);
  QXPutLittleEndian(h, kReadableBy, 2);
  QXPutLittleEndian(h, order, 8);
  return h;
}

HeaderKind classifyHeader(const char* header, size_t size) {
  if (size < kHeaderSize || std::memcmp(header, kMagic, sizeof kMagic) != 0)
    return HeaderKind::kNotAJournal;
  return QXGetLittleEndian(header + 6, 2) > kVersion ? HeaderKind::kLaterVersion
                                                     : HeaderKind::kOurs;
}

uint64_t orderOf(const char* header) {
  return QXGetLittleEndian(header + 8, 8);
}

bool encodeRecordHead(char* out, std::string_view url, std::string_view body, bool consent,
                      int64_t createdMs) {
  if (url.size() > 0xFFFFFFFFu - kPayloadHeadSize ||
      body.size() > 0xFFFFFFFFu - kPayloadHeadSize - url.size())
    return false;
  char* payloadHead = out + kFrameSize;
  payloadHead[0] = static_cast<char>(consent ? kConsentFlag : 0);
  QXPutLittleEndian(payloadHead + 1, static_cast<uint64_t>(createdMs), 8);
  QXPutLittleEndian(payloadHead + 9, url.size(), 4);
  uint32_t crc = QXCrc32(std::string_view(payloadHead, kPayloadHeadSize));
  crc = QXCrc32(url, crc);
  crc = QXCrc32(body, crc);
  QXPutLittleEndian(out, kPayloadHeadSize + url.size() + body.size(), 4);
  QXPutLittleEndian(out + 4, crc, 4);
  return true;
}

Frame inspectFrame(const char* data, size_t size) {
  Frame frame;
  if (size < kFrameSize) return frame;
  const uint64_t length = QXGetLittleEndian(data, 4);
  const uint32_t crc = static_cast<uint32_t>(QXGetLittleEndian(data + 4, 4));
  if (length == 0 && crc == 0) {
    frame.kind = FrameKind::kEnd;
    return frame;
  }
  frame.length = length;
  if (length < kPayloadHeadSize) {
    frame.kind = FrameKind::kDamaged;
    return frame;
  }
  if (size - kFrameSize < length) return frame;  // kIncomplete
  const char* payload = data + kFrameSize;
  const uint64_t urlLength = QXGetLittleEndian(payload + 9, 4);
  const bool whole = QXCrc32(std::string_view(payload, static_cast<size_t>(length))) == crc &&
                     urlLength <= length - kPayloadHeadSize;
  frame.kind = whole ? FrameKind::kRecord : FrameKind::kDamaged;
  return frame;
}

Record decodeRecord(const char* data, const Frame& frame) {
  const char* payload = data + kFrameSize;
  const auto urlLength = static_cast<size_t>(QXGetLittleEndian(payload + 9, 4));
  const auto length = static_cast<size_t>(frame.length);
  Record record;
  record.consent = (static_cast<uint8_t>(payload[0]) & kConsentFlag) != 0;
  record.createdMs = createdMsOf(data);
  record.url.assign(payload + kPayloadHeadSize, urlLength);
  record.body.assign(payload + kPayloadHeadSize + urlLength, length - kPayloadHeadSize - urlLength);
  return record;
}

std::string urlOf(const char* data) {
  const char* payload = data + kFrameSize;
  return std::string(payload + kPayloadHeadSize,
                     static_cast<size_t>(QXGetLittleEndian(payload + 9, 4)));
}

int64_t createdMsOf(const char* data) {
  return static_cast<int64_t>(QXGetLittleEndian(data + kFrameSize + 1, 8));
}

bool isSegmentName(const std::string& name) {
  const size_t prefix = std::strlen(kPrefix);
  const size_t suffix = std::strlen(kSuffix);
  if (name.size() != prefix + kRandomDigits + suffix) return false;
  if (name.compare(0, prefix, kPrefix) != 0) return false;
  if (name.compare(name.size() - suffix, suffix, kSuffix) != 0) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix),
                     name.end() - static_cast<std::ptrdiff_t>(suffix),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string segmentName(uint64_t bits) {
  char digits[kRandomDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(bits));
  return std::string(kPrefix) + digits + kSuffix;
}

}  // namespace QXJournalFormat
