#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collect_command.h"
#include "delivery_support.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"
#include "tools/collector/QXFormFields.h"

namespace {

using namespace std::chrono_literals;

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(collector.start().ok()); }

  QXCollector collector;
};

TEST_F(CollectorTest, RecordsEveryPartOfARequestAndItsBodyByteForByte) {
  std::string body;
  for (int round = 0; round < 20; ++round) {
    for (int c = 0; c < 256; ++c)
      body.push_back(static_cast<char>(c));
  }
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/7/?x=1", body, "X-Quorvex-Hit-Id: abc-1\r\n"));
  EXPECT_NE(client.readHead().find("HTTP/1.1 200 OK"), std::string::npos);
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/7/?x=1");
  EXPECT_EQ(requests[0].header("x-quorvex-hit-id"), "abc-1");
  EXPECT_EQ(requests[0].body, body);
}

TEST_F(CollectorTest, AnswersTheStatusTheResponderChoosesPerRequest) {
  collector.setResponder([](const QXCollector::Request&, size_t index) {
    auto response = QXCollector::Response::withStatus(index == 0 ? 503 : 204);
    if (index == 0) response.headers.emplace_back("Retry-After", "7");
    return response;
  });
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/", "a=1"));
  const std::string first = client.readHead();
  EXPECT_NE(first.find("HTTP/1.1 503 Service Unavailable"), std::string::npos);
  EXPECT_NE(first.find("Retry-After: 7"), std::string::npos);
  client.write(qxtest::postRequest("/", "a=2"));
  EXPECT_NE(client.readHead().find("HTTP/1.1 204 No Content"), std::string::npos);
}

TEST_F(CollectorTest, GetAndHeadGoToTheAdopterUncountedAndEveryOtherRequestIsAHit) {
  std::mutex mutex;
  std::vector<std::string> adopted;
  collector.setAdopter([&](int socket, const QXCollector::Request& request) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      adopted.push_back(request.method + " " + request.target);
    }
    const std::string answer = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(::write(socket, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    ::close(socket);
  });
  struct Case {
    std::string request;
    std::string answer;
  };
  for (const Case& c : std::vector<Case>{
           {"GET /page?x=1 HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 204 No Content"},
           {"HEAD / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 204 No Content"},
           {qxtest::postRequest("/7/", "a=1"), "HTTP/1.1 200 OK"},
           {"GET /7/ HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\na=2", "HTTP/1.1 200 OK"},
           {"DELETE /7/ HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK"},
       }) {
    qxtest::RawClient client(collector.port());
    client.write(c.request);
    EXPECT_EQ(client.readHead().rfind(c.answer, 0), 0u) << c.request;
  }
  EXPECT_EQ(collector.requestCount(), 3u);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(adopted, (std::vector<std::string>{"GET /page?x=1", "HEAD /"}));
}

TEST_F(CollectorTest, TheConfiguredStatusIsTheDefaultAnswer) {
  QXCollector::Options options;
  options.status = 429;
  QXCollector refusing(options);
  ASSERT_TRUE(refusing.start().ok());
  qxtest::RawClient client(refusing.port());
  client.write(qxtest::postRequest("/", "a=1"));
  EXPECT_NE(client.readHead().find("HTTP/1.1 429 Too Many Requests"), std::string::npos);
}

TEST_F(CollectorTest, OneConnectionCarriesManyRequestsEvenWrittenAtOnce) {
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/", "a=1") + qxtest::postRequest("/", "a=2") +
               qxtest::postRequest("/", "a=3"));
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  client.write(qxtest::postRequest("/", "a=4"));
  EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  EXPECT_EQ(collector.connectionCount(), 1u);
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(requests[i].body, "a=" + std::to_string(i + 1));
}

TEST_F(CollectorTest, AClientWaitingForContinueGetsIt) {
  qxtest::RawClient client(collector.port());
  client.write("POST / HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n");
  EXPECT_NE(client.readHead().find("HTTP/1.1 100 Continue"), std::string::npos);
  client.write("a=1");
  EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  EXPECT_EQ(collector.requests().at(0).body, "a=1");
}

