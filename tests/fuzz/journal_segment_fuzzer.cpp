// The journal's record reader on arbitrary bytes, found in the data directory
// as the segment of a process that is gone: it is adopted or moved aside
// without a crash, a hang, a leak or undefined behaviour, and what is read of
// it is whole records within the file, the same records whether they are read
// in small chunks or in one, with every chunk going forward to the end. Every
// input is tried a second time with its header made ours and its frames'
// checksums set right, so that the fuzzer gets past them to the lengths and
// the payloads.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "platform/QXBytes.h"
#include "stored_file_support.h"

namespace {

using qxfuzz::require;

constexpr size_t kHeaderSize = 16;
constexpr size_t kFrameSize = 8;
constexpr size_t kPayloadHeadSize = 13;
constexpr const char* kSegment = "outbox-0123456789abcdef.journal";

// Every record of `segment`, read `maxBytes` at a time.
std::vector<QXHitJournal::Record> readAll(QXHitJournal& journal,
                                          const QXHitJournal::Segment& segment, size_t maxBytes,
                                          uint64_t fileSize) {
  std::vector<QXHitJournal::Record> records;
  uint64_t from = 0;
  for (;;) {
    QXHitJournal::Chunk chunk = journal.read(segment, from, maxBytes);
    const uint64_t start = std::max<uint64_t>(from, kHeaderSize);
    uint64_t bytes = 0;
    for (const auto& record : chunk.records)
      bytes += kFrameSize + kPayloadHeadSize + record.url.size() + record.body.size();
    require(chunk.end == start + bytes);
    require(chunk.end + chunk.cutBytes <= fileSize);
    for (auto& record : chunk.records)
      records.push_back(std::move(record));
    if (chunk.complete) break;
    require(chunk.end > from);  // no progress and not complete would never end
    from = chunk.end;
  }
  return records;
}

bool sameRecords(const std::vector<QXHitJournal::Record>& a,
                 const std::vector<QXHitJournal::Record>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].url != b[i].url || a[i].body != b[i].body || a[i].consent != b[i].consent ||
        a[i].createdMs != b[i].createdMs)
      return false;
  }
  return true;
}

void check(std::string_view bytes) {
  qxfuzz::emptyDataDirectory();
  qxfuzz::writeBytes(qxfuzz::fileIn(kSegment), bytes);
  QXHitJournal journal(qxfuzz::dataDirectory());
  const size_t adopted = journal.adoptOrphans();
  require(adopted <= 1);
  for (const QXHitJournal::Segment& segment : journal.segments()) {
    require(segment.sealed && segment.name == kSegment);
    const auto whole = readAll(journal, segment, 1 << 20, bytes.size());
    const auto chunked = readAll(journal, segment, 64, bytes.size());
    require(sameRecords(whole, chunked));
    journal.retire(segment);
  }
  require(journal.segments().empty());
  require(journal.backlog().bytes == 0 && journal.diskBytes() == 0);
}

// The header made a readable one, and each frame's checksum set right, up to
// the first frame that does not fit.
std::string withChecksumsSet(std::string_view input) {
  std::string bytes(input);
  if (bytes.size() < kHeaderSize) return bytes;
  bytes.replace(0, 4, "QXHJ");
  bytes[6] = 1;
  bytes[7] = 0;
  size_t at = kHeaderSize;
  while (at + kFrameSize <= bytes.size()) {
    const uint64_t length = QXGetLittleEndian(bytes.data() + at, 4);
    if (length == 0 || length > bytes.size() - at - kFrameSize) break;
    const uint32_t crc = QXCrc32(std::string_view(bytes.data() + at + kFrameSize, length));
    QXPutLittleEndian(bytes.data() + at + 4, crc, 4);
    at += kFrameSize + length;
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input);
  check(withChecksumsSet(input));
  return 0;
}
