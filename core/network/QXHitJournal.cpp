#include "core/network/QXHitJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/QXLogger.h"
#include "platform/QXBytes.h"
#include "platform/QXPlatform.h"
#include "platform/QXRealTime.h"

namespace {

constexpr char kMagic[4] = {'Q', 'X', 'H', 'J'};
constexpr uint16_t kVersion = 1;
constexpr uint16_t kReadableBy = 1;
constexpr size_t kHeaderSize = 16;       // magic, version, readable-by, order
constexpr size_t kFrameSize = 8;         // payload length, CRC-32
constexpr size_t kPayloadHeadSize = 13;  // flags, created ms, URL length
constexpr uint8_t kConsentFlag = 1;
constexpr const char* kPrefix = "outbox-";
constexpr const char* kSuffix = ".journal";
constexpr size_t kRandomDigits = 16;

// The order of segments: nanoseconds of the real clock when made, and never
// the same or less than the previous segment of this process, so that a
// process's segments keep their order whatever its clock does, and those of
// processes one after the other theirs.
uint64_t nextOrder() {
  static std::mutex mutex;
  static uint64_t last = 0;
  const auto now = static_cast<uint64_t>(QXRealTimeNanoseconds());
  std::lock_guard<std::mutex> lock(mutex);
  last = std::max(now, last + 1);
  return last;
}

std::string header(uint64_t order) {
  std::string h(kMagic, sizeof kMagic);
  QXPutLittleEndian(h, kVersion, 2);
  QXPutLittleEndian(h, kReadableBy, 2);
  QXPutLittleEndian(h, order, 8);
  return h;
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

std::string errnoText(int error) {
  return std::strerror(error);
}

bool preadAll(int fd, char* out, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool writeAt(int fd, const char* data, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// Writes the three parts at `offset` with as few system calls as the file
// system allows (one, but for a short write). Returns 0, or the cause of the
// failure with what was written of them in `*written`.
int writeWhole(int fd, iovec (&parts)[3], uint64_t offset, size_t* written) {
  const size_t total = parts[0].iov_len + parts[1].iov_len + parts[2].iov_len;
  *written = 0;
  while (*written < total) {
    // The parts not yet written, from where the last write stopped.
    iovec rest[3];
    int count = 0;
    size_t skip = *written;
    for (const iovec& part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<char*>(part.iov_base) + skip, part.iov_len - skip};
      skip = 0;
    }
    const ssize_t n = ::pwritev(fd, rest, count, static_cast<off_t>(offset + *written));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    *written += static_cast<size_t>(n);
  }
  return 0;
}

// Writes zeros over [from, to): the file's blocks are then allocated and its
// pages in the page cache, so that writing a record there later only copies
// it (several times cheaper than growing the file on the caller's thread).
bool writeZeros(int fd, uint64_t from, uint64_t to) {
  static const std::string zeros(64 * 1024, '\0');
  while (from < to) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(zeros.size(), to - from));
    if (!writeAt(fd, zeros.data(), size, from)) return false;
    from += size;
  }
  return true;
}

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

}  // namespace

// One segment: a locked file, or bytes in memory.
struct QXHitJournal::File {
  std::string name;
  std::string path;  // empty in memory
  int fd = -1;
  std::string memory;
  uint64_t size = 0;      // header and whole records: where the next record goes
  uint64_t capacity = 0;  // bytes of the file already written (records, then zeros)
  uint64_t ingested = 0;  // offset up to which the worker has ingested
  uint64_t order = 0;
  bool sealed = false;

  ~File() {
    if (fd >= 0) ::close(fd);
  }
};

QXHitJournal::QXHitJournal(std::string directory) : directory_(std::move(directory)) {
  memory_ = directory_.empty();
}

QXHitJournal::~QXHitJournal() = default;

bool QXHitJournal::inMemory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return memory_;
}

std::string QXHitJournal::pathOf(const std::string& name) const {
  return directory_.empty() ? std::string() : directory_ + "/" + name;
}

