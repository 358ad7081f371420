#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>

#include "core/network/QXCurlResult.h"
#include "core/network/QXCurlTransport.h"
#include "delivery_support.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

// Drives a transport the way the worker does: starts requests, and waits
// for their answers, which come back under the request's token.
class Driver {
 public:
  explicit Driver(QXTransport& transport) : transport_(transport) {}

  uint64_t start(QXHTTPRequest request) {
    const uint64_t token = next_++;
    transport_.start(token, std::move(request));
    return token;
  }
  // The answer of `token`, or a failure kind "none" after 20 s.
  QXSendResult answerOf(uint64_t token) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (answers_.count(token) == 0 && std::chrono::steady_clock::now() < deadline) {
      for (auto& answer : transport_.collect())
        answers_[answer.token] = std::move(answer.result);
      if (answers_.count(token) == 0) transport_.waitForActivity(deadline);
    }
    return answers_.count(token) > 0
               ? answers_[token]
               : QXSendResult::failure(QXSendResult::Kind::kTransportError, "no answer in time");
  }
  QXSendResult send(QXHTTPRequest request) { return answerOf(start(std::move(request))); }

 private:
  QXTransport& transport_;
  uint64_t next_ = 1;
  std::map<uint64_t, QXSendResult> answers_;
};

// A server on 127.0.0.1 that reads a request and answers the same bytes to
// each, whatever they are, then closes the connection.
class RawServer {
 public:
  explicit RawServer(std::string reply) : reply_(std::move(reply)) {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listening_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    ::shutdown(listening_, SHUT_RDWR);
    thread_.join();
    ::close(listening_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/7/"; }

 private:
  void serve() {
    for (;;) {
      const int connection = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::string request;
      char chunk[4096];
      size_t headEnd = std::string::npos;
      while (headEnd == std::string::npos) {
        const ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        request.append(chunk, static_cast<size_t>(n));
        headEnd = request.find("\r\n\r\n");
      }
      ::send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::shutdown(connection, SHUT_RDWR);
      ::close(connection);
    }
  }

  const std::string reply_;
  int listening_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    ASSERT_TRUE(collector.start().ok());
  }

  QXHTTPRequest hit(const std::string& body, const std::string& identifier = "ID-1") {
    QXHTTPRequest request = QXBuildHitRequest(collector.url("/7/"), body, identifier, "Test/1");
    request.connectTimeout = 5s;
    request.totalTimeout = 10s;
    return request;
  }

  QXCollector collector;
  QXCurlTransport transport;
  Driver sender{transport};
};

// curl takes a long: 64 bits on x86-64 and arm64, 32 on 32-bit ARM, where
// 2^31 ms (under 25 days) wrapped to a negative timeout that curl
// refuses.
TEST(CurlTimeout, MillisecondsBeyondALongAreHeldAtItsLimitAndNegativeOnesAreNone) {
  constexpr long kLongMax = std::numeric_limits<long>::max();
  const struct {
    std::chrono::milliseconds timeout;
    long expected;
  } cases[] = {
      {0ms, 0},
      {1500ms, 1500},
      {-1ms, 0},
      {std::chrono::milliseconds::min(), 0},
      {std::chrono::milliseconds(int64_t{1} << 31),
       static_cast<long>(std::min<int64_t>(int64_t{1} << 31, kLongMax))},
      {std::chrono::milliseconds::max(), kLongMax},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QXCurlTransport::timeoutMilliseconds(c.timeout), c.expected) << c.timeout.count();
  }
}

TEST_F(CurlTransportTest, PostsTheBodyByteForByteWithTheHitHeaders) {
  std::string body(3500, 'a');
  for (int c = 0; c < 256; ++c)
    body.push_back(static_cast<char>(c));
  const QXSendResult result = sender.send(hit(body, "6F1C-42"));
  ASSERT_EQ(result.kind, QXSendResult::Kind::kResponse) << result.error;
  EXPECT_EQ(result.status, 200);
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/7/");
  EXPECT_EQ(requests[0].body, body);
  // Once: curl's own line for a form body stands for the request's header.
  EXPECT_EQ(std::count_if(requests[0].headers.begin(), requests[0].headers.end(),
                          [](const auto& header) { return header.first == "Content-Type"; }),
            1);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].header("X-Quorvex-Hit-Id"), "6F1C-42");
  EXPECT_EQ(requests[0].header("User-Agent"), "Test/1");
  // Nothing makes the sender wait for an interim answer before the body.
  EXPECT_EQ(requests[0].header("Expect"), "");
}

