#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "core/network/QXJournalIngester.h"
#include "core/network/QXOutbox.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

class OutboxConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { QXFakePlatform::installNew(); }
  qxtest::TempDirectory directory;
};

// Callers append from several threads while the worker ingests (rotating
// the journal often), reads, removes, bounds and checkpoints: every hit is
// read exactly once, each caller's hits in the order they were appended.
TEST_F(OutboxConcurrencyTest, AppendsFromManyThreadsMeetTheWorkerWithoutLossOrDuplicate) {
  QXHitJournal journal(directory.path());
  QXOutbox outbox(directory.file("outbox.sqlite"));
  QXJournalIngester ingester(journal, outbox);
  QXJournalIngester::Options options;
  options.rotateBytes = 4096;
  options.chunkBytes = 2048;
  ingester.setOptions(options);

  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  std::atomic<int> appending{kThreads};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string body = std::to_string(t) + ":" + std::to_string(i);
        EXPECT_TRUE(journal.append("http://127.0.0.1:9/", body, false, 1000).ok());
      }
      appending.fetch_sub(1);
    });
  }
  std::map<int, int> nextOfCaller;
  size_t seen = 0;
  bool ordered = true;
  int64_t last = 0;
  for (;;) {
    const bool stillAppending = appending.load() > 0;
    std::vector<QXOutbox::Hit> ignored;
    ingester.ingest(QXJournalIngester::Clock::now(), 8192, 0, &ignored);
    const auto hits = outbox.read(last, 64);
    std::vector<int64_t> ids;
    for (const auto& hit : hits) {
      const int caller = std::stoi(hit.body);
      const int index = std::stoi(hit.body.substr(hit.body.find(':') + 1));
      ordered = ordered && hit.id > last && index == nextOfCaller[caller]++;
      last = hit.id;
      ids.push_back(hit.id);
      ++seen;
    }
    ASSERT_TRUE(outbox.remove(ids).ok());
    outbox.enforceBounds(100000, 0, 0, {});
    outbox.checkpointIfLarge(64 * 1024);
    ingester.makeDurableIfDue(QXJournalIngester::Clock::now(), outbox.count() > 0);
    if (!stillAppending && hits.empty() && ingester.caughtUp()) break;
    if (hits.empty()) std::this_thread::yield();
  }
  for (auto& caller : callers)
    caller.join();
  // Sealed, ingested and made durable, the journal is gone.
  journal.rotate();
  std::vector<QXOutbox::Hit> none;
  ingester.ingest(QXJournalIngester::Clock::now(), 8192, 0, &none);
  ingester.makeDurableIfDue(QXJournalIngester::Clock::now(), outbox.count() > 0);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(seen, static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(outbox.count(), 0u);
  EXPECT_EQ(journal.backlog().bytes, 0u);
  EXPECT_EQ(journal.segments().size(), 1u);  // the active one, which took over
}

// The same callers while the worker leaves out the oldest records past a
// small bound as it reads, the way a burst past the bounds is met: every
// hit is stored or left out, once.
TEST_F(OutboxConcurrencyTest, AppendsMeetAWorkerLeavingOutTheOldestWithoutLossOrDuplicate) {
  QXHitJournal journal(directory.path());
  QXOutbox outbox(directory.file("outbox.sqlite"));
  QXJournalIngester ingester(journal, outbox);
  QXJournalIngester::Options options;
  options.rotateBytes = 4096;
  options.chunkBytes = 2048;
  ingester.setOptions(options);

  constexpr int kThreads = 4;
  constexpr int kPerThread = 400;
  constexpr uint64_t kKeep = 50;  // records the bound leaves to the journal
  std::atomic<int> appending{kThreads};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        EXPECT_TRUE(journal
                        .append("http://127.0.0.1:9/", std::to_string(t) + ":" + std::to_string(i),
                                false, 1000)
                        .ok());
      appending.fetch_sub(1);
    });
  }
  std::set<std::string> seen;
  size_t duplicates = 0;
  size_t leftOut = 0;
  for (;;) {
    const bool stillAppending = appending.load() > 0;
    const QXHitJournal::Backlog backlog = journal.backlog();
    QXJournalIngester::Leave leave;
    leave.records = backlog.records > kKeep ? backlog.records - kKeep : 0;
    std::vector<QXOutbox::Hit> stored;
    std::vector<QXHitJournal::Skipped> left;
    ingester.ingest(QXJournalIngester::Clock::now(), 8192, 1000, &stored, leave, &left);
    leftOut += left.size();
    std::vector<int64_t> ids;
    for (const auto& hit : stored) {
      if (!seen.insert(hit.body).second) ++duplicates;
      ids.push_back(hit.id);
    }
    ASSERT_TRUE(outbox.remove(ids).ok());
    ingester.makeDurableIfDue(QXJournalIngester::Clock::now(), outbox.count() > 0);
    if (!stillAppending && stored.empty() && left.empty() && ingester.caughtUp()) break;
    if (stored.empty()) std::this_thread::yield();
  }
  for (auto& caller : callers)
    caller.join();
  EXPECT_EQ(duplicates, 0u);
  EXPECT_GT(leftOut, 0u);
  EXPECT_EQ(seen.size() + leftOut, static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(journal.backlog().records, 0u);
}

}  // namespace
