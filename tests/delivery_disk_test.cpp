// The worker's use of the disk: the outbox's bound in bytes, and a disk
// that fills up and frees again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "core/network/QXDeliveryWorker.h"
#include "fake_transport.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DeliveryDiskTest : public ::testing::Test {
 protected:
  void SetUp() override { QXFakePlatform::installNew(); }

  std::unique_ptr<QXDeliveryWorker> makeWorker() {
    QXDeliveryWorker::Environment environment;
    environment.makeTransport = transport.factory();
    environment.isReachable = [] { return true; };
    environment.nowMs = [] { return int64_t{1700000000000}; };
    environment.random01 = [] { return 0.5; };
    auto worker = std::make_unique<QXDeliveryWorker>(outbox, journal, environment, options);
    worker->start();
    return worker;
  }
  void post(QXDeliveryWorker& worker, const std::string& body) {
    ASSERT_TRUE(journal.append("http://127.0.0.1:9/7/", body, false, 1700000000000).ok());
    worker.hitAdded();
  }
  // What the outbox and the journal take on disk.
  uint64_t diskUse() const {
    uint64_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(directory.path())) {
      std::error_code error;
      const uintmax_t size = fs::file_size(entry.path(), error);
      if (!error) bytes += size;
    }
    return bytes;
  }
  std::map<std::string, int> timesSent() const {
    std::map<std::string, int> times;
    for (const std::string& body : transport.bodies())
      ++times[body];
    return times;
  }

  qxtest::TempDirectory directory;
  QXHitJournal journal{directory.path()};
  QXOutbox outbox{directory.file("outbox.sqlite")};
  qxtest::FakeTransport transport;
  QXDeliveryOptions options;
};

// A burst three times the bound in bytes, as fast as the caller can go:
// the journal refuses none of it, what is past the bound goes from the
// oldest end, and once the worker has caught up the files are within the
// bound.
TEST_F(DeliveryDiskTest, ABurstPastTheBoundInBytesCostsTheOldestHitsAndTheFilesStayWithinIt) {
  constexpr uint64_t kBound = 8 * 1024 * 1024;
  constexpr int kHits = 9000;  // of a realistic 2.7 KB: three times the bound
  options.maxQueuedBytes = kBound;
  auto worker = makeWorker();
  worker->setInBackground(true);
  const std::string payload(2700, 'x');
  for (int i = 0; i < kHits; ++i)
    post(*worker, "n=" + std::to_string(i) + "&" + payload);
  ASSERT_TRUE(qxtest::eventually([&] {
    return journal.backlog().bytes == 0 && worker->counters().pending == outbox.count();
  }));
  EXPECT_LE(diskUse(), kBound + kBound / 10);
  EXPECT_GT(worker->counters().dropped, 0u);

  worker->setInBackground(false);
  ASSERT_TRUE(worker->flush(60s));
  const auto sent = timesSent();
  EXPECT_EQ(sent.count("n=0&" + payload), 0u);  // the oldest dropped
  EXPECT_EQ(sent.count("n=" + std::to_string(kHits - 1) + "&" + payload), 1u);  // the newest kept
  EXPECT_EQ(sent.size() + worker->counters().dropped, static_cast<size_t>(kHits));
  // No more than the bound asks went: the hits kept take 40% of it at
  // least (the rest is pages, b-trees, the log and the journal).
  EXPECT_GT(sent.size(), kBound * 4 / 10 / 2700);
  // The backlog gone, the files shrink back.
  EXPECT_LE(diskUse(), kBound / 4);
}

// The disk fills (here: no file may grow, as under a file-size limit) while
// hits wait in the journal and delivered ones are to be removed; it frees
// again. Nothing is lost, nothing delivered is sent again, and each trouble
// is told once, with its cause.
TEST_F(DeliveryDiskTest, AFullDiskLosesNothingAndSendsNothingTwice) {
  ::signal(SIGXFSZ, SIG_IGN);
  qxtest::LogCapture log;
  auto worker = makeWorker();
  worker->setInBackground(true);
  for (int i = 0; i < 5; ++i)
    post(*worker, "n=" + std::to_string(i));
  ASSERT_TRUE(qxtest::eventually([&] { return outbox.count() == 5 && journal.activePrepared(); }));

  rlimit original{};
  ::getrlimit(RLIMIT_FSIZE, &original);
  rlimit full = original;
  full.rlim_cur = fs::file_size(directory.file("outbox.sqlite-wal"));
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
  for (int i = 5; i < 10; ++i)
    post(*worker, "n=" + std::to_string(i));  // into the journal's prepared segment
  worker->setInBackground(false);
  const bool stuck = qxtest::eventually([&] {
    return worker->counters().sent == 5 && log.contains(4, "cannot remove delivered hits") &&
           log.contains(4, "cannot take hits in");
  });
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);
  ASSERT_TRUE(stuck) << ::testing::PrintToString(log.messagesAt(4));

  ASSERT_TRUE(worker->flush(30s));
  const auto sent = timesSent();
  EXPECT_EQ(sent.size(), 10u);
  for (const auto& [body, times] : sent)
    EXPECT_EQ(times, 1) << body;
  EXPECT_TRUE(log.contains(3, "removes delivered hits again"));
  EXPECT_TRUE(log.contains(3, "takes hits in again"));
  EXPECT_LE(log.messagesAt(4).size(), 3u) << ::testing::PrintToString(log.messagesAt(4));
  for (const std::string& line : log.messagesAt(4))
    EXPECT_EQ(line.find("no transaction is active"), std::string::npos) << line;
}

}  // namespace
