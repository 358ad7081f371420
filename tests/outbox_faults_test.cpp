// What the outbox and the journal do when the files around them are damaged,
// lost in part, or cannot be had for a while.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "core/network/QXJournalIngester.h"
#include "core/network/QXOutbox.h"
#include "platform/QXBytes.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class OutboxFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { QXFakePlatform::installNew(); }

  static int64_t add(QXOutbox& outbox, const std::string& body) {
    int64_t id = 0;
    EXPECT_TRUE(outbox.add("http://127.0.0.1:9/7/", body, false, 1000, &id).ok());
    return id;
  }
  static std::vector<std::string> bodies(QXOutbox& outbox) {
    std::vector<std::string> all;
    for (const auto& hit : outbox.read(0, 1000))
      all.push_back(hit.body);
    return all;
  }
  static bool anyMovedAside(const std::string& directory) {
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.path().string().find(".corrupt-") != std::string::npos) return true;
    }
    return false;
  }

  qxtest::TempDirectory directory;
};

// The log holds the commits since the last checkpoint. Deleted, damaged, or
// behind what was written (a power cut), it loses them: the next open says
// how many hits that may be, and no identifier handed out before comes back.
TEST_F(OutboxFaultsTest, ALostLogIsToldWithItsHitsAndNoIdentifierComesBack) {
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> losses = {
      {"deleted", [](const std::string& wal) { fs::remove(wal); }},
      {"damaged",
       [](const std::string& wal) {
         std::string log = qxtest::readFile(wal);
         for (size_t i = 64; i < log.size(); i += 97)
           log[i] ^= 0x5A;
         qxtest::writeFile(wal, log);
       }},
      {"behind", [](const std::string& wal) { fs::resize_file(wal, 0); }},
  };
  for (const auto& [what, lose] : losses) {
    qxtest::TempDirectory original;
    qxtest::TempDirectory image;
    std::set<std::string> handedOut;
    {
      QXOutbox outbox(original.file("outbox.sqlite"));
      for (const char* body : {"a", "b", "c"})
        handedOut.insert(outbox.identifierFor(add(outbox, body)));
      outbox.checkpointIfLarge(0);  // a, b and c are in the database itself
      for (const char* body : {"d", "e"})
        handedOut.insert(outbox.identifierFor(add(outbox, body)));
      // The files as a crash leaves them, with the log then lost.
      for (const char* file : {"outbox.sqlite", "outbox.sqlite-wal", "outbox.sqlite.state"})
        fs::copy_file(original.file(file), image.file(file));
    }
    lose(image.file("outbox.sqlite-wal"));
    qxtest::LogCapture log;
    QXOutbox outbox(image.file("outbox.sqlite"));
    ASSERT_TRUE(outbox.open().ok()) << what;
    EXPECT_TRUE(log.contains(4, "write-ahead log was missing or damaged; up to 2 hit(s)"))
        << what << ": " << ::testing::PrintToString(log.messagesAt(4));
    EXPECT_EQ(bodies(outbox), (std::vector<std::string>{"a", "b", "c"})) << what;
    EXPECT_EQ(handedOut.count(outbox.identifierFor(add(outbox, "f"))), 0u) << what;
  }
}

// The side file is only a hint, and anyone who could write the directory
// could have written it: one that names ids no outbox could have used
// (negative, or where the next would pass the 64-bit limit) is ignored, and a
// plausible one still keeps its ids from coming back.
TEST_F(OutboxFaultsTest, ASideFileNamingImpossibleIdsIsIgnored) {
  struct Case {
    const char* what;
    std::optional<std::pair<uint64_t, uint64_t>> state;  // highest and removed; none: no file
    int64_t nextId;  // of the hit stored next; 0: as without a side file
  };
  const Case cases[] = {
      {"no side file", std::nullopt, 0},
      {"the largest id", std::make_pair(uint64_t{INT64_MAX}, uint64_t{0}), 0},
      {"a negative id", std::make_pair(~uint64_t{0}, uint64_t{0}), 0},
      {"a negative removed id", std::make_pair(uint64_t{2}, ~uint64_t{0}), 0},
      {"just past the largest", std::make_pair((uint64_t{1} << 62) + 1, uint64_t{0}), 0},
      {"a plausible one", std::make_pair(uint64_t{100000}, uint64_t{0}), 100001},
      {"the largest plausible", std::make_pair(uint64_t{1} << 62, uint64_t{0}),
       (int64_t{1} << 62) + 1},
  };
  int64_t withoutSideFile = 0;
  for (const Case& c : cases) {
    qxtest::TempDirectory place;
    const std::string path = place.file("outbox.sqlite");
    {
      QXOutbox outbox(path);
      add(outbox, "a");
    }
    fs::remove(path + ".state");
    if (c.state) {
      std::string state;
      QXPutLittleEndian(state, c.state->first, 8);
      QXPutLittleEndian(state, c.state->second, 8);
      QXPutLittleEndian(state, QXCrc32(state), 4);
      qxtest::writeFile(path + ".state", state);
    }
    qxtest::LogCapture log;
    QXOutbox outbox(path);
    ASSERT_TRUE(outbox.open().ok()) << c.what;
    const int64_t next = add(outbox, "b");
    if (!c.state) withoutSideFile = next;
    EXPECT_EQ(next, c.nextId != 0 ? c.nextId : withoutSideFile) << c.what;
    EXPECT_EQ(log.contains(4, "write-ahead log was missing or damaged"), c.nextId != 0) << c.what;
  }
}