TEST_F(CollectorTest, ConnectionCloseIsHonouredAfterTheAnswer) {
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/", "a=1", "Connection: close\r\n"));
  EXPECT_NE(client.readHead().find("Connection: close"), std::string::npos);
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(CollectorTest, WhatIsNotHttpIsRefusedAndTheConnectionClosed) {
  qxtest::RawClient client(collector.port());
  client.write("hello there\r\n\r\n");
  EXPECT_NE(client.readHead().find("HTTP/1.1 400"), std::string::npos);
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ(collector.requestCount(), 0u);
}

TEST_F(CollectorTest, ChunkedBodiesAreRefused) {
  qxtest::RawClient client(collector.port());
  client.write("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na=1\r\n0\r\n\r\n");
  EXPECT_NE(client.readHead().find("HTTP/1.1 501"), std::string::npos);
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(CollectorTest, AnOversizedHeadIsRefused) {
  qxtest::RawClient client(collector.port());
  client.write("POST / HTTP/1.1\r\nX-Big: " + std::string(70 * 1024, 'x'));
  EXPECT_NE(client.readHead().find("HTTP/1.1 413"), std::string::npos);
}

TEST_F(CollectorTest, ConnectionsAreServedSideBySide) {
  collector.setResponder([](const QXCollector::Request& request, size_t) {
    return request.body == "hold" ? QXCollector::Response::never()
                                  : QXCollector::Response::withStatus(200);
  });
  qxtest::RawClient held(collector.port());
  held.write(qxtest::postRequest("/", "hold"));
  ASSERT_TRUE(collector.waitForRequests(1, 10s));
  qxtest::RawClient other(collector.port());
  other.write(qxtest::postRequest("/", "a=1"));
  EXPECT_NE(other.readHead().find("200 OK"), std::string::npos);
  EXPECT_EQ(collector.connectionCount(), 2u);
}

TEST_F(CollectorTest, StopEndsConnectionsEvenOneHeldUnanswered) {
  collector.setResponder(
      [](const QXCollector::Request&, size_t) { return QXCollector::Response::never(); });
  qxtest::RawClient held(collector.port());
  held.write(qxtest::postRequest("/", "a=1"));
  ASSERT_TRUE(collector.waitForRequests(1, 10s));
  collector.stop();
  EXPECT_TRUE(held.closedByServer());
}

TEST_F(CollectorTest, TheListenerHearsOfEachRequestOnceAnswered) {
  std::mutex mutex;
  std::vector<std::string> heard;
  collector.setListener([&](const QXCollector::Request& request, size_t index) {
    std::lock_guard<std::mutex> lock(mutex);
    heard.push_back(std::to_string(index) + ":" + request.body);
  });
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/", "a=1"));
  client.readHead();
  client.write(qxtest::postRequest("/", "b=2"));
  client.readHead();
  collector.stop();
  EXPECT_EQ(heard, (std::vector<std::string>{"0:a=1", "1:b=2"}));
}

TEST_F(CollectorTest, ARequestIsWholeHoweverItsBytesArrive) {
  std::string large;
  for (int i = 0; large.size() < 300 * 1024; ++i)
    large += "k" + std::to_string(i) + "=v&";
  const std::string small = qxtest::postRequest("/7/", "a=1&b=2");
  const size_t headEnd = small.find("\r\n\r\n");
  const struct {
    std::string request;
    size_t split;  // where the first write ends
  } cases[] = {
      {small, 1},
      {small, headEnd},
      {small, headEnd + 2},
      {small, headEnd + 4},
      {small, small.size() - 1},
      {qxtest::postRequest("/7/", large), 100},
      {qxtest::postRequest("/7/", large), 200 * 1024},
  };
  size_t count = 0;
  for (const auto& c : cases) {
    qxtest::RawClient client(collector.port());
    client.write(c.request.substr(0, c.split));
    client.write(c.request.substr(c.split));
    EXPECT_NE(client.readHead().find("200 OK"), std::string::npos) << c.split;
    const auto requests = collector.requests();
    ASSERT_EQ(requests.size(), ++count);
    EXPECT_EQ(requests.back().body, c.request.substr(c.request.find("\r\n\r\n") + 4)) << c.split;
  }
}

TEST_F(CollectorTest, EachRequestOfAConnectionHasOnlyItsOwnHeaders) {
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/a/", "a=1", "X-First: 1\r\nX-Second: 2\r\n"));
  client.readHead();
  client.write("GET /b/ HTTP/1.1\r\nHost: h\r\n\r\n");
  client.readHead();
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("X-Second"), "2");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].target, "/b/");
  EXPECT_EQ(requests[1].headers, (std::vector<std::pair<std::string, std::string>>{{"Host", "h"}}));
  EXPECT_EQ(requests[1].body, "");
}

