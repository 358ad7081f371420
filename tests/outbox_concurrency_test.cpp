#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/network/QXOutbox.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

class OutboxConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { QXFakePlatform::installNew(); }
  qxtest::TempDirectory directory;
};

// Callers add from several threads while the worker reads, removes, bounds
// and checkpoints: every hit is read exactly once, in increasing id order.
TEST_F(OutboxConcurrencyTest, AddsFromManyThreadsMeetTheWorkerWithoutLossOrDuplicate) {
  QXOutbox outbox(directory.file("outbox.sqlite"));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  std::atomic<int> adding{kThreads};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string body = "t=" + std::to_string(t) + "&i=" + std::to_string(i);
        EXPECT_TRUE(outbox.add("http://127.0.0.1:9/", body, false, 1000).ok());
      }
      adding.fetch_sub(1);
    });
  }
  std::multiset<std::string> seen;
  int64_t last = 0;
  bool ordered = true;
  while (adding.load() > 0 || outbox.count() > 0) {
    const auto hits = outbox.read(last, 64);
    std::vector<int64_t> ids;
    for (const auto& hit : hits) {
      ordered = ordered && hit.id > last;
      last = hit.id;
      ids.push_back(hit.id);
      seen.insert(hit.body);
    }
    ASSERT_TRUE(outbox.remove(ids).ok());
    outbox.enforceBounds(100000, 0, {});
    outbox.checkpointIfLarge();
    if (hits.empty()) std::this_thread::yield();
  }
  for (auto& caller : callers)
    caller.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size());
}

}  // namespace