TEST_F(CurlTransportTest, OneConnectionIsKeptAliveAcrossRequests) {
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(sender.send(hit("n=" + std::to_string(i))).status, 200);
  EXPECT_EQ(collector.requestCount(), 5u);
  EXPECT_EQ(collector.connectionCount(), 1u);
}

// Requests to two collectors started one after the other, before curl has
// read any of their URLs: each goes where its own URL says, and a handle
// given back by one collector's transfer carries nothing to the next.
TEST_F(CurlTransportTest, RequestsStartedTogetherGoEachToItsOwnURL) {
  QXCollector other;
  ASSERT_TRUE(other.start().ok());
  auto to = [&](QXCollector& where, const std::string& body) {
    QXHTTPRequest request = hit(body);
    request.url = where.url("/" + body + "/");
    return sender.start(request);
  };
  for (int round = 0; round < 2; ++round) {
    const std::vector<uint64_t> tokens = {to(collector, "a1"), to(other, "b1"), to(collector, "a2"),
                                          to(other, "b2")};
    for (uint64_t token : tokens)
      ASSERT_EQ(sender.answerOf(token).status, 200);
  }
  auto targets = [](QXCollector& where) {
    std::vector<std::string> seen;
    for (const auto& request : where.requests())
      seen.push_back(request.target + request.body);
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  const std::vector<std::string> a = {"/a1/a1", "/a1/a1", "/a2/a2", "/a2/a2"};
  const std::vector<std::string> b = {"/b1/b1", "/b1/b1", "/b2/b2", "/b2/b2"};
  EXPECT_EQ(targets(collector), a);
  EXPECT_EQ(targets(other), b);
}

TEST_F(CurlTransportTest, TheServersStatusAndRetryAfterComeBackAsTheyAre) {
  collector.setResponder([](const QXCollector::Request& request, size_t) {
    auto response = QXCollector::Response::withStatus(std::stoi(request.body));
    if (request.body == "429") response.headers.emplace_back("Retry-After", "7");
    return response;
  });
  EXPECT_EQ(sender.send(hit("500")).status, 500);
  EXPECT_EQ(sender.send(hit("400")).status, 400);
  const QXSendResult throttled = sender.send(hit("429"));
  EXPECT_EQ(throttled.status, 429);
  ASSERT_TRUE(throttled.retryAfterSeconds.has_value());
  EXPECT_EQ(*throttled.retryAfterSeconds, 7.0);
  EXPECT_FALSE(sender.send(hit("200")).retryAfterSeconds.has_value());
}

TEST_F(CurlTransportTest, RedirectsAreNotFollowed) {
  collector.setResponder([this](const QXCollector::Request&, size_t) {
    auto response = QXCollector::Response::withStatus(302);
    response.headers.emplace_back("Location", collector.url("/elsewhere/"));
    return response;
  });
  const QXSendResult result = sender.send(hit("a=1"));
  EXPECT_EQ(result.kind, QXSendResult::Kind::kResponse);
  EXPECT_EQ(result.status, 302);
  EXPECT_EQ(collector.requestCount(), 1u);
}

TEST_F(CurlTransportTest, ARefusedConnectionIsANetworkError) {
  QXHTTPRequest request = hit("a=1");
  request.url = "http://127.0.0.1:" + std::to_string(qxtest::closedPort()) + "/7/";
  const QXSendResult result = sender.send(request);
  EXPECT_EQ(result.kind, QXSendResult::Kind::kTransportError);
  EXPECT_FALSE(result.error.empty());
}

TEST_F(CurlTransportTest, OnlyHttpAndHttpsCanBeRequested) {
  for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/", "gopher://127.0.0.1/"}) {
    QXHTTPRequest request = hit("a=1");
    request.url = url;
    EXPECT_EQ(sender.send(request).kind, QXSendResult::Kind::kInvalidRequest) << url;
  }
  QXHTTPRequest malformed = hit("a=1");
  malformed.url = "http://[::1";
  EXPECT_EQ(sender.send(malformed).kind, QXSendResult::Kind::kInvalidRequest);
}

