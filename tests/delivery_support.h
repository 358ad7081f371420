#ifndef QUORVEX_TESTS_DELIVERY_SUPPORT_H_
#define QUORVEX_TESTS_DELIVERY_SUPPORT_H_

// Helpers of the delivery and collector tests: a raw HTTP client, child
// processes with their output, and a port nobody listens on.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace qxtest {

// Loopback destinations never go through a proxy named in the environment
// of the machine running the tests.
inline void bypassProxiesForLoopback() {
  ::setenv("no_proxy", "127.0.0.1,localhost", 1);
  ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

// A blocking client on 127.0.0.1 that writes raw bytes and reads raw
// answers. Every read gives up after 10 s, so a broken server fails the test
// instead of hanging it. A `receiveBuffer` other than 0 sets the socket's
// receive buffer before it connects, so that a client that stops reading
// soon stops its sender.
class RawClient {
 public:
  explicit RawClient(uint16_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (receiveBuffer > 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("connect failed");
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void write(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  // One answer's head (the server's answers have no body but a 0 length);
  // empty when the server closed first.
  std::string readHead() { return readThrough("\r\n\r\n"); }

  // What comes up to and with the next `delimiter`; empty when the server
  // closed first.
  std::string readThrough(const std::string& delimiter) {
    size_t end;
    while ((end = buffer_.find(delimiter)) == std::string::npos) {
      if (!fill()) return std::string();
    }
    std::string text = buffer_.substr(0, end + delimiter.size());
    buffer_.erase(0, end + delimiter.size());
    return text;
  }

  // Everything until the server closes the connection.
  std::string readToEnd() {
    while (fill()) {
    }
    return std::exchange(buffer_, std::string());
  }

  // True when the server has closed the connection (after what was read).
  bool closedByServer() { return buffer_.empty() && !fill(); }

 private:
  bool fill() {
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
};

// "POST <target> HTTP/1.1" with a Content-Length and the given extra header
// lines (each ending in CRLF).
inline std::string postRequest(const std::string& target, const std::string& body,
                               const std::string& extraHeaders = "") {
  return "POST " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         extraHeaders + "\r\n" + body;
}

// A port on 127.0.0.1 that refuses connections: bound, then released.
inline uint16_t closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The command that runs `argv`: the program itself, or in a cross-built test,
// which runs under a user-mode emulator, the program under that emulator
// with the emulator's arguments (the target's sysroot, say). The
// emulator emulates the program it was given and nothing that program
// executes, so a program of the target's architecture started from a test
// needs it too. The emulator always starts: what exec would refuse (no such
// program, not executable) is refused here, with exec's errno.
inline std::vector<std::string> commandFor(const std::vector<std::string>& argv) {
#ifdef QUORVEX_TEST_EMULATOR
  if (!argv.empty() && ::access(argv[0].c_str(), X_OK) != 0)
    throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(errno));
  std::vector<std::string> command{QUORVEX_TEST_EMULATOR};
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
#else
  return argv;
#endif
}

// A program run with its standard output and error captured. The destructor
// kills it if it still runs.
class ChildProcess {
 public:
  // The child dies with the test's process (see forkDyingWithParent); with a
  // `user`, it runs as that user and group (dropPrivilegesTo). Throws when the
  // program cannot be run.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               std::optional<uid_t> user = std::nullopt) {
    const std::vector<std::string> command = commandFor(argv);
    std::vector<char*> args;
    for (const std::string& arg : command)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // The given entries replace the inherited ones of the same name.
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string inherited = *entry;
      const std::string name = inherited.substr(0, inherited.find('=') + 1);
      bool replaced = false;
      for (const std::string& given : environment)
        replaced = replaced || given.compare(0, name.size(), name) == 0;
      if (!replaced) env.push_back(inherited);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& entry : env)
      envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2];
    int err[2];
    int execFailed[2];  // carries exec's errno; closed unwritten by a successful exec
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
        ::pipe2(execFailed, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe2 failed");
    const pid_t pid = forkDyingWithParent();
    const int forkError = errno;
    if (pid == 0) {
      if ((!user || dropPrivilegesTo(*user)) && ::dup2(out[1], 1) >= 0 && ::dup2(err[1], 2) >= 0)
        ::execve(args[0], args.data(), envp.data());
      const int error = errno;
      if (::write(execFailed[1], &error, sizeof error) < 0) {
        // The parent then sees the child exit with 127 instead.
      }
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(execFailed[1]);
    stdoutFd_ = out[0];
    stderrFd_ = err[0];
    int execError = 0;
    ssize_t n = 0;
    if (pid > 0) {
      while ((n = ::read(execFailed[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
      }
    }
    ::close(execFailed[0]);
    if (pid < 0 || n > 0) {
      if (pid > 0) ::waitpid(pid, nullptr, 0);
      ::close(stdoutFd_);
      ::close(stderrFd_);
      throw std::runtime_error("cannot run " + argv[0] + ": " +
                               std::strerror(pid < 0 ? forkError : execError));
    }
    pid_ = pid;
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }

  ~ChildProcess() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    ::close(stdoutFd_);
    ::close(stderrFd_);
    if (pidFd_ >= 0) ::close(pidFd_);
  }

  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

  // Reads the child's output until `condition` holds or `timeout` passes.
  bool readUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (!pumpOnce(static_cast<int>(left.count()))) return condition();
    }
    return true;
  }

  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return readUntil([&] { return out_.find(text) != std::string::npos; }, timeout);
  }
  bool waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    return readUntil([&] { return err_.find(text) != std::string::npos; }, timeout);
  }

  // The exit status (128 + the signal for a killed child), or nothing at the
  // timeout. The output is read meanwhile, so the child never blocks on a
  // full pipe.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        while (pumpOnce(0)) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pumpOnce(static_cast<int>(left.count()));
    }
  }

  void kill(int signal) { ::kill(pid_, signal); }

 private:
  // Reads what output is there, waiting up to `timeoutMs` for some; false
  // when none came.
  bool pumpOnce(int timeoutMs) {
    pollfd fds[3] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}, {pidFd_, POLLIN, 0}};
    const int ready = ::poll(fds, pidFd_ >= 0 ? 3 : 2, timeoutMs);
    if (ready <= 0) return false;
    bool got = false;
    char chunk[8192];
    for (int i = 0; i < 2; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(chunk, static_cast<size_t>(n));
        got = true;
      }
    }
    return got;
  }

  pid_t pid_ = -1;
  int pidFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

// This test program, run again to play one disabled test case as a child.
inline std::unique_ptr<ChildProcess> runTestCaseAsChild(
    const std::string& testName, const std::vector<std::string>& environment) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("readlink /proc/self/exe failed");
  self[n] = '\0';
  return std::make_unique<ChildProcess>(std::vector<std::string>{self, "--gtest_filter=" + testName,
                                                                 "--gtest_also_run_disabled_tests"},
                                        environment);
}

}  // namespace qxtest

#endif  // QUORVEX_TESTS_DELIVERY_SUPPORT_H_