TEST_F(OutboxFaultsTest, AnEmptyOutboxFileIsMovedAsideWithWhatItHeldSaid) {
  const std::string path = directory.file("outbox.sqlite");
  {
    QXOutbox outbox(path);
    for (const char* body : {"a", "b", "c"})
      add(outbox, body);
  }
  fs::resize_file(path, 0);
  qxtest::LogCapture log;
  QXOutbox outbox(path);
  ASSERT_TRUE(outbox.open().ok());
  EXPECT_TRUE(log.contains(4, "the file is empty")) << ::testing::PrintToString(log.messagesAt(4));
  EXPECT_TRUE(log.contains(4, "up to 3 hit(s) it held are lost"));
  EXPECT_TRUE(anyMovedAside(directory.path()));
  EXPECT_FALSE(outbox.inMemory());
  EXPECT_EQ(bodies(outbox), std::vector<std::string>{});
}

// Short of file descriptors, the outbox is not opened now, and not taken
// for damaged: it is opened later, with all it holds.
TEST_F(OutboxFaultsTest, AnOutboxThatCannotBeOpenedForNowIsLeftAsItIs) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' own checks need file descriptors, which this test takes";
#endif
  const std::string path = directory.file("outbox.sqlite");
  {
    QXOutbox outbox(path);
    for (const char* body : {"a", "b"})
      add(outbox, body);
  }
  QXOutbox outbox(path);
  qxtest::LogCapture log;
  // Every descriptor the process may have, taken (of at most 4,096).
  rlimit original{};
  ::getrlimit(RLIMIT_NOFILE, &original);
  rlimit fewer = original;
  fewer.rlim_cur = std::min<rlim_t>(original.rlim_cur, 4096);
  ::setrlimit(RLIMIT_NOFILE, &fewer);
  std::vector<int> taken;
  for (int fd; taken.size() < 1000000 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    taken.push_back(fd);
  const QXStatus status = outbox.open();
  for (int fd : taken)
    ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &original);
  EXPECT_FALSE(status.ok());
  EXPECT_TRUE(log.contains(4, "cannot be opened now"));
  EXPECT_FALSE(anyMovedAside(directory.path()));
  ASSERT_TRUE(outbox.open().ok());
  EXPECT_EQ(bodies(outbox), (std::vector<std::string>{"a", "b"}));
}

// A process killed after the worker stored a segment's records, but before
// it deleted the segment, leaves both: the next one takes each hit in once.
TEST_F(OutboxFaultsTest, ASegmentReplayedAfterACrashIsIngestedOnce) {
  const std::string outboxPath = directory.file("outbox.sqlite");
  {
    QXHitJournal journal(directory.path());
    for (int i = 0; i < 6; ++i)
      ASSERT_TRUE(journal.append("u", std::string(300, 'a' + i), false, i).ok());
    QXOutbox outbox(outboxPath);
    QXJournalIngester ingester(journal, outbox);
    QXJournalIngester::Options options;
    options.chunkBytes = 700;  // two records a transaction
    ingester.setOptions(options);
    std::vector<QXOutbox::Hit> stored;
    ingester.ingest(QXJournalIngester::Clock::now(), 1000, 0, &stored);
    ASSERT_EQ(outbox.count(), 4u);  // killed here
  }
  QXHitJournal journal(directory.path());
  ASSERT_GE(journal.adoptOrphans(), 1u);  // with the segment prepared to take over
  QXOutbox outbox(outboxPath);
  QXJournalIngester ingester(journal, outbox);
  std::vector<QXOutbox::Hit> stored;
  ingester.ingest(QXJournalIngester::Clock::now(), 1 << 20, 0, &stored);
  ingester.makeDurableIfDue(
      QXJournalIngester::Clock::now() + QXJournalIngester::Options().durableWithin, true);
  std::vector<std::string> expected;
  for (int i = 0; i < 6; ++i)
    expected.push_back(std::string(300, 'a' + i));
  EXPECT_EQ(bodies(outbox), expected);
  EXPECT_TRUE(journal.segments().empty());
}

// A sealed, ingested segment is deleted once its hits are durable in the
// outbox: at `durableWithin` while they still wait, at once when they have
// all been delivered (nothing is left to make durable), never before.
TEST_F(OutboxFaultsTest, AnIngestedSegmentGoesOnceItsHitsAreDurableOrDelivered) {
  using Clock = QXJournalIngester::Clock;
  struct Case {
    const char* name;
    bool delivered;
    std::chrono::milliseconds later;
    bool segmentGone;
  };
  const Case cases[] = {
      {"waiting, before the deadline", false, std::chrono::milliseconds(0), false},
      {"waiting, at the deadline", false, std::chrono::milliseconds(1000), true},
      {"delivered, at once", true, std::chrono::milliseconds(0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qxtest::TempDirectory folder;
    QXHitJournal journal(folder.path());
    QXOutbox outbox(folder.file("outbox.sqlite"));
    QXJournalIngester ingester(journal, outbox);
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE(journal.append("u", "hit" + std::to_string(i), false, i).ok());
    const Clock::time_point start = Clock::now();
    std::vector<QXOutbox::Hit> stored;
    ingester.ingest(start, 1 << 20, 10, &stored);  // seals the segment for the next
    ASSERT_EQ(stored.size(), 3u);
    const size_t segments = journal.segments().size();
    if (c.delivered) {
      std::vector<int64_t> ids;
      for (const auto& hit : stored)
        ids.push_back(hit.id);
      ASSERT_TRUE(outbox.remove(ids).ok());
    }
    ingester.makeDurableIfDue(start + c.later, outbox.count() > 0);
    EXPECT_EQ(journal.segments().size(), segments - (c.segmentGone ? 1 : 0));
    if (!c.segmentGone) {
      EXPECT_EQ(ingester.nextWake(), start + std::chrono::milliseconds(1000));
    }
  }
}

}  // namespace
