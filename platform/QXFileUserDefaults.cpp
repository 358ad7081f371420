#include "platform/QXFileUserDefaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include "platform/QXBytes.h"
#include "platform/QXDataDirectory.h"
#include "platform/QXPlatformLog.h"

namespace {

constexpr char kMagic[4] = {'Q', 'X', 'U', 'D'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 8;
constexpr size_t kRecordHeaderSize = 13;  // crc, op, key length, value length
constexpr uint8_t kOpSet = 1;
constexpr uint8_t kOpRemove = 2;
// The log is rewritten once it holds this much more than the live records.
constexpr uint64_t kCompactionSlack = uint64_t{256} * 1024;
constexpr size_t kMaxFieldSize = 0xFFFFFFFFu;

void putU32(std::string& out, uint32_t v) {
  QXPutLittleEndian(out, v, 4);
}

uint32_t getU32(const char* p) {
  return static_cast<uint32_t>(QXGetLittleEndian(p, 4));
}

uint32_t crc32(const char* data, size_t size) {
  return QXCrc32(std::string_view(data, size));
}

std::string header() {
  std::string h(kMagic, sizeof kMagic);
  putU32(h, kVersion);
  return h;
}

std::string encodeRecord(uint8_t op, const std::string& key, const std::string& value) {
  std::string record;
  record.reserve(kRecordHeaderSize + key.size() + value.size());
  putU32(record, 0);  // crc, filled below
  record.push_back(static_cast<char>(op));
  putU32(record, static_cast<uint32_t>(key.size()));
  putU32(record, static_cast<uint32_t>(value.size()));
  record += key;
  record += value;
  const uint32_t crc = crc32(record.data() + 4, record.size() - 4);
  for (size_t i = 0; i < 4; ++i)
    record[i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return record;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool readAll(int fd, std::string& out) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
}

// The text of errno; std::strerror is not safe to call from several threads.
std::string errnoText() {
  return std::generic_category().message(errno);
}

std::string directoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t recordSize(const std::string& key, const std::string& value) {
  return kRecordHeaderSize + key.size() + value.size();
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

QXFileUserDefaults::QXFileUserDefaults(std::string path)
    : path_(std::move(path)), name_(nameOf(path_)) {
  std::string why;
  directory_ = QXDataDirectory::open(directoryOf(path_), &why);
  if (directory_ == nullptr) {
    QXReportPlatformError("user defaults " + path_ + ": the directory is not used (" + why +
                          "); values are kept in memory only");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  openAndLoad();
}

QXFileUserDefaults::~QXFileUserDefaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
}

bool QXFileUserDefaults::isPersistent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0;
}

void QXFileUserDefaults::moveAside(const std::string& why) {
  const std::string asideName = name_ + ".corrupt-" + std::to_string(std::time(nullptr));
  const std::string aside = directory_->pathOf(asideName);
  if (directory_->rename(name_, asideName)) {
    QXReportPlatformError("user defaults " + path_ + ": " + why + "; moved aside to " + aside +
                          " and started afresh");
  } else {
    QXReportPlatformError("user defaults " + path_ + ": " + why + "; could not move it aside (" +
                          errnoText() + "), replacing it");
    directory_->unlink(name_);
  }
}

QXFileUserDefaults::Lock QXFileUserDefaults::lockFile(int& fd) {
  // Bounded: each retry means the writer replaced the file in between.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return Lock::kHeldElsewhere;
      if (errno == EINTR) continue;
      // A file system without locks: the file is used as it was before
      // there were locks, by whoever opens it.
      QXReportPlatformError("user defaults " + path_ + ": cannot be locked (" + errnoText() +
                            "); another process of this application could overwrite it");
      return Lock::kTaken;
    }
    // The lock is on the file that was opened. The writer that held it may
    // have replaced the file under this name since (compaction by rename):
    // then the lock is on a file nobody will read again.
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && directory_->statFile(name_, &named) &&
        sameFile(opened, named)) {
      return Lock::kTaken;
    }
    ::close(fd);
    fd = directory_->openFile(name_, O_RDWR | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return Lock::kTaken;  // the caller reports the failed open
  }
  return Lock::kHeldElsewhere;
}

void QXFileUserDefaults::openAndLoad() {
  auto openFile = [this](int extraFlags) {
    return directory_->openFile(name_, O_RDWR | O_CREAT | O_APPEND | extraFlags, 0600);
  };
  bool heldElsewhere = false;
  // Every file this object writes is locked first, so that two processes
  // never both write one: the second keeps its values in memory.
  auto openLocked = [&](int extraFlags) {
    int fd = openFile(extraFlags);
    if (fd >= 0 && lockFile(fd) == Lock::kHeldElsewhere) heldElsewhere = true;
    return fd;
  };
  // The file in the way is kept for the user to inspect; a fresh one starts
  // beside it.
  auto replace = [&](int fd, const std::string& why, int extraFlags) {
    if (fd >= 0) ::close(fd);
    moveAside(why);
    return openLocked(extraFlags);
  };
  std::string contents;
  struct stat before {};
  // Only a file of the process's user counts: anything else under the name
  // is moved aside by the open, and held nothing of the application's.
  const bool existed = directory_->statFile(name_, &before) && S_ISREG(before.st_mode) &&
                       before.st_uid == ::geteuid();
  int fd = openLocked(0);
  if (heldElsewhere) {
    loadWithoutWriting(fd);
    return;
  }
  if (fd < 0 && errno != ENOENT) {
    fd = replace(-1, "cannot be opened (" + errnoText() + ")", 0);  // permissions, a directory
  } else if (fd >= 0 && !readAll(fd, contents)) {
    fd = replace(fd, "cannot be read (" + errnoText() + ")", 0);
    contents.clear();
  }
  // A file is never left empty by this class (it is made with its header,
  // compacted by rename): an empty one lost what it held.
  const bool foundEmpty = existed && fd >= 0 && contents.empty();
  if (fd >= 0 && !heldElsewhere && !contents.empty() &&
      (contents.size() < kHeaderSize || contents.compare(0, kHeaderSize, header()) != 0)) {
    fd = replace(fd, "is not a defaults file of this version", O_TRUNC);
    contents.clear();
  }
  if (heldElsewhere) {
    // Another process took the fresh file first.
    loadWithoutWriting(fd);
    return;
  }
  if (fd < 0) {
    QXReportPlatformError("user defaults " + path_ + ": cannot be created (" + errnoText() +
                          "); values are kept in memory only");
    return;
  }
  fd_ = fd;
  ::fchmod(fd_, 0600);
  if (contents.empty()) {
    if (foundEmpty) {
      QXReportPlatformError("user defaults " + path_ +
                            ": the file was empty; the state it held (visitor identifier, visit "
                            "and launch counters, version history) is lost and starts anew");
    }
    const std::string h = header();
    if (!writeAll(fd_, h.data(), h.size())) {
      QXReportPlatformError("user defaults " + path_ + ": cannot write (" + errnoText() + ")");
      missedWrites_ = true;
    }
    fileBytes_ = h.size();
    unsynced_ = true;
    return;
  }
  loadFrom(contents, /*writer=*/true);
  ::lseek(fd_, 0, SEEK_END);
}

void QXFileUserDefaults::loadWithoutWriting(int fd) {
  std::string contents;
  const bool read = readAll(fd, contents);
  ::close(fd);
  if (read && contents.size() >= kHeaderSize && contents.compare(0, kHeaderSize, header()) == 0) {
    loadFrom(contents, /*writer=*/false);
  }
  QXReportPlatformError("user defaults " + path_ +
                        ": in use by another process of this application; this one starts from "
                        "what the file holds and keeps its changes in memory only");
}

void QXFileUserDefaults::loadFrom(const std::string& contents, bool writer) {
  size_t offset = kHeaderSize;
  while (offset < contents.size()) {
    const size_t remaining = contents.size() - offset;
    if (remaining < kRecordHeaderSize) break;
    const char* p = contents.data() + offset;
    const uint8_t op = static_cast<uint8_t>(p[4]);
    const uint64_t keyLength = getU32(p + 5);
    const uint64_t valueLength = getU32(p + 9);
    const uint64_t total = kRecordHeaderSize + keyLength + valueLength;
    if (total > remaining) break;
    if (crc32(p + 4, static_cast<size_t>(total - 4)) != getU32(p)) break;
    if (op != kOpSet && op != kOpRemove) break;
    std::string key(p + kRecordHeaderSize, static_cast<size_t>(keyLength));
    if (op == kOpSet) {
      values_[std::move(key)] =
          std::string(p + kRecordHeaderSize + keyLength, static_cast<size_t>(valueLength));
    } else {
      values_.erase(key);
    }
    offset += static_cast<size_t>(total);
  }
  liveBytes_ = 0;
  for (const auto& [key, value] : values_)
    liveBytes_ += recordSize(key, value);
  fileBytes_ = contents.size();
  // A reader may find the writer's record half-appended: only the writer
  // judges the tail.
  if (writer && offset < contents.size()) {
    QXReportPlatformError("user defaults " + path_ + ": damaged after byte " +
                          std::to_string(offset) + " (" + std::to_string(contents.size() - offset) +
                          " bytes dropped, " + std::to_string(values_.size()) + " keys kept)");
    rewrite();
  }
}

std::optional<std::string> QXFileUserDefaults::objectForKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void QXFileUserDefaults::setObject(const std::string& value, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (key.size() > kMaxFieldSize || value.size() > kMaxFieldSize) {
    QXReportPlatformError("user defaults " + path_ +
                          ": a key or value of 4 GiB or more is not stored");
    return;
  }
  auto it = values_.find(key);
  if (it != values_.end()) {
    if (it->second == value) return;  // nothing to persist
    liveBytes_ -= recordSize(key, it->second);
    it->second = value;
  } else {
    values_.emplace(key, value);
  }
  liveBytes_ += recordSize(key, value);
  appendRecord(kOpSet, key, value);
}

void QXFileUserDefaults::removeObject(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return;
  liveBytes_ -= recordSize(key, it->second);
  values_.erase(it);
  appendRecord(kOpRemove, key, std::string());
}

bool QXFileUserDefaults::synchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return false;
  if (missedWrites_ && !rewrite()) return false;
  if (!unsynced_) return true;
  if (::fdatasync(fd_) != 0) {
    QXReportPlatformError("user defaults " + path_ + ": cannot sync (" + errnoText() + ")");
    return false;
  }
  unsynced_ = false;
  return true;
}

