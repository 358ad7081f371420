#include "core/network/QXJournalFile.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/network/QXJournalFormat.h"
#include "platform/QXDataDirectory.h"

namespace {

using QXJournalFormat::kHeaderSize;

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

// Writes the three parts at `offset`. Returns 0, or the cause of the
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
  // A plain array, not a string: the worker may still be here while the
  // process runs its exit handlers, and an array is never destroyed.
  static const char zeros[64 * 1024] = {};
  while (from < to) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(sizeof zeros, to - from));
    if (!writeAt(fd, zeros, size, from)) return false;
    from += size;
  }
  return true;
}

// Where the records of a segment of `fileSize` bytes end: at the first
// frame of zeros (room made for records that never came: not hits, nor
// backlog), or at the file's end. Read frame by frame only when the file
// ends in zeros, as a segment with room does.
uint64_t recordsEnd(int fd, uint64_t fileSize) {
  char frame[QXJournalFormat::kFrameSize];
  if (fileSize < kHeaderSize + sizeof frame ||
      !preadAll(fd, frame, sizeof frame, fileSize - sizeof frame) ||
      std::any_of(frame, frame + sizeof frame, [](char c) { return c != 0; }))
    return fileSize;
  uint64_t at = kHeaderSize;
  while (at + sizeof frame <= fileSize && preadAll(fd, frame, sizeof frame, at)) {
    const QXJournalFormat::Frame probe = QXJournalFormat::inspectFrame(frame, sizeof frame);
    if (probe.kind == QXJournalFormat::FrameKind::kEnd) return at;
    // A damaged frame is the reader's to cut, as ever.
    if (probe.kind == QXJournalFormat::FrameKind::kDamaged) break;
    at += sizeof frame + probe.length;
  }
  return fileSize;
}

bool mapsWrites(int fd) {
  struct statfs info {};
  return ::fstatfs(fd, &info) == 0 && QXJournalFile::mapsWritesOn(info.f_type);
}

// Makes [from, to) the file's own, reading as zeros. Where records go in
// through a mapping, the file system allocates the blocks (as unwritten
// extents: no data is written); elsewhere, or where it cannot (ext3),
// zeros are written, which also puts the pages in the page cache for the
// writes to come. Either way the blocks are allocated once and for all.
bool reserve(int fd, uint64_t from, uint64_t to, bool mapped) {
  if (from >= to) return true;
  if (mapped) {
    int rc;
    do {
      rc = ::fallocate(fd, 0, static_cast<off_t>(from), static_cast<off_t>(to - from));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
  }
  return writeZeros(fd, from, to);
}

}  // namespace

bool QXJournalFile::mapsWritesOn(int64_t type) {
  switch (type) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      return false;
  }
}

QXJournalFile::~QXJournalFile() {
  unmap();
  if (fd >= 0) ::close(fd);
}

void QXJournalFile::unmap() noexcept {
  takeMapping().unmap();
}

QXJournalFile::Mapping QXJournalFile::takeMapping() noexcept {
  Mapping mapping{mapped, mappedBytes};
  mapped = nullptr;
  mappedBytes = 0;
  return mapping;
}

void QXJournalFile::Mapping::unmap() noexcept {
  if (at != nullptr) ::munmap(at, static_cast<size_t>(bytes));
  at = nullptr;
  bytes = 0;
}

std::unique_ptr<QXJournalFile> QXJournalFile::make(const QXDataDirectory* directory,
                                                   const std::string& name, uint64_t order,
                                                   uint64_t capacity, std::string* error,
                                                   int* cause) {
  auto file = std::make_unique<QXJournalFile>();
  file->name = name;
  file->order = order;
  const std::string head = QXJournalFormat::header(order);
  file->size = head.size();
  if (directory == nullptr) {
    file->memory = head;
    return file;
  }
  // Made and locked under a name no adopter looks at, then linked into
  // place, which never replaces a file.
  file->path = directory->pathOf(name);
  const std::string making = name + ".new";
  file->fd = directory->openFile(making, O_RDWR | O_CREAT | O_EXCL, 0600);
  const bool mapped = capacity > head.size() && file->fd >= 0 && mapsWrites(file->fd);
  const bool made = file->fd >= 0 && ::flock(file->fd, LOCK_EX | LOCK_NB) == 0 &&
                    writeAt(file->fd, head.data(), head.size(), 0) &&
                    reserve(file->fd, head.size(), capacity, mapped) &&
                    directory->link(making, name);
  *cause = errno;
  if (file->fd >= 0) directory->unlink(making);
  if (!made) {
    *error = std::strerror(*cause);
    return nullptr;
  }
  file->capacity = std::max<uint64_t>(capacity, head.size());
  file->ahead = file->capacity > file->size;
  if (mapped) {
    void* at = ::mmap(nullptr, static_cast<size_t>(file->capacity), PROT_READ | PROT_WRITE,
                      MAP_SHARED, file->fd, 0);
    if (at != MAP_FAILED) {
      file->mapped = static_cast<char*>(at);
      file->mappedBytes = file->capacity;
    }
  }
  return file;
}

