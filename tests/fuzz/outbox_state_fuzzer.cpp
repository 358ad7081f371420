// The outbox's side file ("outbox.sqlite.state") on arbitrary bytes, beside
// a real outbox that holds two hits (ids 1 and 3; 2 was removed): the outbox
// opens without a crash, a leak or undefined behaviour; a hit stored then
// gets an id above every id used before, the database's and those a valid
// side file names, so that no identifier comes back; and the next opening
// finds that hit under that id. Every input is tried a second time with its
// checksum set right, so that the fuzzer gets past it to the ids.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/network/QXOutbox.h"
#include "platform/QXBytes.h"
#include "stored_file_support.h"

namespace {

using qxfuzz::require;

constexpr size_t kStateSize = 20;
constexpr int64_t kHighestInTemplate = 3;

// The database of an outbox that stored three hits and removed the second,
// closed (its log folded in).
const std::string& templateDatabase() {
  static const std::string bytes = [] {
    qxfuzz::emptyDataDirectory();
    const std::string path = qxfuzz::fileIn("outbox.sqlite");
    {
      QXOutbox outbox(path);
      require(outbox.open().ok() && !outbox.inMemory());
      for (int i = 0; i < 3; ++i)
        require(outbox.add("http://127.0.0.1/7/", "page=" + std::to_string(i), false, i).ok());
      require(outbox.remove({2}).ok());
    }
    return qxfuzz::readBytes(path);
  }();
  return bytes;
}

// The highest id a valid side file names; 0 when it is not one (a wrong
// checksum, or ids no outbox could have used: beyond 2^62).
int64_t highestNamedBy(std::string_view state) {
  constexpr uint64_t kLargestId = uint64_t{1} << 62;
  if (state.size() < kStateSize) return 0;
  if (QXGetLittleEndian(state.data() + 16, 4) != QXCrc32(state.substr(0, 16))) return 0;
  const uint64_t highest = QXGetLittleEndian(state.data(), 8);
  const uint64_t removed = QXGetLittleEndian(state.data() + 8, 8);
  if (highest > kLargestId || removed > kLargestId) return 0;
  return static_cast<int64_t>(highest);
}

void check(std::string_view state) {
  const std::string& database = templateDatabase();
  qxfuzz::emptyDataDirectory();
  const std::string path = qxfuzz::fileIn("outbox.sqlite");
  qxfuzz::writeBytes(path, database);
  qxfuzz::writeBytes(qxfuzz::fileIn("outbox.sqlite.state"), state);
  int64_t id = 0;
  {
    QXOutbox outbox(path);
    require(outbox.open().ok() && !outbox.inMemory());
    require(outbox.count() == 2);
    require(outbox.add("http://127.0.0.1/7/", "page=fuzz", false, 9, &id).ok());
    require(id > kHighestInTemplate);
    require(id > highestNamedBy(state));
  }
  QXOutbox reopened(path);
  require(reopened.open().ok());
  const std::vector<QXOutbox::Hit> hits = reopened.read(kHighestInTemplate, 10);
  require(hits.size() == 1 && hits[0].id == id && hits[0].body == "page=fuzz");
}

std::string withChecksumSet(std::string_view input) {
  std::string bytes(input);
  if (bytes.size() < kStateSize) bytes.resize(kStateSize, '\0');
  QXPutLittleEndian(bytes.data() + 16, QXCrc32(std::string_view(bytes.data(), 16)), 4);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input);
  check(withChecksumSet(input));
  return 0;
}