std::unique_ptr<QXHitJournal::File> QXHitJournal::makeFile(bool memory, uint64_t capacity,
                                                           std::string* error) {
  auto file = std::make_unique<File>();
  file->order = nextOrder();
  // Random, with the process and the clock mixed in: names must differ
  // across processes even where the random source does not.
  QXPlatform& platform = QXPlatform::current();
  const uint64_t salt =
      (static_cast<uint64_t>(::getpid()) << 32) ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t bits =
      ((static_cast<uint64_t>(platform.random32()) << 32) | platform.random32()) ^ salt;
  char digits[kRandomDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(bits));
  file->name = std::string(kPrefix) + digits + kSuffix;
  const std::string head = header(file->order);
  file->size = head.size();
  if (memory) {
    file->memory = head;
    return file;
  }
  // Made and locked under a name no adopter looks at, then linked into
  // place, which never replaces a file: a segment is never seen unlocked or
  // without its header.
  file->path = pathOf(file->name);
  const std::string making = file->path + ".new";
  file->fd = ::open(making.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool made = file->fd >= 0 && ::flock(file->fd, LOCK_EX | LOCK_NB) == 0 &&
              writeAt(file->fd, head.data(), head.size(), 0) &&
              writeZeros(file->fd, head.size(), capacity) &&
              ::link(making.c_str(), file->path.c_str()) == 0;
  const int cause = errno;
  if (file->fd >= 0) ::unlink(making.c_str());
  if (!made) {
    *error = errnoText(cause);
    return nullptr;
  }
  file->capacity = std::max<uint64_t>(capacity, head.size());
  return file;
}

QXStatus QXHitJournal::openActiveLocked() {
  activeBytes_.store(0, std::memory_order_release);
  if (spare_) {
    active_ = std::move(spare_);
    return QXStatus::OK();
  }
  // Made under the lock, and without the worker's preparation: only the
  // first append of the process, or one after the worker fell behind,
  // waits for it.
  std::string error;
  std::unique_ptr<File> file = makeFile(memory_, 0, &error);
  if (file == nullptr && !memory_) {
    memory_ = true;
    log("Delivery journal cannot be made in " + directory_ + " (" + error +
            "); hits are kept in memory until the process ends",
        4);
    file = makeFile(true, 0, &error);
  }
  if (file != nullptr) diskBytes_.fetch_add(file->capacity, std::memory_order_acq_rel);
  active_ = std::move(file);
  return QXStatus::OK();
}

QXStatus QXHitJournal::append(std::string_view url, std::string_view body, bool consent,
                              int64_t createdMs) {
  if (url.size() > 0xFFFFFFFFu - kPayloadHeadSize ||
      body.size() > 0xFFFFFFFFu - kPayloadHeadSize - url.size()) {
    return QXStatus::InvalidArgument("a hit of 4 GiB or more cannot be stored");
  }
  // The frame and its checksum are made before the lock is taken, on the
  // stack: this runs on the caller's thread for every hit.
  char head[kFrameSize + kPayloadHeadSize];
  char* payloadHead = head + kFrameSize;
  payloadHead[0] = static_cast<char>(consent ? kConsentFlag : 0);
  QXPutLittleEndian(payloadHead + 1, static_cast<uint64_t>(createdMs), 8);
  QXPutLittleEndian(payloadHead + 9, url.size(), 4);
  uint32_t crc = QXCrc32(std::string_view(payloadHead, kPayloadHeadSize));
  crc = QXCrc32(url, crc);
  crc = QXCrc32(body, crc);
  QXPutLittleEndian(head, kPayloadHeadSize + url.size() + body.size(), 4);
  QXPutLittleEndian(head + 4, crc, 4);
  const uint64_t recordSize = sizeof head + url.size() + body.size();

  const uint64_t limit = maxBacklogBytes_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  if (limit != 0 && backlogBytes_.load(std::memory_order_acquire) + recordSize > limit) {
    const QXStatus full = QXStatus::IOError("more than " + std::to_string(limit) +
                                            " bytes of hits wait to be taken into the outbox");
    noteFailureLocked(full);
    return full;
  }
  QXStatus status = active_ ? QXStatus::OK() : openActiveLocked();
  if (status.ok()) status = appendLocked(head, sizeof head, url, body);
  if (!status.ok()) {
    noteFailureLocked(status);
    return status;
  }
  if (failing_) {
    failing_ = false;
    log("Delivery journal stores hits again; " + std::to_string(refusedWhileFailing_) +
            " were refused meanwhile",
        3);
    refusedWhileFailing_ = 0;
  }
  return QXStatus::OK();
}

QXStatus QXHitJournal::appendLocked(const char* head, size_t headSize, std::string_view url,
                                    std::string_view body) {
  File& file = *active_;
  const size_t total = headSize + url.size() + body.size();
  if (file.fd < 0) {
    file.memory.append(head, headSize).append(url).append(body);
  } else {
    iovec parts[3] = {{const_cast<char*>(head), headSize},
                      {const_cast<char*>(url.data()), url.size()},
                      {const_cast<char*>(body.data()), body.size()}};
    size_t written = 0;
    const int cause = writeWhole(file.fd, parts, file.size, &written);
    if (cause != 0) {
      // What was written of the record is zeroed again, so that it ends the
      // segment cleanly for a reader; the next record goes in its place.
      if (written > 0) writeZeros(file.fd, file.size, file.size + written);
      return QXStatus::IOError("cannot store a hit: " + errnoText(cause));
    }
  }
  file.size += total;
  if (file.size > file.capacity) {
    diskBytes_.fetch_add(file.size - file.capacity, std::memory_order_acq_rel);
    file.capacity = file.size;
  }
  activeBytes_.fetch_add(total, std::memory_order_acq_rel);
  backlogBytes_.fetch_add(total, std::memory_order_acq_rel);
  return QXStatus::OK();
}

void QXHitJournal::noteFailureLocked(const QXStatus& status) {
  ++refusedWhileFailing_;
  if (failing_) return;
  failing_ = true;
  log("Delivery journal: " + status.message() + "; hits are refused until they can be stored", 4);
}

uint64_t QXHitJournal::activeBytes() const {
  return activeBytes_.load(std::memory_order_acquire);
}

bool QXHitJournal::activePrepared() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !active_ || active_->fd < 0 || active_->capacity > active_->size;
}

