// The user defaults reader on arbitrary bytes, found in the data directory as
// the defaults file: it loads (or is moved aside and started afresh) without
// a crash, a hang, a leak or undefined behaviour; the writer's repair leaves
// a file that the next opening reads without a word and leaves byte for byte
// as it is; and a value written after loading is read back by the next
// opening. Every input is tried a second time with its header made ours and
// its records' checksums set right, so that the fuzzer gets past them to the
// operations, the lengths and the keys.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QXBytes.h"
#include "platform/QXFileUserDefaults.h"
#include "stored_file_support.h"

namespace {

using qxfuzz::require;

constexpr size_t kHeaderSize = 8;
constexpr size_t kRecordHeaderSize = 13;
constexpr const char* kFile = "user-defaults.qxud";

// Counts what the platform reports while it lives.
class Reports {
 public:
  Reports() {
    QXSetPlatformErrorSink([this](const std::string&) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
    });
  }
  ~Reports() {
    QXSetPlatformErrorSink([](const std::string&) {});
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  size_t count_ = 0;
};

void check(std::string_view bytes) {
  qxfuzz::emptyDataDirectory();
  const std::string path = qxfuzz::fileIn(kFile);
  qxfuzz::writeBytes(path, bytes);
  {
    QXFileUserDefaults loaded(path);
    require(loaded.isPersistent());
  }
  const std::string repaired = qxfuzz::readBytes(path);
  {
    Reports reports;
    QXFileUserDefaults again(path);
    require(reports.count() == 0);
    require(qxfuzz::readBytes(path) == repaired);
    again.setObject("written after loading", "fuzz");
  }
  QXFileUserDefaults last(path);
  require(last.objectForKey("fuzz") == "written after loading");
}

// The header made ours, and each record's checksum set right, up to the
// first record that does not fit.
std::string withChecksumsSet(std::string_view input) {
  std::string bytes(input);
  if (bytes.size() < kHeaderSize) return bytes;
  bytes.replace(0, kHeaderSize, std::string("QXUD\x01\x00\x00\x00", kHeaderSize));
  size_t at = kHeaderSize;
  while (bytes.size() - at >= kRecordHeaderSize) {
    const uint64_t length = kRecordHeaderSize + QXGetLittleEndian(bytes.data() + at + 5, 4) +
                            QXGetLittleEndian(bytes.data() + at + 9, 4);
    if (length > bytes.size() - at) break;
    const uint32_t crc = QXCrc32(std::string_view(bytes.data() + at + 4, length - 4));
    QXPutLittleEndian(bytes.data() + at, crc, 4);
    at += length;
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
