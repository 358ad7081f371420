#include "support/TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/QXLogger.h"
#include "tools/collector/QXFormFields.h"

namespace qxtest {

TempDirectory::TempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  // What cannot be removed is left: a stale directory under /tmp is harmless.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

LogCapture::LogCapture() : previousThreshold_(QXLogger::sharedInstance().threshold()) {
  QXLogger::sharedInstance().setThreshold(0);
  QXLogger::sharedInstance().setSink([entries = entries_](int level, const std::string& message) {
    std::lock_guard<std::mutex> lock(entries->mutex);
    entries->list.emplace_back(level, message);
  });
}

LogCapture::~LogCapture() {
  QXLogger::sharedInstance().setSink(nullptr);
  QXLogger::sharedInstance().setThreshold(previousThreshold_);
}

std::vector<std::pair<int, std::string>> LogCapture::entries() const {
  std::lock_guard<std::mutex> lock(entries_->mutex);
  return entries_->list;
}

std::vector<std::string> LogCapture::messagesAt(int level) const {
  std::vector<std::string> messages;
  for (const auto& [l, m] : entries()) {
    if (l == level) messages.push_back(m);
  }
  return messages;
}

bool LogCapture::contains(int level, const std::string& fragment) const {
  for (const auto& [l, m] : entries()) {
    if (l == level && m.find(fragment) != std::string::npos) return true;
  }
  return false;
}

NotificationRecorder::NotificationRecorder(std::shared_ptr<QXNotificationCenter> center,
                                           const std::string& name)
    : center_(std::move(center)) {
  center_->addObserver(this, name, [this](const QXNotification& notification) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(notification);
    arrived_.notify_all();
  });
}

NotificationRecorder::~NotificationRecorder() {
  center_->removeObserver(this);
}

std::vector<QXNotification> NotificationRecorder::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t NotificationRecorder::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

bool NotificationRecorder::waitForCount(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

void Gate::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  changed_.notify_all();
}

bool Gate::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool Gate::waitOpen(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return open_; });
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> parseBody(const std::string& body) {
  return QXDecodedFormFields(body);
}

bool everyFieldIsOneNameAndOneValue(const std::string& body) {
  size_t fields = 0;
  bool valuesWithoutEquals = true;
  QXForEachEncodedField(body, [&](std::string_view, std::string_view value) {
    ++fields;
    valuesWithoutEquals = valuesWithoutEquals && value.find('=') == std::string_view::npos;
  });
  // Names hold no "=" and values none either, so one "=" a field means every
  // field has its "="; one "&" fewer than fields means none was empty.
  const auto count = [&body](char c) {
    return static_cast<size_t>(std::count(body.begin(), body.end(), c));
  };
  return valuesWithoutEquals && count('=') == fields && (body.empty() || count('&') + 1 == fields);
}

std::optional<std::string> fieldOf(const std::string& body, const std::string& name) {
  std::optional<std::string> value;
  for (auto& [key, v] : parseBody(body)) {
    if (key == name) value = v;
  }
  return value;
}

pid_t forkDyingWithParent() {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  // A parent gone before prctl() would leave the child adopted: it ends
  // itself then, as the signal would have ended it.
  if (pid == 0 && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)) ::_exit(127);
  return pid;
}

bool dropPrivilegesTo(uid_t id) {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(id, id, id) == 0 &&
         ::setresuid(id, id, id) == 0;
}

std::optional<std::string> runAs(uid_t id, const std::function<std::string()>& body) {
  int answer[2];
  if (::pipe2(answer, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = forkDyingWithParent();
  if (child == 0) {
    ::close(answer[0]);
    std::string result;
    if (!dropPrivilegesTo(id)) ::_exit(126);
    try {
      result = body();
    } catch (const std::exception& error) {
      result = std::string("threw: ") + error.what();
    }
    for (size_t sent = 0; sent < result.size();) {
      const ssize_t n = ::write(answer[1], result.data() + sent, result.size() - sent);
      if (n <= 0) ::_exit(125);
      sent += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(answer[1]);
  std::string result;
  char chunk[4096];
  while (child > 0) {
    const ssize_t n = ::read(answer[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.append(chunk, static_cast<size_t>(n));
  }
  ::close(answer[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return std::nullopt;
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace qxtest
