// quorvex collect with several senders at once; the ThreadSanitizer leg
// builds the tool instrumented and runs this, so that a race in the
// command's threads (the collector's and its printer's) ends the tool with
// an error. Its printer is also driven here from several threads at once,
// which its contract allows though the collector calls it from one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collect_command.h"
#include "delivery_support.h"
#include "support/TestSupport.h"
#include "tools/collector/QXHitPrinter.h"

namespace {

using namespace std::chrono_literals;

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST_F(CollectCommandTest, HitsFromManyConnectionsAreEachShownOnceUpToTheCount) {
  constexpr int kClients = 4;
  constexpr int kHitsEach = 50;
  const std::string out = directory.file("bodies.txt");
  auto tool = run({"--count", std::to_string(kClients * kHitsEach), "--out", out});
  const uint16_t port = announcedPort(*tool);
  ASSERT_NE(port, 0);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([port, c] {
      qxtest::RawClient client(port);
      for (int i = 0; i < kHitsEach; ++i) {
        client.write(qxtest::postRequest("/7/", "seq=" + std::to_string(c * kHitsEach + i)));
        client.readHead();
      }
    });
  }
  for (std::thread& client : clients)
    client.join();
  ASSERT_EQ(tool->wait(10s), 0);
  const std::string bodies = qxtest::readFile(out);
  for (int n = 0; n < kClients * kHitsEach; ++n) {
    const std::string number = std::to_string(n);
    const std::string header = "--- hit " + std::to_string(n + 1) + ": ";
    EXPECT_EQ(occurrences(tool->out(), header), 1u) << header;
    EXPECT_EQ(occurrences(tool->out(), "\nseq=" + number + "\n"), 1u) << number;
    EXPECT_EQ(occurrences("\n" + bodies, "\nseq=" + number + "\n"), 1u) << number;
  }
}

TEST(HitPrinterConcurrency, HitsPrintedFromManyThreadsAreNumberedOnceAndWrittenOnceUpToTheCount) {
  constexpr int kThreads = 4;
  constexpr int kHitsEach = 50;
  constexpr size_t kCount = 150;  // some hits come after the count, and are not printed
  qxtest::TempDirectory directory;
  const int textFd = ::open(directory.file("text").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int bodiesFd =
      ::open(directory.file("bodies").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_GE(textFd, 0);
  ASSERT_GE(bodiesFd, 0);
  ASSERT_GE(doneFd, 0);
  {
    QXHitPrinter::Options options;
    options.textFd = textFd;
    options.bodiesFd = bodiesFd;
    options.count = kCount;
    options.doneFd = doneFd;
    QXHitPrinter printer(options);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
      senders.emplace_back([&printer, t] {
        for (int i = 0; i < kHitsEach; ++i) {
          QXCollector::Request request;
          request.method = "POST";
          request.target = "/7/";
          request.body = "seq=" + std::to_string(t * kHitsEach + i);
          printer.print(request);
        }
      });
    }
    for (std::thread& sender : senders)
      sender.join();
    printer.finish();
  }
  ::close(textFd);
  ::close(bodiesFd);
  uint64_t done = 0;
  EXPECT_EQ(::read(doneFd, &done, sizeof done), static_cast<ssize_t>(sizeof done));
  EXPECT_EQ(done, 1u);
  ::close(doneFd);

  const std::string text = qxtest::readFile(directory.file("text"));
  const std::string bodies = qxtest::readFile(directory.file("bodies"));
  EXPECT_EQ(occurrences(text, "--- hit "), kCount);
  for (size_t n = 1; n <= kCount; ++n) {
    const std::string header = "--- hit " + std::to_string(n) + ": POST /7/, ";
    EXPECT_EQ(occurrences(text, header), 1u) << header;
  }
  std::set<std::string> printed;
  for (int seq = 0; seq < kThreads * kHitsEach; ++seq) {
    const std::string line = "seq=" + std::to_string(seq) + "\n";
    const size_t inText = occurrences(text, "\n" + line);
    const size_t inBodies = occurrences("\n" + bodies, "\n" + line);
    EXPECT_LE(inText, 1u) << line;
    EXPECT_EQ(inBodies, inText) << line;
    if (inText == 1) printed.insert(line);
  }
  EXPECT_EQ(printed.size(), kCount);
  EXPECT_EQ(occurrences(bodies, "\n"), kCount);
}

}  // namespace
