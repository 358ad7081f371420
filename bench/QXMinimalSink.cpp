#include "bench/QXMinimalSink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "core/QXUtils.h"
#include "tools/collector/QXFormFields.h"

namespace {

constexpr std::string_view kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// The Content-Length of a request head, 0 when it has none.
size_t contentLength(std::string_view head) {
  constexpr std::string_view kName = "content-length:";
  for (size_t at = head.find("\r\n"); at != std::string_view::npos;) {
    const size_t start = at + 2;
    at = head.find("\r\n", start);
    const std::string_view line =
        head.substr(start, at == std::string_view::npos ? at : at - start);
    if (line.size() > kName.size() &&
        QXUtils::equalsIgnoringCase(line.substr(0, kName.size()), kName))
      return static_cast<size_t>(QXUtils::longLongFromString(line.substr(kName.size())));
  }
  return 0;
}

// Answers every complete request at the start of `buffer` and drops it from
// there; what is left waits for the next read. False when the answers could
// not be sent.
bool answerComplete(int fd, std::string& buffer, std::string& record) {
  size_t consumed = 0;
  size_t answers = 0;
  for (;;) {
    const size_t headEnd = buffer.find("\r\n\r\n", consumed);
    if (headEnd == std::string::npos) break;
    const size_t bodyStart = headEnd + 4;
    const size_t length =
        contentLength(std::string_view(buffer).substr(consumed, headEnd - consumed));
    if (buffer.size() - bodyStart < length) break;
    record += std::to_string(length);
    record += ' ';
    record += QXSequenceOf(std::string_view(buffer).substr(bodyStart, length));
    record += '\n';
    consumed = bodyStart + length;
    ++answers;
  }
  buffer.erase(0, consumed);
  std::string answer;
  for (size_t i = 0; i < answers; ++i)
    answer += kAnswer;
  return answer.empty() || ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(answer.size());
}

void acceptAll(int epoll, int listenFd, std::unordered_map<int, std::string>& buffers) {
  for (;;) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    buffers[fd];
  }
}

// One read of a connection and the answers it completes; false when the
// connection is over.
bool serveReadable(int fd, std::string& buffer, std::string& record) {
  char chunk[64 * 1024];
  const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) return false;
  buffer.append(chunk, static_cast<size_t>(n));
  return answerComplete(fd, buffer, record);
}

// The child: serves until the parent closes its end of the stop pipe, then
// writes the record and exits without running the parent's destructors.
[[noreturn]] void serveUntilStopped(int listenFd, int stopFd, const std::string& recordPath) {
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  for (const int fd : {listenFd, stopFd}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
  }
  std::unordered_map<int, std::string> buffers;
  std::string record;
  epoll_event events[64];
  for (bool serving = true; serving;) {
    const int ready = ::epoll_wait(epoll, events, 64, -1);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == stopFd) {
        serving = false;
      } else if (fd == listenFd) {
        acceptAll(epoll, listenFd, buffers);
      } else if (!serveReadable(fd, buffers[fd], record)) {
        ::close(fd);
        buffers.erase(fd);
      }
    }
  }
  std::FILE* file = std::fopen(recordPath.c_str(), "wb");
  const bool written = file != nullptr &&
                       std::fwrite(record.data(), 1, record.size(), file) == record.size() &&
                       std::fclose(file) == 0;
  ::_exit(written ? 0 : 1);
}

}  // namespace

std::string_view QXSequenceOf(std::string_view body) {
  std::string_view sequence;
  QXForEachEncodedField(body, [&sequence](std::string_view name, std::string_view value) {
    if (name == "seq") sequence = value;
  });
  return sequence;
}

QXMinimalSink::~QXMinimalSink() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  ::close(stopFd_);
}

bool QXMinimalSink::start(const std::string& recordPath) {
  const int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int stop[2];
  if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listenFd, 128) != 0 ||
      ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(stop, O_CLOEXEC) != 0) {
    if (listenFd >= 0) ::close(listenFd);
    return false;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(stop[1]);
    serveUntilStopped(listenFd, stop[0], recordPath);
  }
  ::close(listenFd);
  ::close(stop[0]);
  if (pid_ < 0) {
    ::close(stop[1]);
    return false;
  }
  stopFd_ = stop[1];
  port_ = ntohs(address.sin_port);
  return true;
}

bool QXMinimalSink::stop(rusage& usage) {
  if (pid_ <= 0) return false;
  ::close(stopFd_);
  int status = 0;
  const bool waited = ::wait4(pid_, &status, 0, &usage) == pid_;
  pid_ = -1;
  return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
