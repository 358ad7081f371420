// The inspector on a real collector: the page's answers, and the event
// streams while hits come from other connections. The collector's serving
// thread records and hands over connections while the inspector's thread
// reads the history and writes to browsers, so the ThreadSanitizer leg runs
// these.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "delivery_support.h"
#include "tools/collector/QXCollector.h"
#include "tools/collector/QXInspector.h"

namespace {

// A socket to the collector whose reads give up after 10 s; a receive
// buffer of `receiveBuffer` bytes when not 0, so that a client that stops
// reading stops the sender soon.
int connectTo(uint16_t port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (receiveBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string getRequest(const std::string& target, const std::string& host = "127.0.0.1:1",
                       const std::string& extra = "", const std::string& method = "GET") {
  return method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra + "\r\n";
}

struct Event {
  std::string id;
  std::string type;
  std::string data;
};

// The client side of an event stream.
class EventStream {
 public:
  EventStream(uint16_t port, const std::string& extraHeaders = "", int receiveBuffer = 0)
      : fd_(connectTo(port, receiveBuffer)) {
    sendAll(fd_, getRequest("/events", "127.0.0.1:1", extraHeaders));
  }
  ~EventStream() { ::close(fd_); }
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  std::string head() {
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) return std::string();
    }
    std::string head = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    return head;
  }

  // The next event (after the head), nothing once the server has closed.
  std::optional<Event> next() {
    for (;;) {
      size_t end;
      while ((end = buffer_.find("\n\n")) == std::string::npos) {
        if (!fill()) return std::nullopt;
      }
      Event event;
      size_t at = 0;
      while (at < end) {
        const size_t lineEnd = buffer_.find('\n', at);
        const std::string line = buffer_.substr(at, lineEnd - at);
        at = lineEnd + 1;
        if (line.rfind("id: ", 0) == 0) event.id = line.substr(4);
        if (line.rfind("event: ", 0) == 0) event.type = line.substr(7);
        if (line.rfind("data: ", 0) == 0) event.data = line.substr(6);
      }
      buffer_.erase(0, end + 2);
      if (!event.type.empty()) return event;
    }
  }

 private:
  bool fill() {
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_;
  std::string buffer_;
};

// The whole answer to one request on a connection of its own: the
// inspector closes after each.
std::string fetch(uint16_t port, const std::string& request) {
  const int fd = connectTo(port);
  sendAll(fd, request);
  std::string answer;
  char chunk[16384];
  ssize_t n;
  while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
    answer.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  return answer;
}

class InspectorTest : public ::testing::Test {
 protected:
  void start(size_t historyCapacity = 100) {
    QXInspector::Options options;
    options.historyCapacity = historyCapacity;
    inspector.emplace(options);
    collector.setListener(
        [this](const QXCollector::Request& request, size_t) { inspector->record(request); });
    collector.setAdopter([this](int socket, const QXCollector::Request& request) {
      inspector->adopt(socket, request);
    });
    ASSERT_TRUE(inspector->start().ok());
    ASSERT_TRUE(collector.start().ok());
  }

  void TearDown() override {
    collector.stop();
    if (inspector) inspector->stop();
  }

  void post(qxtest::RawClient& client, const std::string& body, const std::string& id = "") {
    client.write(
        qxtest::postRequest("/7/", body, id.empty() ? "" : "X-Quorvex-Hit-Id: " + id + "\r\n"));
    ASSERT_NE(client.readHead().find("200 OK"), std::string::npos);
  }

  QXCollector collector{QXCollector::Options{0, 200, false}};
  std::optional<QXInspector> inspector;
};

TEST_F(InspectorTest, ThePageAndItsFilesComeWithAStrictPolicyAndAreNotCountedAsHits) {
  start();
  struct Case {
    std::string request;
    std::string status;
    std::string contentType;
    bool body;
  };
  for (const Case& c : std::vector<Case>{
           {getRequest("/"), "200 OK", "text/html", true},
           {getRequest("/?from=bookmark"), "200 OK", "text/html", true},
           {getRequest("/inspector.js"), "200 OK", "text/javascript", true},
           {getRequest("/inspector.css"), "200 OK", "text/css", true},
           {getRequest("/", "127.0.0.1:1", "", "HEAD"), "200 OK", "text/html", false},
           {getRequest("/", "localhost:8080"), "200 OK", "text/html", true},
           {getRequest("/", "[::1]:8080"), "200 OK", "text/html", true},
           {getRequest("/missing"), "404 Not Found", "text/plain", true},
           {getRequest("/", "hits.example:8080"), "403 Forbidden", "text/plain", true},
           {getRequest("/events", "127.0.0.1.example"), "403 Forbidden", "text/plain", true},
       }) {
    const std::string answer = fetch(collector.port(), c.request);
    const size_t headEnd = answer.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos) << c.request;
    const std::string head = answer.substr(0, headEnd + 2);
    EXPECT_EQ(head.rfind("HTTP/1.1 " + c.status + "\r\n", 0), 0u) << c.request << head;
    EXPECT_NE(head.find("Content-Type: " + c.contentType), std::string::npos) << c.request;
    EXPECT_NE(head.find("Content-Security-Policy: default-src 'none'; script-src 'self'; "
                        "style-src 'self'; connect-src 'self';"),
              std::string::npos)
        << c.request;
    EXPECT_NE(head.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << c.request;
    const size_t length = std::stoul(head.substr(head.find("Content-Length: ") + 16));
    EXPECT_EQ(answer.size() - headEnd - 4, c.body ? length : 0) << c.request;
    EXPECT_GT(length, 0u) << c.request;
  }
  const std::string head =
      fetch(collector.port(), getRequest("/events", "127.0.0.1:1", "", "HEAD"));
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "") << "no events after the head";
  EXPECT_EQ(collector.requestCount(), 0u);
}

TEST_F(InspectorTest, AStreamGetsTheHistoryThenEveryHitOnceInOrderFromManyConnections) {
  start();
  qxtest::RawClient first(collector.port());
  for (int n = 0; n < 5; ++n)
    post(first, "seq=" + std::to_string(n), "ID-" + std::to_string(n));
  EventStream stream(collector.port());
  const std::string head = stream.head();
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Type: text/event-stream"), std::string::npos) << head;
  const std::optional<Event> reset = stream.next();
  ASSERT_TRUE(reset);
  EXPECT_EQ(reset->type, "reset");
  EXPECT_EQ(reset->data, "{\"capacity\":100,\"dropped\":0}");

  constexpr int kSenders = 4;
  constexpr int kHitsEach = 20;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([this, s] {
      qxtest::RawClient client(collector.port());
      for (int i = 0; i < kHitsEach; ++i) {
        client.write(qxtest::postRequest("/7/", "seq=" + std::to_string(5 + s * kHitsEach + i)));
        client.readHead();
      }
    });
  }
  std::set<std::string> bodies;
  for (int n = 0; n < 5 + kSenders * kHitsEach; ++n) {
    const std::optional<Event> event = stream.next();
    ASSERT_TRUE(event) << "after " << n << " hits";
    EXPECT_EQ(event->type, "hit");
    EXPECT_EQ(event->id, std::to_string(n));
    EXPECT_EQ(event->data.rfind("{\"seq\":" + std::to_string(n) + ",", 0), 0u) << event->data;
    const size_t body = event->data.find("\"body\":\"") + 8;
    bodies.insert(event->data.substr(body, event->data.find('"', body) - body));
    if (n < 5) {
      EXPECT_NE(event->data.find("\"id\":\"ID-" + std::to_string(n) + "\""), std::string::npos);
    }
  }
  for (std::thread& sender : senders)
    sender.join();
  EXPECT_EQ(bodies.size(), static_cast<size_t>(5 + kSenders * kHitsEach));
  EXPECT_EQ(inspector->streamCount(), 1u);
}

