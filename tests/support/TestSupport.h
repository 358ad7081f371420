#ifndef QUORVEX_TESTS_SUPPORT_TESTSUPPORT_H_
#define QUORVEX_TESTS_SUPPORT_TESTSUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/QXNotificationCenter.h"

namespace qxtest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Captures what the SDK logs (threshold 0: every level) while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  std::vector<std::pair<int, std::string>> entries() const;
  std::vector<std::string> messagesAt(int level) const;
  bool contains(int level, const std::string& fragment) const;

 private:
  // Shared with the sink, so that a message being logged on another thread
  // while the capture goes still has somewhere to land.
  struct Entries {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> list;
  };
  std::shared_ptr<Entries> entries_ = std::make_shared<Entries>();
  int previousThreshold_;
};

// Records every notification of one name posted on a center.
class NotificationRecorder {
 public:
  NotificationRecorder(std::shared_ptr<QXNotificationCenter> center, const std::string& name);
  ~NotificationRecorder();

  std::vector<QXNotification> received() const;
  size_t count() const;
  // Waits until at least `n` have arrived; false after `timeout`.
  bool waitForCount(size_t n, std::chrono::milliseconds timeout) const;

 private:
  std::shared_ptr<QXNotificationCenter> center_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<QXNotification> received_;
};

// A gate between threads: closed until open() opens it for good. A test
// blocks a callback on one to hold it running, with no sleep.
class Gate {
 public:
  void open();
  bool isOpen() const;
  // True once open; false when `timeout` passes first.
  bool waitOpen(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool open_ = false;  // guarded by mutex_
};

// Polls `condition` until it holds or `timeout` passes; for conditions that
// offer nothing to wait on. Returns the last result.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The fields of a form body, decoded, in order (QXDecodedFormFields).
std::vector<std::pair<std::string, std::string>> parseBody(const std::string& body);
// True when every field of the body is a name, one "=" and a value, with no
// empty field between two "&": what the SDK's body builder always writes.
bool everyFieldIsOneNameAndOneValue(const std::string& body);
// The value of the last field named `name` in a form body, or nullopt.
std::optional<std::string> fieldOf(const std::string& body, const std::string& name);

// fork(), with a child that the kernel kills (SIGKILL) when its parent goes,
// so that no child outlives a test that crashed, timed out or was killed.
// Returns what fork() returns. Linux ties the signal to the parent's calling
// thread: that thread must outlive the child (tests call it from their main
// thread). In a parent with threads, the child may only make async-signal-
// safe calls before it execs or exits.
pid_t forkDyingWithParent();

// The user (and group) that a test running as root becomes when it needs to
// be an ordinary user: "nobody" on Debian.
constexpr uid_t kUnprivilegedUser = 65534;

// Makes this process run as user and group `id`, with no supplementary
// group, for good. Only async-signal-safe calls: usable between fork and exec.
bool dropPrivilegesTo(uid_t id);

// Runs `body` in a child process (forkDyingWithParent) that first becomes user
// and group `id`, and returns what `body` returned there. The child is a copy
// of the caller: it may call anything only when the caller has no thread of
// its own besides the one calling. Nothing when the child could not become
// `id` or died before it answered.
std::optional<std::string> runAs(uid_t id, const std::function<std::string()>& body);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

}  // namespace qxtest

#endif  // QUORVEX_TESTS_SUPPORT_TESTSUPPORT_H_
