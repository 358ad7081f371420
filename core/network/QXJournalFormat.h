#ifndef QUORVEX_CORE_NETWORK_QXJOURNALFORMAT_H_
#define QUORVEX_CORE_NETWORK_QXJOURNALFORMAT_H_

// Private to the core: never included by a public header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The bytes of a journal segment, and nothing else: no file, no lock.
//
// Layout (little-endian, written byte by byte so that a segment reads the
// same on every processor): a header "QXHJ", u16 version, u16 oldest
// version that can read it, u64 order (segments are taken in this order);
// then records, each u32 payload length, u32 CRC-32 of the payload, payload
// = u8 flags (bit 0: consent), u64 created ms, u32 URL length, URL, body. A
// frame whose length and checksum are both 0 ends the records: segments are
// written with zeros ahead of them.
namespace QXJournalFormat {

constexpr size_t kHeaderSize = 16;       // magic, version, readable-by, order
constexpr size_t kFrameSize = 8;         // payload length, CRC-32
constexpr size_t kPayloadHeadSize = 13;  // flags, created ms, URL length
constexpr size_t kRecordHeadSize = kFrameSize + kPayloadHeadSize;
constexpr uint16_t kVersion = 1;

struct Record {
  int64_t createdMs = 0;
  bool consent = false;
  std::string url;
  std::string body;
};

// What a header says.
enum class HeaderKind { kOurs, kLaterVersion, kNotAJournal };

std::string header(uint64_t order);
HeaderKind classifyHeader(const char* header, size_t size);
uint64_t orderOf(const char* header);

// The frame and payload head of a record, made on the caller's stack
// before any lock: `out` takes kRecordHeadSize bytes. False when the hit
// cannot be framed (4 GiB or more).
bool encodeRecordHead(char* out, std::string_view url, std::string_view body, bool consent,
                      int64_t createdMs);

// What the frame at the start of `data` says.
enum class FrameKind {
  kRecord,      // a whole record: `length` bytes of payload follow the frame
  kEnd,         // the zeros after the last record
  kIncomplete,  // fewer bytes than the frame, or than the payload it announces
  kDamaged,     // a length that cannot be, or a payload that fails its checksum
};
struct Frame {
  FrameKind kind = FrameKind::kIncomplete;
  uint64_t length = 0;  // the payload's
};
// Looks at the record starting at `data` (`size` bytes available there).
// kRecord is only answered once the checksum of the whole payload holds.
Frame inspectFrame(const char* data, size_t size);
// The record whose frame inspectFrame() answered kRecord.
Record decodeRecord(const char* data, const Frame& frame);
// Only the creation time, or the URL, of that record, without its body.
int64_t createdMsOf(const char* data);
std::string urlOf(const char* data);

// "outbox-<16 hex digits>.journal", and nothing else, is a segment.
bool isSegmentName(const std::string& name);
std::string segmentName(uint64_t bits);

}  // namespace QXJournalFormat

#endif  // QUORVEX_CORE_NETWORK_QXJOURNALFORMAT_H_