TEST_F(CurlTransportTest, AServerThatNeverAnswersRunsIntoTheTotalTimeout) {
  collector.setResponder(
      [](const QXCollector::Request&, size_t) { return QXCollector::Response::never(); });
  QXHTTPRequest request = hit("a=1");
  request.totalTimeout = 200ms;
  const auto started = std::chrono::steady_clock::now();
  const QXSendResult result = sender.send(request);
  EXPECT_EQ(result.kind, QXSendResult::Kind::kTransportError);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

// Only the URL and the server's own refusal decide that a hit can never be
// sent: an answer that is garbled, of another protocol or cut short is a
// failed attempt, and only a whole answer is one.
TEST_F(CurlTransportTest, AGarbledOrCutShortAnswerIsAFailedAttemptNotAnAnswer) {
  const struct {
    const char* what;
    std::string reply;
    bool whole;
  } cases[] = {
      {"a status line of no number", "HTTP/1.1 2x0 Fine\r\nContent-Length: 0\r\n\r\n", false},
      {"another service's banner", "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n", false},
      {"closed after the status line", "HTTP/1.1 200 OK\r\n", false},
      {"closed in the middle of the head", "HTTP/1.1 200 OK\r\nContent-Le", false},
      {"a body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", false},
      {"nothing at all", "", false},
      {"a whole answer", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true},
      {"a whole answer that ends with the connection", "HTTP/1.1 200 OK\r\n\r\nbody", true},
  };
  for (const auto& c : cases) {
    RawServer server(c.reply);
    QXHTTPRequest request = hit("a=1");
    request.url = server.url();
    const QXSendResult result = sender.send(request);
    if (c.whole) {
      EXPECT_EQ(result.kind, QXSendResult::Kind::kResponse) << c.what << ": " << result.error;
      EXPECT_EQ(result.status, 200) << c.what;
    } else {
      EXPECT_EQ(result.kind, QXSendResult::Kind::kTransportError) << c.what;
      EXPECT_FALSE(result.beforeConnecting) << c.what;
    }
  }
}

// The worker ends the transfers under way when it stops: each is answered
// as aborted, at once.
TEST_F(CurlTransportTest, AbortingEndsEveryTransferUnderWayAtOnce) {
  collector.setResponder(
      [](const QXCollector::Request&, size_t) { return QXCollector::Response::never(); });
  sender.start(hit("a=1"));
  sender.start(hit("a=2"));
  ASSERT_TRUE(qxtest::eventually([&] {
    transport.collect();
    return collector.requestCount() == 2;
  }));
  const auto started = std::chrono::steady_clock::now();
  const auto answers = transport.abortAll();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  ASSERT_EQ(answers.size(), 2u);
  for (const auto& answer : answers)
    EXPECT_EQ(answer.result.kind, QXSendResult::Kind::kAborted);
  EXPECT_EQ(transport.inFlight(), 0u);
}

// Requests run at once: one whose collector never answers holds up none of
// the others, to the same collector or another one.
TEST_F(CurlTransportTest, ARequestThatHangsHoldsUpNoOther) {
  collector.setResponder([](const QXCollector::Request& request, size_t) {
    return request.body == "hang" ? QXCollector::Response::never()
                                  : QXCollector::Response::withStatus(200);
  });
  QXHTTPRequest hanging = hit("hang");
  hanging.totalTimeout = 30s;
  const uint64_t hangs = sender.start(hanging);
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(sender.send(hit("n=" + std::to_string(i))).status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(transport.inFlight(), 1u);
  EXPECT_EQ(transport.abortAll().at(0).token, hangs);
}

// wakeup() from another thread, before the wait or during it, ends a wait
// that nothing else would end.
TEST_F(CurlTransportTest, AWakeupFromAnotherThreadEndsAWait) {
  std::thread waker([&] { transport.wakeup(); });
  const auto started = std::chrono::steady_clock::now();
  transport.waitForActivity(std::nullopt);
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

// A child that calls exec keeps none of the SDK's connections.
TEST_F(CurlTransportTest, ItsSocketsAreClosedOnExec) {
  ASSERT_EQ(sender.send(hit("a=1")).status, 200);
  size_t sockets = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) continue;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    if (ntohs(peer.sin_port) != collector.port()) continue;  // the collector's own end
    ++sockets;
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
  }
  EXPECT_GE(sockets, 1u);
}

TEST_F(CurlTransportTest, AProxyNamedInTheEnvironmentIsUsed) {
  // The collector plays the proxy: the request for a host that does not
  // exist reaches it in absolute form.
  ::setenv("http_proxy", collector.url("").c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  QXHTTPRequest request = hit("a=1");
  request.url = "http://collect1.quorvex.invalid/7/";
  const QXSendResult result = sender.send(request);
  ::unsetenv("http_proxy");
  EXPECT_EQ(result.status, 200) << result.error;
  ASSERT_EQ(collector.requestCount(), 1u);
  EXPECT_EQ(collector.requests()[0].target, "http://collect1.quorvex.invalid/7/");
}

}  // namespace
