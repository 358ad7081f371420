#include "core/network/QXHitJournal.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/QXLogger.h"
#include "platform/QXDataDirectory.h"
#include "platform/QXPlatform.h"
#include "platform/QXRealTime.h"

namespace {

using QXJournalFormat::FrameKind;
using QXJournalFormat::kFrameSize;
using QXJournalFormat::kHeaderSize;
using QXJournalFormat::kRecordHeadSize;

// Zeros are written ahead only while the file system has this many times
// their size free: the last of the disk is for the outbox and the hits.
constexpr uint64_t kRoomToSpare = 16;

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

bool roomToSpare(const std::string& directory, uint64_t bytes) {
  struct statvfs info {};
  if (::statvfs(directory.c_str(), &info) != 0) return false;
  const uint64_t free = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return free / kRoomToSpare >= bytes;
}

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

void subtract(std::atomic<uint64_t>& counter, uint64_t amount) {
  counter.fetch_sub(std::min(amount, counter.load(std::memory_order_acquire)),
                    std::memory_order_acq_rel);
}

}  // namespace

QXHitJournal::QXHitJournal(std::string directory) : directory_(std::move(directory)) {}

QXHitJournal::~QXHitJournal() = default;

std::string QXHitJournal::pathOf(const std::string& name) const {
  return inMemory() ? std::string() : directory_ + "/" + name;
}

const QXDataDirectory* QXHitJournal::folder(bool* memory, std::string* why) {
  std::lock_guard<std::mutex> lock(folderMutex_);
  *memory = directory_.empty() || refused_.load(std::memory_order_acquire);
  if (*memory || folder_) return folder_.get();
  folder_ = QXDataDirectory::open(directory_, why);
  if (folder_ == nullptr && errno == EPERM) {
    // Not the process's own: nothing is ever made there.
    refused_.store(true, std::memory_order_release);
    *memory = true;
    log("Delivery journal: the directory is not used (" + *why +
            "); hits are kept in memory until the process ends",
        4);
  }
  return folder_.get();
}

QXHitJournal::Backlog QXHitJournal::backlog() const {
  Backlog backlog;
  backlog.records = backlogRecords_.load(std::memory_order_acquire);
  backlog.bytes = backlogBytes_.load(std::memory_order_acquire);
  return backlog;
}

std::unique_ptr<QXHitJournal::File> QXHitJournal::makeFile(uint64_t capacity, std::string* error) {
  // Random, with the process and the clock mixed in: names must differ
  // across processes even where the random source does not.
  QXPlatform& platform = QXPlatform::current();
  const uint64_t salt =
      (static_cast<uint64_t>(::getpid()) << 32) ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t bits =
      ((static_cast<uint64_t>(platform.random32()) << 32) | platform.random32()) ^ salt;
  bool memory = false;
  const QXDataDirectory* directory = folder(&memory, error);
  if (directory == nullptr && !memory) return nullptr;
  int cause = 0;
  std::unique_ptr<File> file = File::make(directory, QXJournalFormat::segmentName(bits),
                                          nextOrder(), capacity, error, &cause);
  if (file != nullptr && file->mapped != nullptr)
    mapsWrites_.store(true, std::memory_order_relaxed);
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
  // waits for it. Where records go in through a mapping, it is made with
  // room, as the worker would: a burst then writes with copies, not calls.
  std::string error;
  const uint64_t room = rotateBytes_.load(std::memory_order_relaxed);
  std::unique_ptr<File> file;
  if (mapsWrites_.load(std::memory_order_relaxed) && room > 0 && roomToSpare(directory_, room))
    file = makeFile(room, &error);
  if (file == nullptr) file = makeFile(0, &error);
  if (file != nullptr) file->faultInMapping();
  if (file == nullptr) {
    return QXStatus::IOError("no journal segment can be made in " + directory_ + " (" + error +
                             ")");
  }
  diskBytes_.fetch_add(file->capacity, std::memory_order_acq_rel);
  active_ = std::move(file);
  return QXStatus::OK();
}

