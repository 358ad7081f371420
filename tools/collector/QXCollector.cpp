#include "tools/collector/QXCollector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/QXUtils.h"

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;

// Whether `token`, in lower case, appears in `list` in any case.
bool containsTokenIgnoringCase(std::string_view list, std::string_view token) {
  for (size_t at = 0; at + token.size() <= list.size(); ++at) {
    if (QXUtils::equalsIgnoringCase(list.substr(at, token.size()), token)) return true;
  }
  return false;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The answer's head, into `out` (whose capacity a connection reuses).
void writeStatusLine(std::string& out, int status, bool close,
                     const std::vector<std::pair<std::string, std::string>>& headers = {}) {
  out.assign("HTTP/1.1 ");
  out += std::to_string(status);
  out += ' ';
  out += QXReasonPhrase(status);
  out += "\r\n";
  for (const auto& [name, value] : headers) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  const bool bodiless = (status >= 100 && status < 200) || status == 204 || status == 304;
  if (!bodiless) out += "Content-Length: 0\r\n";
  if (close) out += "Connection: close\r\n";
  out += "\r\n";
}

// Sends a refusal; the connection is to be closed after it.
void refuse(int fd, int status) {
  std::string answer;
  writeStatusLine(answer, status, true);
  sendAll(fd, answer);
}

// Sets `request`'s header `index` in place, so that a reused request keeps
// the capacity of its strings.
void setHeader(QXCollector::Request& request, size_t index, std::string_view name,
               std::string_view value) {
  if (index == request.headers.size()) {
    request.headers.emplace_back(name, value);
  } else {
    request.headers[index].first.assign(name);
    request.headers[index].second.assign(value);
  }
}

// Parses a request head into `request`, replacing what it held. False when
// the head is not HTTP.
bool parseHead(std::string_view head, QXCollector::Request& request, bool& http10) {
  const size_t lineEnd = head.find("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const size_t firstSpace = line.find(' ');
  const size_t secondSpace = line.rfind(' ');
  if (firstSpace == std::string_view::npos || secondSpace == firstSpace) return false;
  const std::string_view version = line.substr(secondSpace + 1);
  request.method.assign(line.substr(0, firstSpace));
  request.target.assign(line.substr(firstSpace + 1, secondSpace - firstSpace - 1));
  http10 = version == "HTTP/1.0";
  if (version.substr(0, 7) != "HTTP/1." || request.method.empty() || request.target.empty())
    return false;
  size_t count = 0;
  size_t position = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (position < head.size()) {
    size_t end = head.find("\r\n", position);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view field = head.substr(position, end - position);
    position = end + 2;
    if (field.empty()) continue;
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    setHeader(request, count++, field.substr(0, colon), trim(field.substr(colon + 1)));
  }
  request.headers.resize(count);
  return true;
}

// Adds `fd` to the epoll set, for reading.
bool watch(int epoll, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

// Digits only (no sign, no space), at most 12 of them.
bool parseLength(std::string_view text, size_t& length) {
  if (text.size() > 12) return false;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, length);
  return error == std::errc() && stop == end;
}

}  // namespace

const char* QXReasonPhrase(int status) {
  static constexpr std::pair<int, const char*> kPhrases[] = {
      {100, "Continue"},
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {204, "No Content"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {307, "Temporary Redirect"},
      {400, "Bad Request"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {408, "Request Timeout"},
      {411, "Length Required"},
      {413, "Content Too Large"},
      {429, "Too Many Requests"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway Timeout"},
  };
  for (const auto& [code, phrase] : kPhrases) {
    if (code == status) return phrase;
  }
  return "Status";
}

std::string QXCollector::Request::header(std::string_view name) const {
  return std::string(headerValue(name));
}

std::string_view QXCollector::Request::headerValue(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (QXUtils::equalsIgnoringCase(key, name)) return value;
  }
  return std::string_view();
}

// What a connection has read and not yet consumed. recv() writes straight
// into it; it grows only for a request larger than it has held so far, and
// keeps that size until the connection ends.
class QXCollector::ReadBuffer {
 public:
  std::string_view data() const { return std::string_view(bytes_.data() + begin_, end_ - begin_); }
  size_t size() const { return end_ - begin_; }

  void consume(size_t count) {
    begin_ += count;
    if (begin_ == end_) begin_ = end_ = 0;
  }

  void clear() { begin_ = end_ = 0; }

  // One read of what the socket holds, with room for `wanted` bytes in all
  // first made. The count read, 0 when the peer has closed (or stop() shut
  // the socket down), -1 with errno set (EAGAIN: nothing to read yet).
  ssize_t readSome(int fd, size_t wanted) {
    makeRoom(wanted);
    ssize_t n;
    do {
      n = ::recv(fd, &bytes_[end_], bytes_.size() - end_, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) end_ += static_cast<size_t>(n);
    return n;
  }

 private:
  static constexpr size_t kInitialBytes = 16 * 1024;

  // Room for `size` bytes from begin_, and some more for what follows them.
  void makeRoom(size_t size) {
    if (begin_ + size <= bytes_.size() && end_ < bytes_.size()) return;
    if (begin_ > 0) {
      std::memmove(&bytes_[0], &bytes_[begin_], end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    size_t capacity = std::max(bytes_.size(), kInitialBytes);
    while (capacity < size + kInitialBytes)
      capacity *= 2;
    bytes_.resize(capacity);
  }

  std::string bytes_;
  size_t begin_ = 0;  // data() is [begin_, end_)
  size_t end_ = 0;
};

// One open connection; all of it belongs to the serving thread.
struct QXCollector::Connection {
  int fd = -1;
  ReadBuffer buffer;
  Request request;         // reused, so that its strings keep their capacity
  std::string answer;      // the same
  size_t wanted = 1;       // the bytes the request being read needs, as far as known
  bool continued = false;  // "100 Continue" sent for the request being read
  bool held = false;       // its request is never answered; what it sends is dropped
  bool adopted = false;    // its socket goes to the adopter
};

QXCollector::QXCollector() : QXCollector(Options()) {}

QXCollector::QXCollector(Options options) : options_(options) {}

QXCollector::~QXCollector() {
  stop();
}

QXStatus QXCollector::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return QXStatus::InvalidArgument("the collector is already started");
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return QXStatus::IOError(std::string("socket: ") + std::strerror(errno));
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 128) != 0) {
    const std::string error = std::strerror(errno);
    ::close(fd);
    return QXStatus::IOError("127.0.0.1:" + std::to_string(options_.port) + ": " + error);
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (wake < 0 || epoll < 0 || !watch(epoll, fd) || !watch(epoll, wake)) {
    const std::string error = std::strerror(errno);
    for (const int opened : {fd, wake, epoll}) {
      if (opened >= 0) ::close(opened);
    }
    return QXStatus::IOError("eventfd or epoll: " + error);
  }
  listenFd_ = fd;
  wakeFd_ = wake;
  epollFd_ = epoll;
  port_ = ntohs(address.sin_port);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
  }
  servingThread_ = std::thread([this] { serveLoop(); });
  return QXStatus::OK();
}

void QXCollector::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || stopping_) return;
    stopping_ = true;
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
      // The shutdowns below still end the serving thread's work.
    }
    // Also ends a send blocked on a client that does not read.
    for (const auto& entry : connections_)
      ::shutdown(entry.first, SHUT_RDWR);
  }
  servingThread_.join();
  for (const int fd : {listenFd_, wakeFd_, epollFd_})
    ::close(fd);
  received_.notify_all();
}

