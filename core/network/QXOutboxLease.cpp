#include "core/network/QXOutboxLease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/QXDataDirectory.h"

std::string QXOutboxLease::fileName(int64_t owner) {
  char name[48];
  std::snprintf(name, sizeof name, "outbox-%016llx.lease", static_cast<unsigned long long>(owner));
  return name;
}

bool QXOutboxLease::take(const QXDataDirectory& directory, int64_t owner, std::string* error) {
  release();
  const std::string name = fileName(owner);
  const std::string making = name + ".new";
  const int fd = directory.openFile(making, O_RDWR | O_CREAT | O_EXCL, 0600);
  const bool made = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && directory.link(making, name);
  const int cause = errno;
  if (fd >= 0) directory.unlink(making);
  if (!made) {
    if (fd >= 0) ::close(fd);
    *error = std::string("cannot take a lease: ") + std::strerror(cause);
    return false;
  }
  fd_ = fd;
  directory_ = &directory;
  name_ = name;
  return true;
}

void QXOutboxLease::release() {
  if (fd_ < 0) return;
  // Unlinked while still locked: a process that takes the lock after this
  // finds the file gone, not a lease to think dead and delete again.
  directory_->unlink(name_);
  ::close(fd_);
  fd_ = -1;
}

void QXOutboxLease::closeInherited() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool QXOutboxLease::ownerGone(const QXDataDirectory& directory, int64_t owner) {
  const std::string name = fileName(owner);
  const int fd = directory.openFile(name, O_RDWR);
  if (fd < 0) return errno == ENOENT;
  bool gone = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    struct stat info {};
    // Locked by nobody: its owner exited without letting go (a kill), or
    // let go between our open and our lock (the file is then unlinked).
    gone = ::fstat(fd, &info) == 0;
    if (gone && info.st_nlink > 0) directory.unlink(name);
  }
  ::close(fd);
  return gone;
}