QXStatus QXHitJournal::append(std::string_view url, std::string_view body, bool consent,
                              int64_t createdMs) {
  // The frame and its checksum are made before the lock is taken, on the
  // stack: this runs on the caller's thread for every hit.
  char head[kRecordHeadSize];
  if (!QXJournalFormat::encodeRecordHead(head, url, body, consent, createdMs))
    return QXStatus::InvalidArgument("a hit of 4 GiB or more cannot be stored");
  const uint64_t total = sizeof head + url.size() + body.size();

  std::lock_guard<std::mutex> lock(mutex_);
  QXStatus status = active_ ? QXStatus::OK() : openActiveLocked();
  if (status.ok()) {
    const uint64_t capacity = active_->capacity;
    const int cause = active_->write(head, sizeof head, url, body);
    if (cause != 0) {
      status = QXStatus::IOError(std::string("cannot store a hit: ") + std::strerror(cause));
      // What was written ahead for later hits is given back to whatever
      // can use it now.
      if (cause == ENOSPC && spare_) {
        const uint64_t before = spare_->capacity;
        spare_->releaseZeros();
        subtract(diskBytes_, before - spare_->capacity);
      }
    } else {
      diskBytes_.fetch_add(active_->capacity - capacity, std::memory_order_acq_rel);
    }
  }
  if (!status.ok()) {
    noteFailureLocked(status);
    return status;
  }
  ++active_->recordsLeft;
  backlogRecords_.fetch_add(1, std::memory_order_acq_rel);
  backlogBytes_.fetch_add(total, std::memory_order_acq_rel);
  const uint64_t grown = activeBytes_.fetch_add(total, std::memory_order_acq_rel) + total;
  if (failing_) {
    failing_ = false;
    log("Delivery journal stores hits again; " + std::to_string(refusedWhileFailing_) +
            " were refused meanwhile",
        3);
    refusedWhileFailing_ = 0;
  }
  // A worker busy elsewhere may not seal the segment in time: the caller
  // does it, so that segments stay small whatever the pace of the hits and
  // each is deleted soon after its last hit is taken in. A prepared segment
  // takes over at once; without one, the next append makes one: past twice
  // the size, unless it costs no more than a prepared one (with room,
  // mapped).
  const uint64_t rotateAt = rotateBytes_.load(std::memory_order_relaxed);
  const bool nextIsCheap = spare_ || mapsWrites_.load(std::memory_order_relaxed);
  if (rotateAt != 0 && (nextIsCheap ? grown >= rotateAt : grown >= 2 * rotateAt)) {
    rotateLocked();
    rotatedByAppend_ = true;
  }
  return QXStatus::OK();
}

void QXHitJournal::noteFailureLocked(const QXStatus& status) {
  ++refusedWhileFailing_;
  if (failing_) return;
  failing_ = true;
  log("Delivery journal: " + status.message() + "; hits are refused until they can be stored", 4);
}

bool QXHitJournal::activePrepared() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !active_ || active_->fd < 0 || active_->ahead;
}

std::vector<QXHitJournal::Segment> QXHitJournal::segments() {
  std::vector<Segment> list;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& file : sealed_)
    list.push_back(Segment{file->name, true, file->own});
  if (active_) list.push_back(Segment{active_->name, false, true});
  return list;
}

QXHitJournal::File* QXHitJournal::findLocked(const std::string& name) {
  if (active_ && active_->name == name) return active_.get();
  for (auto& sealed : sealed_) {
    if (sealed->name == name) return sealed.get();
  }
  return nullptr;
}

std::string QXHitJournal::readRange(File& file, uint64_t from, uint64_t to) {
  if (file.fd >= 0) return file.readFile(from, to);
  std::lock_guard<std::mutex> lock(mutex_);
  if (from >= to || from >= file.memory.size()) return std::string();
  return file.memory.substr(static_cast<size_t>(from), static_cast<size_t>(to - from));
}

