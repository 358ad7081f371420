#ifndef QUORVEX_PLATFORM_QXDATADIRECTORY_H_
#define QUORVEX_PLATFORM_QXDATADIRECTORY_H_

// Private to the SDK: never included by a public header.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The SDK's data directory, held open. Every file the SDK keeps there is
// opened, made, renamed, linked and removed through this object: relative to
// the directory's descriptor and by a plain name (no "/"), never through a
// path that could lead elsewhere by the time it is used.
//
// The directory is the process's own or it is not used: open() and make()
// give null, and say why, unless it is a directory, not a symbolic link
// itself, owned by the process's effective user and writable by nobody else
// (no group or other write bit). Then nobody but that user (and root) can
// put anything in it, and the checks below cannot be raced by anyone else.
//
// Files: openFile() opens with O_NOFOLLOW and O_CLOEXEC and hands back a
// descriptor only once fstat shows a regular file owned by the process's
// user, so the caller may write it or change its mode (O_TRUNC is applied
// after the check, not by the open). Anything else found under the name (a
// symbolic link, whatever it points at; a directory, a FIFO, a device; a file
// of another user) is never opened: it is moved aside to
// "<name>.link-<unix time>" (a link) or "<name>.foreign-<unix time>", and
// one line says so through QXReportPlatformError (level 4 once the core is
// up). With O_CREAT a fresh file then takes the name. No link's target is
// ever created, read, written or chmodded.
//
// Failures return -1 or false with errno set, as the system calls they stand
// for do; nothing throws but std::bad_alloc.
//
// Threads: any method from any thread; the object is constant after
// construction.
class QXDataDirectory {
 public:
  // Opens the existing directory `path`. Null, with the reason in `*why`,
  // when it cannot be opened or is not the process's own; errno is then EPERM
  // for a directory refused (not the process's own, or a link), else the
  // system's cause (ENOENT, EMFILE, ...).
  static std::unique_ptr<QXDataDirectory> open(const std::string& path, std::string* why);
  // Opens `path`, making what is missing of it on the way (mode 0700). The
  // last `ownedComponents` components (at least the last) and every
  // directory made must be the process's own and are never followed if they
  // are links; those above them are the host's and the system's, and may be.
  static std::unique_ptr<QXDataDirectory> make(const std::string& path, size_t ownedComponents,
                                               std::string* why);

  ~QXDataDirectory();
  QXDataDirectory(const QXDataDirectory&) = delete;
  QXDataDirectory& operator=(const QXDataDirectory&) = delete;

  // The path the directory was opened by, for messages.
  const std::string& path() const { return path_; }
  std::string pathOf(const std::string& name) const { return path_ + "/" + name; }
  // The directory's path as the kernel knows it now, without any link in it:
  // for a library that only takes paths (SQLite). path() when the kernel does
  // not tell (no /proc).
  std::string resolvedPath() const;

  // The descriptor of a regular file of the process's user named `name`, or
  // -1 (errno set). `flags` as open(2) takes them; O_NOFOLLOW and O_CLOEXEC
  // are added.
  int openFile(const std::string& name, int flags, mode_t mode = 0600) const;
  // Moves aside what stands under `name` and openFile() would refuse. True
  // when the name is then free or holds a regular file of the process's user.
  bool checkFile(const std::string& name) const;
  // What stands under `name`, links not followed.
  bool statFile(const std::string& name, struct stat* info) const;
  bool exists(const std::string& name) const;
  // The size of the regular file `name`; 0 when there is none.
  uint64_t sizeOf(const std::string& name) const;
  // Replaces `to`, if there is one (rename(2)).
  bool rename(const std::string& from, const std::string& to) const;
  // Fails with EEXIST when `to` is taken (link(2): `from` itself, never what
  // it may point at).
  bool link(const std::string& from, const std::string& to) const;
  bool unlink(const std::string& name) const;
  // Makes the names made, renamed and removed so far durable (fsync).
  bool sync() const;
  // The names in the directory, without "." and ".."; empty when it cannot
  // be listed.
  std::vector<std::string> names() const;

  // Why a directory described by `info` is not the process's own; empty when
  // it is.
  static std::string refusalFor(const struct stat& info);

 private:
  QXDataDirectory(std::string path, int descriptor);
  static std::unique_ptr<QXDataDirectory> walk(const std::string& path, size_t ownedComponents,
                                               bool create, std::string* why);
  // Moves `name`, described by `info`, out of the way and says so.
  bool moveAside(const std::string& name, const struct stat& info) const;

  const std::string path_;
  const int descriptor_;
};

#endif  // QUORVEX_PLATFORM_QXDATADIRECTORY_H_
