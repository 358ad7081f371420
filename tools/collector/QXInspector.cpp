#include "tools/collector/QXInspector.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/QXRealTime.h"
#include "tools/collector/QXHitJSON.h"
#include "tools/collector/QXPageAssets.h"

namespace {

// The hits copied out of the history at a time: a copy holds the history's
// lock, which the collector's serving thread waits for.
constexpr size_t kBatchHits = 16;

constexpr std::string_view kSecurityHeaders =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'; "
    "require-trusted-types-for 'script'; trusted-types 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cross-Origin-Resource-Policy: same-origin\r\n"
    "Cache-Control: no-store\r\n";

int64_t nowMs() {
  return QXRealTimeNanoseconds() / 1000000;
}

// Whether the Host header names this machine's loopback, with any port.
bool isLoopbackHost(std::string_view host) {
  const size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos)
    host = host.substr(0, colon);
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

// The answer's head and, unless `head`, its body.
std::string answer(int status, std::string_view contentType, std::string_view body, bool head) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + QXReasonPhrase(status) + "\r\n";
  out += "Content-Type: ";
  out += contentType;
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  out += kSecurityHeaders;
  out += "Connection: close\r\n\r\n";
  if (!head) out += body;
  return out;
}

// The Last-Event-ID a reconnecting stream gives, if any.
bool parseLastEventId(std::string_view text, uint64_t& id) {
  if (text.size() > 19) return false;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, id);
  return error == std::errc() && stop == end;
}

}  // namespace

// A connection handed over by the collector: one answer, or an open stream.
struct QXInspector::Client {
  int fd = -1;
  std::string out;  // what the socket has not taken yet, from `sent` on
  size_t sent = 0;
  bool stream = false;
  bool reset = false;     // the stream starts over from the oldest hit kept
  bool started = false;   // the stream has been filled once
  bool answered = false;  // all sent; the socket waits for the client to close
  uint64_t next = 0;      // the next hit the stream sends
};

QXInspector::QXInspector() : QXInspector(Options()) {}

QXInspector::QXInspector(Options options)
    : history_(options.historyCapacity, options.historyBytes) {}

QXInspector::~QXInspector() {
  stop();
}

QXStatus QXInspector::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return QXStatus::InvalidArgument("the inspector is already started");
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = wakeFd_;
  if (wakeFd_ < 0 || epollFd_ < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &event) != 0) {
    const std::string error = std::strerror(errno);
    for (const int fd : {wakeFd_, epollFd_}) {
      if (fd >= 0) ::close(fd);
    }
    wakeFd_ = epollFd_ = -1;
    return QXStatus::IOError("inspector: " + error);
  }
  started_ = true;
  thread_ = std::thread([this] { serveLoop(); });
  return QXStatus::OK();
}

void QXInspector::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || stopping_) return;
    stopping_ = true;
  }
  wake();
  thread_.join();
  for (auto& [fd, request] : adopted_)
    ::close(fd);
  adopted_.clear();
  ::close(wakeFd_);
  ::close(epollFd_);
}

void QXInspector::record(const QXCollector::Request& request) {
  history_.append(request, nowMs());
  if (streams_.load(std::memory_order_acquire) > 0 &&
      !wakePending_.exchange(true, std::memory_order_acq_rel)) {
    wake();
  }
}

void QXInspector::adopt(int socket, const QXCollector::Request& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ && !stopping_) {
      adopted_.emplace_back(socket, request);
      wakePending_.store(true, std::memory_order_release);
    } else {
      ::close(socket);
      return;
    }
  }
  wake();
}

void QXInspector::wake() {
  const uint64_t one = 1;
  if (::write(wakeFd_, &one, sizeof one) < 0) {
    // The counter is far from overflowing; the thread is awake already.
  }
}

