#include "tools/collector/QXCollector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Sends a refusal and ends the connection: always false, for `return`.
bool refuse(int fd, int status) {
  std::string answer;
  writeStatusLine(answer, status, true);
  sendAll(fd, answer);
  return false;
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

bool parseLength(std::string_view text, size_t& length) {
  if (text.empty() || text.size() > 12) return false;
  length = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    length = length * 10 + static_cast<size_t>(c - '0');
  }
  return true;
}

}  // namespace

const char* QXReasonPhrase(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 307:
      return "Temporary Redirect";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Status";
  }
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

  // Reads until at least `size` bytes are held. False when the peer closed,
  // on an error, or once stop() has shut the socket down.
  bool readAtLeast(int fd, size_t size) {
    makeRoom(size);
    while (end_ - begin_ < size) {
      const ssize_t n = ::recv(fd, &bytes_[end_], bytes_.size() - end_, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      end_ += static_cast<size_t>(n);
    }
    return true;
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
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
  if (wake < 0) {
    ::close(fd);
    return QXStatus::IOError(std::string("eventfd: ") + std::strerror(errno));
  }
  listenFd_ = fd;
  wakeFd_ = wake;
  port_ = ntohs(address.sin_port);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
  }
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return QXStatus::OK();
}

void QXCollector::stop() {
  std::list<Connection> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || stopping_) return;
    stopping_ = true;
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
      // The shutdowns below still end every blocked read.
    }
    for (Connection& connection : connections_) {
      if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
    }
  }
  acceptThread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.splice(connections.end(), connections_);
  }
  for (Connection& connection : connections)
    connection.thread.join();
  ::close(listenFd_);
  ::close(wakeFd_);
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

void QXCollector::reapFinishedLocked(std::vector<std::thread>& toJoin) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->finished) {
      toJoin.push_back(std::move(it->thread));
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void QXCollector::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::vector<std::thread> finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      reapFinishedLocked(finished);
      Connection& connection = connections_.emplace_back();
      connection.fd = fd;
      connection.number = ++connectionsAccepted_;
      connection.thread = std::thread([this, &connection] { serve(&connection); });
    }
    for (std::thread& thread : finished)
      thread.join();
  }
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

bool QXCollector::serveOne(int fd, ReadBuffer& buffer, Request& request, std::string& answer) {
  size_t headEnd = std::string::npos;
  for (size_t searchFrom = 0;
       (headEnd = buffer.data().find("\r\n\r\n", searchFrom)) == std::string::npos;) {
    if (buffer.size() > kMaxHeadBytes) return refuse(fd, 413);
    searchFrom = buffer.size() < 3 ? 0 : buffer.size() - 3;
    if (!buffer.readAtLeast(fd, buffer.size() + 1)) return false;
  }
  bool http10 = false;
  if (!parseHead(buffer.data().substr(0, headEnd), request, http10)) return refuse(fd, 400);
  if (!request.headerValue("Transfer-Encoding").empty()) return refuse(fd, 501);
  size_t length = 0;
  const std::string_view lengthText = request.headerValue("Content-Length");
  if (!lengthText.empty() && !parseLength(lengthText, length)) return refuse(fd, 400);
  if (length > kMaxBodyBytes) return refuse(fd, 413);
  const size_t bodyStart = headEnd + 4;
  if (containsTokenIgnoringCase(request.headerValue("Expect"), "100-continue") &&
      buffer.size() < bodyStart + length) {
    if (!sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) return false;
  }
  if (!buffer.readAtLeast(fd, bodyStart + length)) return false;
  request.body.assign(buffer.data().substr(bodyStart, length));
  buffer.consume(bodyStart + length);

  const std::string_view connectionHeader = request.headerValue("Connection");
  const bool close = containsTokenIgnoringCase(connectionHeader, "close") ||
                     (http10 && !containsTokenIgnoringCase(connectionHeader, "keep-alive"));
  size_t index = 0;
  std::shared_ptr<const Listener> listener;
  const Response response = respond(request, &index, &listener);
  if (!response.answer) {
    // Held open, unanswered, until the client leaves or the collector stops.
    while (buffer.readAtLeast(fd, buffer.size() + 1)) {
    }
    return false;
  }
  writeStatusLine(answer, response.status, close, response.headers);
  if (!sendAll(fd, answer)) return false;
  if (listener) (*listener)(request, index);
  return !close;
}

void QXCollector::serve(Connection* connection) {
  const int fd = connection->fd;
  ReadBuffer buffer;
  Request request;
  request.connection = connection->number;
  std::string answer;
  while (serveOne(fd, buffer, request, answer)) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd);
  connection->fd = -1;
  connection->finished = true;
}