void QXJournalFile::faultInMapping() noexcept {
  if (mapped == nullptr) return;
  // The pages past the header, made writable here in one call rather than
  // one fault each in the writes that need them.
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t from = size / page * page;
#ifdef MADV_POPULATE_WRITE
  if (::madvise(mapped + from, static_cast<size_t>(mappedBytes - from), MADV_POPULATE_WRITE) == 0)
    return;
#endif
  // Older kernels: a zero written over a zero, in every page.
  volatile char* bytes = mapped;
  for (uint64_t offset = size; offset < mappedBytes; offset = (offset / page + 1) * page)
    bytes[offset] = 0;
}

QXJournalFile::Adoption QXJournalFile::adopt(const QXDataDirectory& directory,
                                             const std::string& name,
                                             std::unique_ptr<QXJournalFile>* taken) {
  auto file = std::make_unique<QXJournalFile>();
  file->name = name;
  file->path = directory.pathOf(name);
  file->sealed = true;
  file->own = false;
  file->fd = directory.openFile(name, O_RDWR);
  if (file->fd < 0 || ::flock(file->fd, LOCK_EX | LOCK_NB) != 0) return Adoption::kLive;
  struct stat info {};
  if (::fstat(file->fd, &info) != 0 || info.st_nlink == 0) return Adoption::kLive;  // retired
  file->size = static_cast<uint64_t>(info.st_size);
  file->capacity = file->size;
  char head[kHeaderSize];
  if (file->size < kHeaderSize || !preadAll(file->fd, head, kHeaderSize, 0)) {
    directory.unlink(name);
    return Adoption::kEmpty;
  }
  switch (QXJournalFormat::classifyHeader(head, sizeof head)) {
    case QXJournalFormat::HeaderKind::kOurs:
      break;
    case QXJournalFormat::HeaderKind::kLaterVersion:
      directory.rename(name, name + ".unreadable");
      return Adoption::kLaterVersion;
    case QXJournalFormat::HeaderKind::kNotAJournal:
      directory.rename(name, name + ".unreadable");
      return Adoption::kNotAJournal;
  }
  file->order = QXJournalFormat::orderOf(head);
  file->size = recordsEnd(file->fd, file->size);
  *taken = std::move(file);
  return Adoption::kAdopted;
}

int QXJournalFile::write(const char* head, size_t headSize, std::string_view url,
                         std::string_view body) {
  const size_t total = headSize + url.size() + body.size();
  if (fd < 0) {
    memory.append(head, headSize).append(url).append(body);
  } else if (mapped != nullptr && size <= mappedBytes && total <= mappedBytes - size) {
    char* at = mapped + size;
    std::memcpy(at, head, headSize);
    std::memcpy(at + headSize, url.data(), url.size());
    std::memcpy(at + headSize + url.size(), body.data(), body.size());
  } else {
    iovec parts[3] = {{const_cast<char*>(head), headSize},
                      {const_cast<char*>(url.data()), url.size()},
                      {const_cast<char*>(body.data()), body.size()}};
    size_t written = 0;
    const int cause = writeWhole(fd, parts, size, &written);
    if (cause != 0) {
      if (written > 0) writeZeros(fd, size, size + written);
      return cause;
    }
  }
  size += total;
  capacity = std::max(capacity, size);
  return 0;
}

std::string QXJournalFile::readFile(uint64_t from, uint64_t to) const {
  std::string data;
  if (from >= to) return data;
  data.resize(static_cast<size_t>(to - from));
  if (!preadAll(fd, data.data(), data.size(), from)) data.clear();
  return data;
}

void QXJournalFile::releaseZeros() {
  if (fd < 0 || capacity <= size) return;
  unmap();  // never a mapping past the end of its file
  if (::ftruncate(fd, static_cast<off_t>(size)) == 0) capacity = size;
}

void QXJournalFile::closeInherited() noexcept {
  unmap();
  if (fd >= 0) ::close(fd);
  fd = -1;
}
