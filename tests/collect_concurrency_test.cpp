// quorvex collect with several senders at once; the ThreadSanitizer leg
// builds the tool instrumented and runs this, so that a race in the
// command's threads (the collector's and its printer's) ends the tool with
// an error.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "collect_command.h"
#include "delivery_support.h"
#include "support/TestSupport.h"

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

}  // namespace
