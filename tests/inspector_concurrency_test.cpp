// The inspector on a real collector: the page's answers, and the event
// streams while hits come from other connections. The collector's serving
// thread records and hands over connections while the inspector's thread
// reads the history and writes to browsers, so the ThreadSanitizer leg runs
// these.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "delivery_support.h"
#include "tools/collector/QXCollector.h"
#include "tools/collector/QXInspector.h"

namespace {

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
      : client_(port, receiveBuffer) {
    client_.write(getRequest("/events", "127.0.0.1:1", extraHeaders));
  }

  std::string head() { return client_.readHead(); }

  // The next event (after the head), nothing once the server has closed.
  std::optional<Event> next() {
    for (;;) {
      const std::string text = client_.readThrough("\n\n");
      if (text.empty()) return std::nullopt;
      const size_t end = text.size() - 2;  // before the blank line
      Event event;
      size_t at = 0;
      while (at < end) {
        const size_t lineEnd = text.find('\n', at);
        const std::string line = text.substr(at, lineEnd - at);
        at = lineEnd + 1;
        if (line.rfind("id: ", 0) == 0) event.id = line.substr(4);
        if (line.rfind("event: ", 0) == 0) event.type = line.substr(7);
        if (line.rfind("data: ", 0) == 0) event.data = line.substr(6);
      }
      if (!event.type.empty()) return event;
    }
  }

 private:
  qxtest::RawClient client_;
};

// The whole answer to one request on a connection of its own: the
// inspector closes after each. Nothing when nobody listens any more.
std::string fetch(uint16_t port, const std::string& request) {
  try {
    qxtest::RawClient client(port);
    client.write(request);
    return client.readToEnd();
  } catch (const std::runtime_error&) {
    return std::string();
  }
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