uint16_t QXCollector::port() const {
  return port_;
}

std::string QXCollector::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void QXCollector::setResponder(Responder responder) {
  auto shared = responder ? std::make_shared<const Responder>(std::move(responder)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(shared);
}

void QXCollector::setAdopter(Adopter adopter) {
  auto shared = adopter ? std::make_shared<const Adopter>(std::move(adopter)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  adopter_ = std::move(shared);
}

void QXCollector::setListener(Listener listener) {
  auto shared = listener ? std::make_shared<const Listener>(std::move(listener)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(shared);
}

std::vector<QXCollector::Request> QXCollector::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t QXCollector::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
}

size_t QXCollector::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(connectionsAccepted_);
}

bool QXCollector::waitForRequests(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return received_.wait_for(lock, timeout, [&] { return requestCount_ >= n; });
}

void QXCollector::serveLoop() {
  epoll_event events[64];
  for (bool serving = true; serving;) {
    const int ready = ::epoll_wait(epollFd_, events, 64, -1);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < ready && serving; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wakeFd_) {
        serving = false;
      } else if (fd == listenFd_) {
        acceptAll();
      } else {
        // Only this thread changes the map, so it reads it without the lock.
        const auto found = connections_.find(fd);
        if (found == connections_.end() || serveReadable(*found->second)) continue;
        if (found->second->adopted) {
          handOver(fd);
        } else {
          closeConnection(fd);
        }
      }
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : connections_)
    ::close(entry.first);
  connections_.clear();
}