void QXInspector::serveLoop() {
  epoll_event events[64];
  for (;;) {
    const int ready = ::epoll_wait(epollFd_, events, 64, -1);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wakeFd_) {
        uint64_t count;
        if (::read(wakeFd_, &count, sizeof count) < 0) {
          // Nothing to read: another wake-up took it.
        }
        continue;
      }
      // What a client sends after its request is read and ignored; only
      // its end matters.
      char discard[512];
      ssize_t n;
      while ((n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT)) > 0) {
      }
      const bool gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) ||
                        (events[i].events & (EPOLLHUP | EPOLLERR)) != 0;
      if (gone) closeClient(fd);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    wakePending_.store(false, std::memory_order_release);
    takeAdopted();
    std::vector<int> over;
    for (auto& [fd, client] : clients_) {
      if (!pump(*client)) over.push_back(fd);
    }
    for (const int fd : over)
      closeClient(fd);
  }
  while (!clients_.empty())
    closeClient(clients_.begin()->first);
}

void QXInspector::takeAdopted() {
  std::vector<std::pair<int, QXCollector::Request>> adopted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    adopted.swap(adopted_);
  }
  for (auto& [fd, request] : adopted)
    begin(fd, request);
}

void QXInspector::begin(int socket, const QXCollector::Request& request) {
  auto client = std::make_unique<Client>();
  client->fd = socket;
  const bool head = request.method == "HEAD";
  const std::string_view target = request.target;
  const std::string_view path = target.substr(0, target.find('?'));
  if (!isLoopbackHost(request.headerValue("Host"))) {
    client->out = answer(403, "text/plain; charset=utf-8", "not a loopback host\n", head);
  } else if (path == "/events") {
    client->out = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n";
    client->out += kSecurityHeaders;
    client->out += "Connection: close\r\n\r\n";
    if (!head) {
      // A page whose stream ends asks again a second later.
      client->out += "retry: 1000\n\n";
      client->stream = true;
      uint64_t last = 0;
      client->reset = !parseLastEventId(request.headerValue("Last-Event-ID"), last);
      client->next = client->reset ? 0 : last + 1;
    }
  } else if (const QXPageAsset* asset = QXFindPageAsset(path)) {
    client->out = answer(200, asset->contentType, asset->bytes, head);
  } else {
    client->out = answer(404, "text/plain; charset=utf-8", "not found\n", head);
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.fd = socket;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, socket, &event) != 0) {
    ::close(socket);
    return;
  }
  if (client->stream) streams_.fetch_add(1, std::memory_order_acq_rel);
  clients_.emplace(socket, std::move(client));
}

bool QXInspector::fill(Client& client) {
  while (client.out.size() - client.sent < kFillBelow) {
    const QXHitHistory::Window window = history_.copySince(client.next, kBatchHits, batch_);
    if (!client.started) {
      client.started = true;
      // A Last-Event-ID of hits no longer kept, or of another run of the
      // collector, starts over too.
      client.reset = client.reset || client.next < window.first || client.next > window.next;
      if (client.reset) {
        client.next = window.first;
        client.out += "event: reset\ndata: {\"capacity\":" + std::to_string(history_.capacity()) +
                      ",\"dropped\":" + std::to_string(window.first) + "}\n\n";
        continue;
      }
    }
    if (client.next < window.first) return false;
    if (batch_.empty()) break;
    for (const QXRecordedHit& hit : batch_) {
      client.out += "id: " + std::to_string(hit.sequence) + "\nevent: hit\ndata: ";
      QXAppendHitJSON(client.out, hit);
      client.out += "\n\n";
      client.next = hit.sequence + 1;
    }
  }
  return true;
}

bool QXInspector::pump(Client& client) {
  for (;;) {
    if (client.stream && !fill(client)) return false;
    if (client.sent == client.out.size()) {
      client.out.clear();
      client.sent = 0;
      // Closing at once could reset the connection before the client has
      // read the answer; the client closes once it has it.
      if (!client.stream && !client.answered) {
        client.answered = true;
        ::shutdown(client.fd, SHUT_WR);
      }
      return true;
    }
    const ssize_t n = ::send(client.fd, client.out.data() + client.sent,
                             client.out.size() - client.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    client.sent += static_cast<size_t>(n);
    if (client.sent >= kFillBelow) {
      client.out.erase(0, client.sent);
      client.sent = 0;
    }
  }
}

void QXInspector::closeClient(int socket) {
  const auto found = clients_.find(socket);
  if (found == clients_.end()) return;
  if (found->second->stream) streams_.fetch_sub(1, std::memory_order_acq_rel);
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, socket, nullptr);
  ::close(socket);
  clients_.erase(found);
}