QXHitJournal::Chunk QXHitJournal::read(const Segment& segment, uint64_t from, size_t maxBytes,
                                       const Keep& keep) {
  Chunk chunk;
  File* file = nullptr;
  uint64_t end = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file = findLocked(segment.name);
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
  while (start + at < end) {
    const uint64_t position = start + at;
    QXJournalFormat::Frame frame =
        QXJournalFormat::inspectFrame(data.data() + at, data.size() - at);
    if (frame.kind == FrameKind::kIncomplete) {
      if (at != 0) break;  // the rest on the next call
      // A record larger than maxBytes: read it whole, when the segment
      // holds it whole.
      const std::string head = readRange(*file, position, std::min(end, position + kFrameSize));
      const auto probe = QXJournalFormat::inspectFrame(head.data(), head.size());
      if (probe.kind == FrameKind::kEnd) {
        end = position;
        break;
      }
      if (head.size() < kFrameSize || probe.kind == FrameKind::kDamaged ||
          probe.length > end - position - kFrameSize) {
        chunk.cutBytes = end - position;  // torn: it runs past the end
        break;
      }
      data = readRange(*file, position, position + kFrameSize + probe.length);
      frame = QXJournalFormat::inspectFrame(data.data(), data.size());
    }
    if (frame.kind == FrameKind::kEnd) {
      end = position;  // the zeros a prepared segment holds past its records
      break;
    }
    if (frame.kind != FrameKind::kRecord) {
      chunk.cutBytes = end - position;
      break;
    }
    const char* record = data.data() + at;
    const uint64_t recordBytes = kFrameSize + frame.length;
    const int64_t createdMs = QXJournalFormat::createdMsOf(record);
    const Verdict verdict = keep ? keep(createdMs, recordBytes) : Verdict::kKeep;
    if (verdict == Verdict::kStop) break;
    if (verdict == Verdict::kKeep) {
      chunk.records.push_back(QXJournalFormat::decodeRecord(record, frame));
    } else {
      chunk.skipped.push_back(
          Skipped{createdMs, QXJournalFormat::urlOf(record), verdict == Verdict::kTooOld});
    }
    at += static_cast<size_t>(recordBytes);
    chunk.end = start + at;
  }
  chunk.complete = chunk.cutBytes > 0 || chunk.end >= end;
  return chunk;
}

void QXHitJournal::prepare(uint64_t capacity) {
  if (inMemory()) return;
  unmapSealed();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_) return;
    if (mapsWrites_.load(std::memory_order_relaxed)) {
      // Reserving room costs next to nothing where records go in through a
      // mapping, and there the caller seals a segment as soon as it is
      // full: no room is kept past its size, which a sealed segment would
      // hold for nothing and the bounds would count.
      const uint64_t rotateAt = rotateBytes_.load(std::memory_order_relaxed);
      if (rotateAt != 0) capacity = std::min(capacity, rotateAt);
    } else if (rotatedByAppend_) {
      // Hits that fill segments faster than the worker prepares them would
      // only be slowed by zeros written twice over: in a burst, appends
      // grow the file instead.
      capacity = 0;
    }
    rotatedByAppend_ = false;
  }
  if (!roomToSpare(directory_, capacity)) capacity = 0;
  std::string error;
  std::unique_ptr<File> next = makeFile(capacity, &error);
  if (next == nullptr) return;  // the next append makes one itself
  next->faultInMapping();
  std::lock_guard<std::mutex> lock(mutex_);
  diskBytes_.fetch_add(next->capacity, std::memory_order_acq_rel);
  spare_ = std::move(next);
}

void QXHitJournal::unmapSealed() {
  std::vector<QXJournalFile::Mapping> mappings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& file : sealed_) {
      if (file->mapped != nullptr) mappings.push_back(file->takeMapping());
    }
  }
  // Outside the lock: appends never wait for it.
  for (QXJournalFile::Mapping& mapping : mappings)
    mapping.unmap();
}