void QXFileUserDefaults::appendRecord(uint8_t op, const std::string& key,
                                      const std::string& value) {
  if (fd_ < 0) return;
  if (missedWrites_) {
    // An earlier write failed: the whole state has to be written anew.
    rewrite();
    return;
  }
  const std::string record = encodeRecord(op, key, value);
  if (!writeAll(fd_, record.data(), record.size())) {
    QXReportPlatformError("user defaults " + path_ + ": cannot write (" + errnoText() + ")");
    missedWrites_ = true;
    return;
  }
  fileBytes_ += record.size();
  unsynced_ = true;
  maybeCompact();
}

void QXFileUserDefaults::maybeCompact() {
  if (fileBytes_ > 2 * liveBytes_ + kCompactionSlack) rewrite();
}

bool QXFileUserDefaults::rewrite() {
  if (fd_ < 0) return false;
  const std::string temporaryName = name_ + ".tmp";
  const std::string temporary = directory_->pathOf(temporaryName);
  int fd = directory_->openFile(temporaryName, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    QXReportPlatformError("user defaults " + temporary + ": cannot be created (" + errnoText() +
                          ")");
    missedWrites_ = true;
    return false;
  }
  // Locked before it takes the file's name, so that no process finds the
  // name unlocked in between and starts writing too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    QXReportPlatformError("user defaults " + temporary + ": locked by another process");
    ::close(fd);
    missedWrites_ = true;
    return false;
  }
  std::string contents = header();
  contents.reserve(kHeaderSize + liveBytes_);
  for (const auto& [key, value] : values_)
    contents += encodeRecord(kOpSet, key, value);
  bool ok = writeAll(fd, contents.data(), contents.size()) && ::fdatasync(fd) == 0 &&
            directory_->rename(temporaryName, name_);
  if (!ok) {
    QXReportPlatformError("user defaults " + path_ + ": cannot be rewritten (" + errnoText() + ")");
    ::close(fd);
    directory_->unlink(temporaryName);
    missedWrites_ = true;
    return false;
  }
  // Make the rename itself durable.
  directory_->sync();
  ::close(fd_);
  fd_ = fd;
  ::fcntl(fd_, F_SETFL, O_APPEND);
  fileBytes_ = contents.size();
  missedWrites_ = false;
  unsynced_ = false;  // the new file was synced before it took the old one's place
  return true;
}
