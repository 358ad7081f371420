#include "core/network/QXOutboxLease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string QXOutboxLease::fileName(int64_t owner) {
  char name[48];
  std::snprintf(name, sizeof name, "outbox-%016llx.lease", static_cast<unsigned long long>(owner));
  return name;
}

bool QXOutboxLease::take(const std::string& directory, int64_t owner, std::string* error) {
  release();
  const std::string path = directory + "/" + fileName(owner);
  const std::string making = path + ".new";
  const int fd = ::open(making.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  const bool made =
      fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::link(making.c_str(), path.c_str()) == 0;
  const int cause = errno;
  if (fd >= 0) ::unlink(making.c_str());
  if (!made) {
    if (fd >= 0) ::close(fd);
    *error = std::string("cannot take a lease: ") + std::strerror(cause);
    return false;
  }
  fd_ = fd;
  path_ = path;
  return true;
}

void QXOutboxLease::release() {
  if (fd_ < 0) return;
  // Unlinked while still locked: a process that takes the lock after this
  // finds the file gone, not a lease to think dead and delete again.
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

void QXOutboxLease::closeInherited() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool QXOutboxLease::ownerGone(const std::string& directory, int64_t owner) {
  const std::string path = directory + "/" + fileName(owner);
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT;
  bool gone = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    struct stat info {};
    // Locked by nobody: its owner exited without letting go (a kill), or
    // let go between our open and our lock (the file is then unlinked).
    gone = ::fstat(fd, &info) == 0;
    if (gone && info.st_nlink > 0) ::unlink(path.c_str());
  }
  ::close(fd);
  return gone;
}