void QXHitJournal::releasePrepared() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!spare_) return;
  const uint64_t before = spare_->capacity;
  spare_->releaseZeros();
  subtract(diskBytes_, before - spare_->capacity);
}

void QXHitJournal::rotate() {
  std::lock_guard<std::mutex> lock(mutex_);
  rotateLocked();
}

void QXHitJournal::rotateLocked() {
  if (!active_ || active_->size <= kHeaderSize) return;
  active_->sealed = true;
  sealed_.push_back(std::move(active_));
  // The prepared segment, when there is one, takes over at once; otherwise
  // the next append makes one.
  active_ = std::move(spare_);
  activeBytes_.store(0, std::memory_order_release);
}

void QXHitJournal::markIngested(const Segment& segment, uint64_t offset, uint64_t records) {
  std::lock_guard<std::mutex> lock(mutex_);
  File* file = findLocked(segment.name);
  if (file == nullptr) return;
  const uint64_t from = std::max<uint64_t>(file->ingested, kHeaderSize);
  const uint64_t to = std::min(std::max(offset, from), file->size);
  file->ingested = to;
  subtract(backlogBytes_, to - from);
  const uint64_t taken = std::min(records, file->recordsLeft);
  file->recordsLeft -= taken;
  subtract(backlogRecords_, taken);
}

bool QXHitJournal::retire(const Segment& segment) {
  std::unique_ptr<File> file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(sealed_.begin(), sealed_.end(),
                           [&](const auto& f) { return f->name == segment.name; });
    if (it == sealed_.end()) return true;
    // Unlinked while still locked: a process waiting for the lock then
    // finds the file gone.
    if (!(*it)->path.empty() && !folder_->unlink((*it)->name) && errno != ENOENT) return false;
    file = std::move(*it);
    sealed_.erase(it);
    subtract(diskBytes_, file->capacity);
    // What was never taken in (a tail cut off) leaves the backlog too.
    subtract(backlogBytes_,
             file->size - std::min(file->size, std::max<uint64_t>(file->ingested, kHeaderSize)));
    subtract(backlogRecords_, file->recordsLeft);
  }
  return true;
}

size_t QXHitJournal::adoptOrphans() {
  bool memory = false;
  std::string why;
  const QXDataDirectory* directory = folder(&memory, &why);
  if (directory == nullptr) return 0;
  std::vector<std::string> names = directory->names();
  names.erase(
      std::remove_if(names.begin(), names.end(),
                     [](const std::string& name) { return !QXJournalFormat::isSegmentName(name); }),
      names.end());

  std::vector<std::unique_ptr<File>> adopted;
  for (const std::string& name : names) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (findLocked(name) != nullptr || (spare_ && spare_->name == name)) continue;
    }
    std::unique_ptr<File> file;
    const std::string path = pathOf(name);
    switch (File::adopt(*directory, name, &file)) {
      case File::Adoption::kAdopted:
        adopted.push_back(std::move(file));
        break;
      case File::Adoption::kLive:
        break;
      case File::Adoption::kEmpty:
        log("Delivery journal " + path +
                " lost its contents (too short for a header): the hits it held, if any, are lost",
            4);
        break;
      case File::Adoption::kLaterVersion:
        log("Delivery journal " + path + " was written by a later version; moved to " + path +
                ".unreadable, its hits are not sent",
            4);
        break;
      case File::Adoption::kNotAJournal:
        log("Delivery journal " + path + " is not a journal; moved to " + path +
                ".unreadable, its hits are not sent",
            4);
        break;
    }
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

void QXHitJournal::lockForFork() {
  mutex_.lock();
}

void QXHitJournal::unlockInParent() {
  mutex_.unlock();
}

void QXHitJournal::abandonInChild() noexcept {
  // The lock was taken before the fork by this very thread: the files are
  // as the parent left them, and the child lets go of its copies.
  for (auto* file : {active_.get(), spare_.get()}) {
    if (file != nullptr) file->closeInherited();
  }
  for (auto& file : sealed_)
    file->closeInherited();
  mutex_.unlock();
}