void QXCollector::acceptAll() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    std::lock_guard<std::mutex> lock(mutex_);
    connection->request.connection = ++connectionsAccepted_;
    if (stopping_ || !watch(epollFd_, fd)) {
      ::close(fd);
      return;
    }
    connections_.emplace(fd, std::move(connection));
  }
}

void QXCollector::closeConnection(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd);
  connections_.erase(fd);
}

void QXCollector::handOver(int fd) {
  std::shared_ptr<const Adopter> adopter;
  std::unique_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    const auto found = connections_.find(fd);
    connection = std::move(found->second);
    connections_.erase(found);
    adopter = adopter_;
  }
  // The adopter may have been unset since the request was read.
  if (adopter) {
    (*adopter)(fd, connection->request);
  } else {
    ::close(fd);
  }
}

bool QXCollector::serveReadable(Connection& connection) {
  const ssize_t n = connection.buffer.readSome(connection.fd, connection.wanted);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
  if (connection.held) {
    // Unanswered until the client leaves or the collector stops.
    connection.buffer.clear();
    return true;
  }
  Progress progress;
  while ((progress = serveBuffered(connection)) == Progress::kServed) {
  }
  return progress == Progress::kWaiting;
}

QXCollector::Response QXCollector::respond(const Request& request, size_t* index,
                                           std::shared_ptr<const Listener>* listener) {
  std::shared_ptr<const Responder> responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    *index = requestCount_++;
    if (options_.keepRequests) requests_.push_back(request);
    responder = responder_;
    *listener = listener_;
  }
  received_.notify_all();
  if (responder) return (*responder)(request, *index);
  return Response::withStatus(options_.status);
}

QXCollector::Progress QXCollector::serveBuffered(Connection& connection) {
  const int fd = connection.fd;
  ReadBuffer& buffer = connection.buffer;
  Request& request = connection.request;
  const auto refused = [fd](int status) {
    refuse(fd, status);
    return Progress::kOver;
  };
  const size_t headEnd = buffer.data().find("\r\n\r\n");
  if (headEnd == std::string_view::npos) {
    if (buffer.size() > kMaxHeadBytes) return refused(413);
    connection.wanted = buffer.size() + 1;
    return Progress::kWaiting;
  }
  bool http10 = false;
  if (!parseHead(buffer.data().substr(0, headEnd), request, http10)) return refused(400);
  if (!request.headerValue("Transfer-Encoding").empty()) return refused(501);
  size_t length = 0;
  const std::string_view lengthText = request.headerValue("Content-Length");
  if (!lengthText.empty() && !parseLength(lengthText, length)) return refused(400);
  if (length > kMaxBodyBytes) return refused(413);
  if ((request.method == "GET" || request.method == "HEAD") && length == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (adopter_) {
      connection.adopted = true;
      return Progress::kOver;
    }
  }
  const size_t end = headEnd + 4 + length;
  if (buffer.size() < end) {
    if (!connection.continued &&
        containsTokenIgnoringCase(request.headerValue("Expect"), "100-continue")) {
      connection.continued = true;
      if (!sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) return Progress::kOver;
    }
    connection.wanted = end;
    return Progress::kWaiting;
  }
  request.body.assign(buffer.data().substr(headEnd + 4, length));
  buffer.consume(end);
  connection.continued = false;
  connection.wanted = buffer.size() + 1;

  const std::string_view connectionHeader = request.headerValue("Connection");
  const bool close = containsTokenIgnoringCase(connectionHeader, "close") ||
                     (http10 && !containsTokenIgnoringCase(connectionHeader, "keep-alive"));
  size_t index = 0;
  std::shared_ptr<const Listener> listener;
  const Response response = respond(request, &index, &listener);
  if (!response.answer) {
    connection.held = true;
    buffer.clear();
    return Progress::kWaiting;
  }
  writeStatusLine(connection.answer, response.status, close, response.headers);
  if (!sendAll(fd, connection.answer)) return Progress::kOver;
  if (listener) (*listener)(request, index);
  return close ? Progress::kOver : Progress::kServed;
}