TEST_F(CollectorTest, StopEndsAnIdleKeepAliveConnection) {
  qxtest::RawClient client(collector.port());
  client.write(qxtest::postRequest("/", "a=1"));
  EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  collector.stop();
  EXPECT_TRUE(client.closedByServer());
}

TEST_F(CollectorTest, ATakenPortIsAnError) {
  QXCollector::Options options;
  options.port = collector.port();
  QXCollector second(options);
  const QXStatus status = second.start();
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find(std::to_string(collector.port())), std::string::npos);
}

TEST_F(CollectorTest, RequestsAreCountedButNotKeptWhenAskedNotTo) {
  QXCollector::Options options;
  options.keepRequests = false;
  QXCollector counting(options);
  ASSERT_TRUE(counting.start().ok());
  qxtest::RawClient client(counting.port());
  client.write(qxtest::postRequest("/", "a=1"));
  client.readHead();
  EXPECT_EQ(counting.requestCount(), 1u);
  EXPECT_TRUE(counting.requests().empty());
}

TEST_F(CollectCommandTest, PrintsEachHitFieldByFieldDecodedAndStopsAfterTheCount) {
  const std::string out = directory.file("bodies.txt");
  auto tool = run({"--count", "2", "--out", out});
  const uint16_t port = announcedPort(*tool);
  ASSERT_NE(port, 0);
  qxtest::RawClient client(port);
  client.write(qxtest::postRequest(
      "/7/", "page=check%20out&basket%5B0%5D=a%26b&empty=", "X-Quorvex-Hit-Id: X-1\r\n"));
  EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  client.write(qxtest::postRequest("/7/", "line=one%0Atwo"));
  EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  ASSERT_EQ(tool->wait(10s), 0);
  EXPECT_NE(tool->out().find("id X-1\npage=check out\nbasket[0]=a&b\nempty=\n"), std::string::npos)
      << tool->out();
  EXPECT_NE(tool->out().find("line=one\\ntwo\n"), std::string::npos) << tool->out();
  EXPECT_EQ(qxtest::readFile(out), "page=check%20out&basket%5B0%5D=a%26b&empty=\nline=one%0Atwo\n");
}

TEST_F(CollectCommandTest, EachHitIsShownWhileTheCollectorRuns) {
  auto tool = run({});
  const uint16_t port = announcedPort(*tool);
  ASSERT_NE(port, 0);
  qxtest::RawClient client(port);
  client.write(qxtest::postRequest("/7/", "a=1", "X-Quorvex-Hit-Id: X-1\r\n"));
  EXPECT_NE(client.readHead().find("200 OK"), std::string::npos);
  EXPECT_TRUE(tool->waitForOutput("--- hit 1: POST /7/, 3 bytes, id X-1\na=1\n", 10s))
      << tool->out();
  tool->kill(SIGINT);
  EXPECT_EQ(tool->wait(10s), 0);
}

