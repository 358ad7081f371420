#include "platform/QXDataDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "platform/QXPlatformLog.h"

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

std::string errnoText(int error) {
  return std::generic_category().message(error);
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A file the SDK may have made: anything else under one of its names was put
// there by someone else.
bool isOwnFile(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

std::string describe(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return "a symbolic link, which the SDK never makes nor follows";
  if (S_ISDIR(info.st_mode)) return "a directory";
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  return "a file of user " + std::to_string(info.st_uid) + ", not of this process's user " +
         std::to_string(::geteuid());
}

std::vector<std::string> componentsOf(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

void closeKeepingErrno(int fd) {
  const int cause = errno;
  ::close(fd);
  errno = cause;
}

// Whether the directory open on `fd` may be used; `made`: by this walk, so
// 0700 whatever the umask left of it.
bool checkOwn(int fd, const std::string& shown, bool made, std::string* why) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int cause = errno;
    *why = shown + " cannot be looked at (" + errnoText(cause) + ")";
    errno = cause;
    return false;
  }
  if (made && info.st_uid == ::geteuid() && (info.st_mode & 07777) != 0700 &&
      ::fchmod(fd, 0700) == 0) {
    info.st_mode = (info.st_mode & ~mode_t{07777}) | 0700;
  }
  const std::string refusal = QXDataDirectory::refusalFor(info);
  if (refusal.empty()) return true;
  *why = shown + " " + refusal;
  errno = EPERM;
  return false;
}

// Opens `part` under `parent`, making it when it is missing and `create`.
// One that `mustOwn`, or that was made, is not followed if it is a link and
// must be the process's own. -1, with `*why`, when it cannot be used.
int openComponent(int parent, const std::string& part, const std::string& shown, bool mustOwn,
                  bool create, std::string* why) {
  bool made = false;
  int fd = ::openat(parent, part.c_str(), kDirectoryFlags | (mustOwn ? O_NOFOLLOW : 0));
  if (fd < 0 && errno == ENOENT && create) {
    made = ::mkdirat(parent, part.c_str(), 0700) == 0;
    if (made || errno == EEXIST) fd = ::openat(parent, part.c_str(), kDirectoryFlags | O_NOFOLLOW);
  }
  if (fd < 0) {
    const int cause = errno;
    struct stat info {};
    if (::fstatat(parent, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      *why = shown + " is a symbolic link";
      errno = EPERM;
    } else {
      *why = shown + " cannot be " + (create ? "made" : "opened") + " (" + errnoText(cause) + ")";
      errno = cause;
    }
    return -1;
  }
  if ((made || mustOwn) && !checkOwn(fd, shown, made, why)) {
    closeKeepingErrno(fd);
    return -1;
  }
  return fd;
}

// Opens the deepest existing one of the first `count` components, which are
// not checked, by one path: the same directories the component walk would
// follow, without first opening "/" (which qemu-user, running a program of
// another processor, turns into the root of that processor's libraries).
// `*opened`: how many components the descriptor stands for.
int openAncestors(const std::vector<std::string>& parts, size_t count, bool absolute,
                  size_t* opened) {
  for (size_t n = count; n > 0; --n) {
    std::string prefix = absolute ? "" : ".";
    for (size_t j = 0; j < n; ++j)
      prefix += "/" + parts[j];
    const int fd = ::open(prefix.c_str(), kDirectoryFlags);
    if (fd >= 0) {
      *opened = n;
      return fd;
    }
    if (errno != ENOENT) break;
  }
  *opened = 0;
  return ::open(absolute ? "/" : ".", kDirectoryFlags);
}

}  // namespace

QXDataDirectory::QXDataDirectory(std::string path, int descriptor)
    : path_(std::move(path)), descriptor_(descriptor) {}

QXDataDirectory::~QXDataDirectory() {
  ::close(descriptor_);
}

std::unique_ptr<QXDataDirectory> QXDataDirectory::open(const std::string& path, std::string* why) {
  return walk(path, 1, /*create=*/false, why);
}

std::unique_ptr<QXDataDirectory> QXDataDirectory::make(const std::string& path,
                                                       size_t ownedComponents, std::string* why) {
  return walk(path, ownedComponents, /*create=*/true, why);
}

std::string QXDataDirectory::refusalFor(const struct stat& info) {
  if (!S_ISDIR(info.st_mode)) return "is not a directory";
  if (info.st_uid != ::geteuid()) {
    return "belongs to user " + std::to_string(info.st_uid) + ", not to this process's user " +
           std::to_string(::geteuid());
  }
  if ((info.st_mode & S_IWOTH) != 0)
    return "is writable by every user (mode " + octal(info.st_mode) + ")";
  if ((info.st_mode & S_IWGRP) != 0) {
    return "is writable by its group " + std::to_string(info.st_gid) + " (mode " +
           octal(info.st_mode) + ")";
  }
  return std::string();
}

std::unique_ptr<QXDataDirectory> QXDataDirectory::walk(const std::string& path,
                                                       size_t ownedComponents, bool create,
                                                       std::string* why) {
  if (path.empty()) {
    *why = "no directory given";
    return nullptr;
  }
  const std::vector<std::string> parts = componentsOf(path);
  const bool absolute = path[0] == '/';
  const size_t owned = std::min(std::max<size_t>(ownedComponents, 1), parts.size());
  size_t i = 0;
  int fd = openAncestors(parts, parts.size() - owned, absolute, &i);
  if (fd < 0) {
    const int cause = errno;
    *why = path + " cannot be opened (" + errnoText(cause) + ")";
    errno = cause;
    return nullptr;
  }
  // "/" or ".": the directory opened first is the one.
  if (parts.empty() && !checkOwn(fd, path, false, why)) {
    closeKeepingErrno(fd);
    return nullptr;
  }
  std::string shown = absolute ? "" : ".";
  for (size_t j = 0; j < i; ++j)
    shown += "/" + parts[j];
  for (; i < parts.size(); ++i) {
    shown += "/" + parts[i];
    const bool mustOwn = i + owned >= parts.size();
    const int next = openComponent(fd, parts[i], shown, mustOwn, create, why);
    closeKeepingErrno(fd);
    if (next < 0) return nullptr;
    fd = next;
  }
  return std::unique_ptr<QXDataDirectory>(new QXDataDirectory(path, fd));
}

std::string QXDataDirectory::resolvedPath() const {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor_);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer || buffer[0] != '/') return path_;
  std::string resolved(buffer, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (resolved.size() > deleted.size() &&
      resolved.compare(resolved.size() - deleted.size(), deleted.size(), deleted) == 0) {
    return path_;
  }
  return resolved;
}