TEST_F(InspectorTest, AStreamResumesAfterItsLastEventOrStartsOverWhenThatHitIsGone) {
  start(4);
  qxtest::RawClient client(collector.port());
  for (int n = 0; n < 3; ++n)
    post(client, "seq=" + std::to_string(n));
  {
    EventStream resumed(collector.port(), "Last-Event-ID: 1\r\n");
    resumed.head();
    const std::optional<Event> event = resumed.next();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, "hit");
    EXPECT_EQ(event->id, "2");
  }
  for (int n = 3; n < 9; ++n)
    post(client, "seq=" + std::to_string(n));
  for (const char* last : {"1", "999", "not a number"}) {
    EventStream stream(collector.port(), std::string("Last-Event-ID: ") + last + "\r\n");
    stream.head();
    const std::optional<Event> reset = stream.next();
    ASSERT_TRUE(reset) << last;
    EXPECT_EQ(reset->type, "reset") << last;
    EXPECT_EQ(reset->data, "{\"capacity\":4,\"dropped\":5}") << last;
    const std::optional<Event> oldest = stream.next();
    ASSERT_TRUE(oldest) << last;
    EXPECT_EQ(oldest->id, "5") << last;
  }
}

TEST_F(InspectorTest, AStreamThatStopsReadingIsDroppedAndHoldsNoHitUp) {
  start(8);
  EventStream stalled(collector.port(), "", 4096);
  ASSERT_FALSE(stalled.head().empty());
  // Far more than the socket buffers hold, in hits that the history drops
  // long before the stalled client could have them.
  constexpr int kHits = 400;
  const std::string padding(32 * 1024, 'x');
  qxtest::RawClient client(collector.port());
  for (int n = 0; n < kHits; ++n)
    post(client, "seq=" + std::to_string(n) + "&pad=" + padding);
  EXPECT_EQ(collector.requestCount(), static_cast<size_t>(kHits));

  // What it was sent is whole and in order, and then the stream ends.
  std::optional<Event> event = stalled.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->type, "reset");
  int received = 0;
  while ((event = stalled.next())) {
    EXPECT_EQ(event->id, std::to_string(received));
    ++received;
  }
  EXPECT_LT(received, kHits);

  // A new stream starts over from what is kept.
  EventStream again(collector.port());
  again.head();
  const std::optional<Event> reset = again.next();
  ASSERT_TRUE(reset);
  EXPECT_EQ(reset->data, "{\"capacity\":8,\"dropped\":" + std::to_string(kHits - 8) + "}");
}

TEST_F(InspectorTest, StoppingEndsOpenStreamsAndLaterRequestsAreClosedUnanswered) {
  start();
  EventStream stream(collector.port());
  stream.head();
  ASSERT_TRUE(stream.next());
  inspector->stop();
  EXPECT_FALSE(stream.next());
  EXPECT_EQ(fetch(collector.port(), getRequest("/")), "");
}

}  // namespace
