#include "tools/collector/QXCollector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/QXUtils.h"

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;

bool containsTokenIgnoringCase(std::string_view list, std::string_view token) {
  std::string lowered(list);
  for (char& c : lowered)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered.find(token) != std::string::npos;
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

std::string statusLine(int status, bool close,
                       const std::vector<std::pair<std::string, std::string>>& headers = {}) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + QXReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers)
    text += name + ": " + value + "\r\n";
  const bool bodiless = (status >= 100 && status < 200) || status == 204 || status == 304;
  if (!bodiless) text += "Content-Length: 0\r\n";
  if (close) text += "Connection: close\r\n";
  text += "\r\n";
  return text;
}

// A parsed request head. False when the head is not HTTP.
bool parseHead(std::string_view head, QXCollector::Request& request, std::string& version) {
  const size_t lineEnd = head.find("\r\n");
  std::string_view line = head.substr(0, lineEnd);
  const size_t firstSpace = line.find(' ');
  const size_t secondSpace = line.rfind(' ');
  if (firstSpace == std::string_view::npos || secondSpace == firstSpace) return false;
  request.method = std::string(line.substr(0, firstSpace));
  request.target = std::string(line.substr(firstSpace + 1, secondSpace - firstSpace - 1));
  version = std::string(line.substr(secondSpace + 1));
  if (version.rfind("HTTP/1.", 0) != 0 || request.method.empty() || request.target.empty())
    return false;
  size_t position = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (position < head.size()) {
    size_t end = head.find("\r\n", position);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view field = head.substr(position, end - position);
    position = end + 2;
    if (field.empty()) continue;
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    request.headers.emplace_back(std::string(field.substr(0, colon)),
                                 std::string(trim(field.substr(colon + 1))));
  }
  return true;
}

bool parseLength(const std::string& text, size_t& length) {
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
  for (const auto& [key, value] : headers) {
    if (QXUtils::equalsIgnoringCase(key, name)) return value;
  }
  return std::string();
}

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

bool QXCollector::waitReadable(int fd) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    return true;
  }
}

bool QXCollector::readAtLeast(int fd, std::string& buffer, size_t size) {
  char chunk[64 * 1024];
  while (buffer.size() < size) {
    if (!waitReadable(fd)) return false;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

QXCollector::Response QXCollector::respond(const Request& request, size_t* index) {
  std::shared_ptr<const Responder> responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    *index = requestCount_++;
    if (options_.keepRequests) requests_.push_back(request);
    responder = responder_;
  }
  received_.notify_all();
  if (responder) return (*responder)(request, *index);
  return Response::withStatus(options_.status);
}

void QXCollector::serve(Connection* connection) {
  const int fd = connection->fd;
  std::string buffer;
  bool open = true;
  while (open) {
    // The head.
    size_t headEnd = std::string::npos;
    size_t searchFrom = 0;
    while ((headEnd = buffer.find("\r\n\r\n", searchFrom)) == std::string::npos) {
      if (buffer.size() > kMaxHeadBytes) {
        sendAll(fd, statusLine(413, true));
        open = false;
        break;
      }
      searchFrom = buffer.size() < 3 ? 0 : buffer.size() - 3;
      if (!readAtLeast(fd, buffer, buffer.size() + 1)) {
        open = false;
        break;
      }
    }
    if (!open) break;
    Request request;
    request.connection = connection->number;
    std::string version;
    if (!parseHead(std::string_view(buffer).substr(0, headEnd), request, version)) {
      sendAll(fd, statusLine(400, true));
      break;
    }
    const size_t bodyStart = headEnd + 4;
    if (!request.header("Transfer-Encoding").empty()) {
      sendAll(fd, statusLine(501, true));
      break;
    }
    size_t length = 0;
    const std::string lengthText = request.header("Content-Length");
    if (!lengthText.empty() && !parseLength(lengthText, length)) {
      sendAll(fd, statusLine(400, true));
      break;
    }
    if (length > kMaxBodyBytes) {
      sendAll(fd, statusLine(413, true));
      break;
    }
    if (containsTokenIgnoringCase(request.header("Expect"), "100-continue") &&
        buffer.size() < bodyStart + length) {
      if (!sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) break;
    }
    if (!readAtLeast(fd, buffer, bodyStart + length)) break;
    request.body = buffer.substr(bodyStart, length);
    buffer.erase(0, bodyStart + length);

    const std::string connectionHeader = request.header("Connection");
    const bool close =
        containsTokenIgnoringCase(connectionHeader, "close") ||
        (version == "HTTP/1.0" && !containsTokenIgnoringCase(connectionHeader, "keep-alive"));
    size_t index = 0;
    const Response response = respond(request, &index);
    if (!response.answer) {
      // Held open, unanswered, until the client leaves or the collector stops.
      while (readAtLeast(fd, buffer, buffer.size() + 1)) {
      }
      break;
    }
    if (!sendAll(fd, statusLine(response.status, close, response.headers))) break;
    std::shared_ptr<const Listener> listener;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener = listener_;
    }
    if (listener) (*listener)(request, index);
    if (close) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd);
  connection->fd = -1;
  connection->finished = true;
}