std::vector<QXHitJournal::Segment> QXHitJournal::segments() {
  std::vector<Segment> list;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& file : sealed_)
    list.push_back(Segment{file->name, true});
  if (active_) list.push_back(Segment{active_->name, false});
  return list;
}

std::string QXHitJournal::readRange(File& file, uint64_t from, uint64_t to) {
  std::string data;
  if (from >= to) return data;
  if (file.fd < 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    return file.memory.substr(from, to - from);
  }
  data.resize(to - from);
  if (!preadAll(file.fd, data.data(), data.size(), from)) data.clear();
  return data;
}

QXHitJournal::Chunk QXHitJournal::read(const Segment& segment, uint64_t from, size_t maxBytes) {
  Chunk chunk;
  File* file = nullptr;
  uint64_t end = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& sealed : sealed_) {
      if (sealed->name == segment.name) file = sealed.get();
    }
    if (active_ && active_->name == segment.name) file = active_.get();
    if (file == nullptr) {
      chunk.complete = true;
      return chunk;
    }
    // Appends only ever add whole records after this point.
    end = file->size;
  }
  const uint64_t start = std::max<uint64_t>(from, kHeaderSize);
  chunk.end = start;
  std::string data = readRange(*file, start, std::min<uint64_t>(end, start + maxBytes));
  size_t at = 0;
  for (;;) {
    const uint64_t position = start + at;
    if (position >= end) break;
    if (at + kFrameSize > data.size()) {
      if (at != 0) break;  // the rest on the next call
      data = readRange(*file, position, std::min<uint64_t>(end, position + kFrameSize));
    }
    if (data.size() < at + kFrameSize) {
      chunk.cutBytes = end - position;  // a frame cut short: torn
      break;
    }
    const uint64_t length = QXGetLittleEndian(data.data() + at, 4);
    if (length == 0 && QXGetLittleEndian(data.data() + at + 4, 4) == 0) {
      end = position;  // the zeros a prepared segment holds past its records
      break;
    }
    if (length < kPayloadHeadSize || position + kFrameSize + length > end) {
      chunk.cutBytes = end - position;
      break;
    }
    if (at + kFrameSize + length > data.size()) {
      if (at != 0) break;
      // A record larger than maxBytes: read it whole.
      data = readRange(*file, position, position + kFrameSize + length);
      if (data.size() < kFrameSize + length) {
        chunk.cutBytes = end - position;
        break;
      }
    }
    if (!parseRecord(data, at, length, chunk.records)) {
      chunk.cutBytes = end - position;
      break;
    }
    at += kFrameSize + length;
    chunk.end = start + at;
  }
  chunk.complete = chunk.cutBytes > 0 || chunk.end >= end;
  return chunk;
}

bool QXHitJournal::parseRecord(const std::string& data, size_t at, uint64_t length,
                               std::vector<Record>& records) {
  const uint32_t crc = static_cast<uint32_t>(QXGetLittleEndian(data.data() + at + 4, 4));
  const char* payload = data.data() + at + kFrameSize;
  if (QXCrc32(std::string_view(payload, length)) != crc) return false;
  const uint64_t urlLength = QXGetLittleEndian(payload + 9, 4);
  if (urlLength > length - kPayloadHeadSize) return false;
  Record record;
  record.consent = (static_cast<uint8_t>(payload[0]) & kConsentFlag) != 0;
  record.createdMs = static_cast<int64_t>(QXGetLittleEndian(payload + 1, 8));
  record.url.assign(payload + kPayloadHeadSize, urlLength);
  record.body.assign(payload + kPayloadHeadSize + urlLength, length - kPayloadHeadSize - urlLength);
  records.push_back(std::move(record));
  return true;
}