int QXDataDirectory::openFile(const std::string& name, int flags, mode_t mode) const {
  const bool truncate = (flags & O_TRUNC) != 0;
  flags = (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!checkFile(name)) return -1;
    const int fd = ::openat(descriptor_, name.c_str(), flags, mode);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && isOwnFile(info)) {
      if (truncate && ::ftruncate(fd, 0) != 0) {
        const int cause = errno;
        ::close(fd);
        errno = cause;
        return -1;
      }
      return fd;
    }
    // Replaced between the look and the open: looked at again.
    ::close(fd);
  }
  errno = EPERM;
  return -1;
}

bool QXDataDirectory::checkFile(const std::string& name) const {
  struct stat info {};
  if (::fstatat(descriptor_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (isOwnFile(info)) return true;
  return moveAside(name, info);
}

bool QXDataDirectory::moveAside(const std::string& name, const struct stat& info) const {
  const std::string base =
      name + (S_ISLNK(info.st_mode) ? ".link-" : ".foreign-") + std::to_string(std::time(nullptr));
  std::string aside = base;
  for (int n = 1; exists(aside) && n < 100; ++n)
    aside = base + "-" + std::to_string(n);
  const std::string what = "data directory " + path_ + ": " + name + " is " + describe(info);
  if (::renameat(descriptor_, name.c_str(), descriptor_, aside.c_str()) != 0) {
    const int cause = errno;
    QXReportPlatformError(what + "; it cannot be moved aside (" + errnoText(cause) +
                          ") and is not used");
    errno = cause;
    return false;
  }
  QXReportPlatformError(what + "; moved aside to " + aside);
  return true;
}

bool QXDataDirectory::statFile(const std::string& name, struct stat* info) const {
  return ::fstatat(descriptor_, name.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool QXDataDirectory::exists(const std::string& name) const {
  struct stat info {};
  return statFile(name, &info);
}

uint64_t QXDataDirectory::sizeOf(const std::string& name) const {
  struct stat info {};
  if (!statFile(name, &info) || !S_ISREG(info.st_mode)) return 0;
  return static_cast<uint64_t>(info.st_size);
}

bool QXDataDirectory::rename(const std::string& from, const std::string& to) const {
  return ::renameat(descriptor_, from.c_str(), descriptor_, to.c_str()) == 0;
}

bool QXDataDirectory::link(const std::string& from, const std::string& to) const {
  return ::linkat(descriptor_, from.c_str(), descriptor_, to.c_str(), 0) == 0;
}

bool QXDataDirectory::unlink(const std::string& name) const {
  return ::unlinkat(descriptor_, name.c_str(), 0) == 0;
}

bool QXDataDirectory::sync() const {
  return ::fsync(descriptor_) == 0;
}

std::vector<std::string> QXDataDirectory::names() const {
  std::vector<std::string> list;
  // A descriptor of its own: a listing moves the position it reads from.
  const int fd = ::openat(descriptor_, ".", kDirectoryFlags);
  if (fd < 0) return list;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return list;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") list.push_back(name);
  }
  ::closedir(dir);
  return list;
}