TEST_F(CollectCommandTest, AnInterruptStillWritesEveryHitAnswered) {
  const std::string out = directory.file("bodies.txt");
  auto tool = run({"--out", out});
  const uint16_t port = announcedPort(*tool);
  ASSERT_NE(port, 0);
  qxtest::RawClient client(port);
  for (int i = 1; i <= 5; ++i) {
    client.write(qxtest::postRequest("/7/", "n=" + std::to_string(i)));
    client.readHead();
  }
  tool->kill(SIGINT);
  ASSERT_EQ(tool->wait(10s), 0);
  EXPECT_NE(tool->out().find("--- hit 5: POST /7/, 3 bytes\nn=5\n"), std::string::npos)
      << tool->out();
  EXPECT_EQ(qxtest::readFile(out), "n=1\nn=2\nn=3\nn=4\nn=5\n");
}

TEST_F(CollectCommandTest, AnswersTheStatusItWasGiven) {
  auto tool = run({"--status", "503", "--count", "1"});
  const uint16_t port = announcedPort(*tool);
  ASSERT_NE(port, 0);
  qxtest::RawClient client(port);
  client.write(qxtest::postRequest("/", "a=1"));
  EXPECT_NE(client.readHead().find("HTTP/1.1 503"), std::string::npos);
  EXPECT_EQ(tool->wait(10s), 0);
}

TEST_F(CollectCommandTest, AnInterruptEndsItCleanly) {
  auto tool = run({});
  ASSERT_NE(announcedPort(*tool), 0);
  tool->kill(SIGINT);
  EXPECT_EQ(tool->wait(10s), 0);
}

TEST_F(CollectCommandTest, BadOptionsGiveOneLineAndStatusTwo) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"--port", "70000"},
                                                                     {"--port"},
                                                                     {"--status", "abc"},
                                                                     {"--status", "99"},
                                                                     {"--count", "0"},
                                                                     {"--frobnicate"},
                                                                     {"--out="},
                                                                     {"--out", ""},
                                                                     {"--count", "-3"},
                                                                     {"--port", "0x50"},
                                                                     {"--history", "0"},
                                                                     {"--history", "1000001"}}) {
    auto tool = run(arguments);
    EXPECT_EQ(tool->wait(10s), 2) << arguments[0];
    EXPECT_EQ(std::count(tool->err().begin(), tool->err().end(), '\n'), 1) << tool->err();
    EXPECT_EQ(tool->err().rfind("quorvex collect: ", 0), 0u) << tool->err();
  }
}

TEST_F(CollectCommandTest, HelpListsTheOptionsAndStartsNothing) {
  auto tool = run({"--help"});
  EXPECT_EQ(tool->wait(10s), 0);
  for (const char* option : {"--port", "--status", "--count", "--out", "--history"})
    EXPECT_NE(tool->out().find(option), std::string::npos) << option;
  EXPECT_TRUE(tool->err().empty()) << tool->err();
}

TEST_F(CollectCommandTest, APortWithLeadingZerosIsDecimal) {
  QXCollector probe;
  ASSERT_TRUE(probe.start().ok());
  const uint16_t port = probe.port();
  probe.stop();
  auto tool = run({"--port", "0" + std::to_string(port), "--count", "1"});
  EXPECT_EQ(announcedPort(*tool), port) << tool->err();
}

TEST_F(CollectCommandTest, ATakenPortFailsWithStatusOne) {
  QXCollector taken;
  ASSERT_TRUE(taken.start().ok());
  auto tool = run({"--port", std::to_string(taken.port())});
  EXPECT_EQ(tool->wait(10s), 1);
  EXPECT_NE(tool->err().find("Address already in use"), std::string::npos);
}

TEST(QuorvexCommand, AnUnknownCommandGivesStatusTwo) {
#ifndef QUORVEX_TOOL_PATH
  GTEST_SKIP() << "the quorvex tool is not built in this configuration";
#else
  qxtest::ChildProcess tool({QUORVEX_TOOL_PATH, "frobnicate"}, {});
  EXPECT_EQ(tool.wait(10s), 2);
  EXPECT_NE(tool.err().find("unknown command 'frobnicate'"), std::string::npos);
#endif
}