void QXHitJournal::prepare(uint64_t capacity) {
  bool memory = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_ || memory_) return;
    memory = memory_;
  }
  std::string error;
  std::unique_ptr<File> next = makeFile(memory, capacity, &error);
  if (next == nullptr) return;  // the next append makes one itself
  std::lock_guard<std::mutex> lock(mutex_);
  diskBytes_.fetch_add(next->capacity, std::memory_order_acq_rel);
  spare_ = std::move(next);
}

void QXHitJournal::rotate() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!active_ || active_->size <= kHeaderSize) return;
  active_->sealed = true;
  sealed_.push_back(std::move(active_));
  // The prepared segment, when there is one, takes over at once; otherwise
  // the next append makes one.
  active_ = std::move(spare_);
  activeBytes_.store(0, std::memory_order_release);
}

void QXHitJournal::markIngested(const Segment& segment, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  File* file = active_ && active_->name == segment.name ? active_.get() : nullptr;
  for (auto& sealed : sealed_) {
    if (sealed->name == segment.name) file = sealed.get();
  }
  if (file == nullptr) return;
  const uint64_t from = std::max<uint64_t>(file->ingested, kHeaderSize);
  const uint64_t to = std::min(std::max(offset, from), file->size);
  file->ingested = to;
  backlogBytes_.fetch_sub(std::min(to - from, backlogBytes_.load()), std::memory_order_acq_rel);
}

void QXHitJournal::retire(const Segment& segment) {
  std::unique_ptr<File> file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(sealed_.begin(), sealed_.end(),
                           [&](const auto& f) { return f->name == segment.name; });
    if (it == sealed_.end()) return;
    file = std::move(*it);
    sealed_.erase(it);
    diskBytes_.fetch_sub(std::min(file->capacity, diskBytes_.load()), std::memory_order_acq_rel);
    // What was never ingested (a tail cut off) leaves the backlog too.
    const uint64_t left =
        file->size - std::min(file->size, std::max<uint64_t>(file->ingested, kHeaderSize));
    backlogBytes_.fetch_sub(std::min(left, backlogBytes_.load()), std::memory_order_acq_rel);
  }
  // Unlinked before the lock is released with the descriptor: a process
  // waiting for the lock then finds the file gone.
  if (!file->path.empty()) ::unlink(file->path.c_str());
}

size_t QXHitJournal::adoptOrphans() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (memory_) return 0;
  }
  DIR* dir = ::opendir(directory_.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (isSegmentName(entry->d_name)) names.push_back(entry->d_name);
  }
  ::closedir(dir);

  std::vector<std::unique_ptr<File>> adopted;
  for (const std::string& name : names) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const bool known = (active_ && active_->name == name) ||
                         std::any_of(sealed_.begin(), sealed_.end(),
                                     [&](const auto& f) { return f->name == name; });
      if (known) continue;
    }
    auto file = std::make_unique<File>();
    file->name = name;
    file->path = pathOf(name);
    file->sealed = true;
    file->fd = ::open(file->path.c_str(), O_RDWR | O_CLOEXEC);
    if (file->fd < 0 || ::flock(file->fd, LOCK_EX | LOCK_NB) != 0) continue;  // a live owner
    struct stat info {};
    if (::fstat(file->fd, &info) != 0 || info.st_nlink == 0) continue;  // retired meanwhile
    file->size = static_cast<uint64_t>(info.st_size);
    file->capacity = file->size;
    char head[kHeaderSize];
    if (file->size < kHeaderSize || !preadAll(file->fd, head, kHeaderSize, 0)) {
      log("Delivery journal " + file->path + " lost its contents (" + std::to_string(file->size) +
              " bytes, too short for a header): the hits it held, if any, are lost",
          4);
      ::unlink(file->path.c_str());
      continue;
    }
    const bool ours = std::memcmp(head, kMagic, sizeof kMagic) == 0;
    const uint64_t readableBy = QXGetLittleEndian(head + 6, 2);
    if (!ours || readableBy > kVersion) {
      const std::string aside = file->path + ".unreadable";
      ::rename(file->path.c_str(), aside.c_str());
      log("Delivery journal " + file->path +
              (ours ? " was written by a later version" : " is not a journal") + "; moved to " +
              aside + ", its hits are not sent",
          4);
      continue;
    }
    file->order = QXGetLittleEndian(head + 8, 8);
    adopted.push_back(std::move(file));
  }
  const size_t count = adopted.size();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& file : adopted) {
    diskBytes_.fetch_add(file->capacity, std::memory_order_acq_rel);
    backlogBytes_.fetch_add(file->size - kHeaderSize, std::memory_order_acq_rel);
    sealed_.push_back(std::move(file));
  }
  std::stable_sort(sealed_.begin(), sealed_.end(),
                   [](const auto& a, const auto& b) { return a->order < b->order; });
  return count;
}