TEST(FieldFormatting, EachFieldOnItsOwnLineDecodedWithControlCharactersEscaped) {
  const struct {
    std::string body;
    std::string lines;
  } cases[] = {
      {"a=1&b=%0D%0A%09%01%5C&&c", "a=1\nb=\\r\\n\\t\\x01\\\\\nc=\n"},
      {"", ""},
      {"&&&", ""},
      {"x+y=%ZZ", "x y=%ZZ\n"},
      // Raw control characters and backslashes, amid text and at its end.
      {std::string("k=a\\b\x7f&t=\tx\x01"), "k=a\\\\b\\x7f\nt=\\tx\\x01\n"},
      {"a=b=c", "a=b=c\n"},
      {"=v", "=v\n"},
      {"name%3D=%26", "name==&\n"},
      {"c=%E2%82%AC&d=caf\xC3\xA9", "c=\xE2\x82\xAC\nd=caf\xC3\xA9\n"},
      {"p=%2", "p=%2\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QXFormatFields(c.body), c.lines) << c.body;
    std::string appended = "before\n";
    QXAppendFormattedFields(appended, c.body);
    EXPECT_EQ(appended, "before\n" + c.lines) << c.body;
  }
}

TEST(FormDecoding, PercentEscapesAndPlusesAreDecodedAndABrokenEscapeKept) {
  const std::pair<std::string, std::string> cases[] = {
      {"a+b%20c", "a b c"},
      {"%41%c3%A9", "A\xC3\xA9"},
      {"%2", "%2"},
      {"%zz%4", "%zz%4"},
      {"100%", "100%"},
      {"%%41", "%A"},
      {"%2B+", "+ "},
      {"", ""},
      {"%00x", std::string("\0x", 2)},
      {"%25%32%30", "%20"},
  };
  for (const auto& [encoded, decoded] : cases) {
    EXPECT_EQ(QXURLDecodedString(encoded), decoded) << encoded;
    std::string appended = "k=";
    QXAppendURLDecoded(appended, encoded);
    EXPECT_EQ(appended, "k=" + decoded) << encoded;
  }
}

TEST(FormDecoding, FieldsAreSplitOnAmpersandsThenOnTheirFirstEqualsSign) {
  const struct {
    std::string body;
    std::vector<QXFormField> fields;
  } cases[] = {
      {"", {}},
      {"a=1&b=%26%3D&a=2", {{"a", "1"}, {"b", "&="}, {"a", "2"}}},
      {"&&a=1&&", {{"a", "1"}}},
      {"flag&x=", {{"flag", ""}, {"x", ""}}},
      {"k=v=w&=v", {{"k", "v=w"}, {"", "v"}}},
      {"na%3Dme+1=v+2", {{"na=me 1", "v 2"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QXDecodedFormFields(c.body), c.fields) << c.body;
    EXPECT_EQ(qxtest::parseBody(c.body), c.fields) << c.body;
  }
  EXPECT_EQ(qxtest::fieldOf("a=1&b=2&a=3", "a"), "3");
  EXPECT_EQ(qxtest::fieldOf("a=1", "b"), std::nullopt);
}

TEST(FormDecoding, AWellFormedBodyHasOneNameOneEqualsSignAndOneValueAField) {
  for (const std::string body : {"", "a=1", "a=&=b&c=%3D"})
    EXPECT_TRUE(qxtest::everyFieldIsOneNameAndOneValue(body)) << body;
  for (const std::string body : {"a", "a=1&b", "a=1=2", "a=1&&b=2", "&a=1", "a=1&", "=="})
    EXPECT_FALSE(qxtest::everyFieldIsOneNameAndOneValue(body)) << body;
}

}  // namespace
