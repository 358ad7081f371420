#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "core/network/QXJournalFile.h"
#include "core/network/QXJournalFormat.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override { QXFakePlatform::installNew(); }

  // Every record of every segment, oldest first, as a reader of `journal`.
  static std::vector<QXHitJournal::Record> readAll(QXHitJournal& journal, size_t maxBytes = 1024,
                                                   uint64_t* cut = nullptr) {
    std::vector<QXHitJournal::Record> records;
    for (const auto& segment : journal.segments()) {
      uint64_t from = 0;
      for (;;) {
        QXHitJournal::Chunk chunk = journal.read(segment, from, maxBytes);
        for (auto& record : chunk.records)
          records.push_back(std::move(record));
        if (cut != nullptr) *cut += chunk.cutBytes;
        from = chunk.end;
        if (chunk.complete) break;
      }
    }
    return records;
  }
  static std::vector<std::string> bodiesOf(const std::vector<QXHitJournal::Record>& records) {
    std::vector<std::string> bodies;
    for (const auto& record : records)
      bodies.push_back(record.body);
    return bodies;
  }
  std::vector<std::string> segmentFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(directory.path())) {
      const std::string name = entry.path().filename();
      if (name.rfind("outbox-", 0) == 0) files.push_back(entry.path());
    }
    return files;
  }

  qxtest::TempDirectory directory;
};

TEST_F(JournalTest, RecordsComeBackWholeAndInOrderAcrossSegments) {
  QXHitJournal journal(directory.path());
  const std::string binary("a=\0\xFF\n", 5);
  ASSERT_TRUE(journal.append("https://collect1.quorvex.net/2/", binary, true, 1700000000123).ok());
  journal.rotate();
  journal.prepare(64 * 1024);
  ASSERT_TRUE(journal.append("http://127.0.0.1:9/7/", std::string(5000, 'b'), false, 7).ok());
  journal.rotate();  // the prepared segment takes over
  ASSERT_TRUE(journal.append("http://127.0.0.1:9/7/", "c=3", false, 8).ok());

  // Read in chunks smaller than a record: a record still comes whole.
  const auto records = readAll(journal, 100);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].url, "https://collect1.quorvex.net/2/");
  EXPECT_EQ(records[0].body, binary);
  EXPECT_TRUE(records[0].consent);
  EXPECT_EQ(records[0].createdMs, 1700000000123);
  EXPECT_EQ(records[1].body, std::string(5000, 'b'));
  EXPECT_FALSE(records[1].consent);
  EXPECT_EQ(records[2].body, "c=3");
  EXPECT_EQ(journal.segments().size(), 3u);
}

TEST_F(JournalTest, ASegmentOfALiveWriterIsLeftAloneAndAnOrphanIsAdoptedWithItsRecords) {
  auto writer = std::make_unique<QXHitJournal>(directory.path());
  ASSERT_TRUE(writer->append("http://127.0.0.1:9/", "a=1", false, 1).ok());
  QXHitJournal next(directory.path());
  EXPECT_EQ(next.adoptOrphans(), 0u);  // its writer holds it
  writer.reset();                      // the writer's process is gone
  EXPECT_EQ(next.adoptOrphans(), 1u);
  EXPECT_EQ(bodiesOf(readAll(next)), std::vector<std::string>{"a=1"});
  next.retire(next.segments().at(0));
  EXPECT_TRUE(segmentFiles().empty());
}

// A process killed, or a machine that lost power, leaves a segment whose end
// is damaged: the records before the damage are kept, the rest is cut off
// and counted.
TEST_F(JournalTest, ATornOrDamagedTailIsCutOffAndTheRecordsBeforeItKept) {
  // Four records of 1,021 bytes after the 16-byte header; the last starts at
  // 3,079.
  const std::vector<std::pair<const char*, std::function<void(std::string&)>>> damages = {
      {"cut inside a frame", [](std::string& file) { file.resize(3079 + 4); }},
      {"cut inside a payload", [](std::string& file) { file.resize(file.size() - 500); }},
      {"a flipped byte", [](std::string& file) { file[file.size() - 10] ^= 0x40; }},
      {"garbage after it", [](std::string& file) { file += std::string(100, '\x7F'); }},
  };
  for (const auto& [what, damage] : damages) {
    qxtest::TempDirectory place;
    {
      QXHitJournal writer(place.path());
      for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(writer.append("u", std::string(1000, 'a' + i), false, i).ok());
    }
    std::string path;
    for (const auto& entry : fs::directory_iterator(place.path()))
      path = entry.path();
    std::string contents = qxtest::readFile(path);
    damage(contents);
    qxtest::writeFile(path, contents);

    qxtest::LogCapture log;
    QXHitJournal next(place.path());
    ASSERT_EQ(next.adoptOrphans(), 1u) << what;
    uint64_t cut = 0;
    const auto records = readAll(next, 1 << 20, &cut);
    const size_t kept = std::string(what) == "garbage after it" ? 4u : 3u;
    EXPECT_EQ(records.size(), kept) << what;
    for (size_t i = 0; i < records.size(); ++i)
      EXPECT_EQ(records[i].body, std::string(1000, 'a' + i)) << what;
    EXPECT_GT(cut, 0u) << what;
  }
}

// Room made for records that never came (a prepared segment, or the rest of
// one) is neither hits nor backlog: an orphan counts only its records, and
// each comes back whole, one that ran past the room included.
TEST_F(JournalTest, AnOrphanWithRoomLeftCountsOnlyItsRecords) {
  struct Case {
    const char* what;
    std::vector<size_t> bodies;
  };
  const Case cases[] = {
      {"room never used", {}},
      {"records, then room", {100, 2000}},
      {"a record past the room", {3000, 3000}},
  };
  for (const Case& c : cases) {
    qxtest::TempDirectory place;
    std::vector<std::string> bodies;
    uint64_t bytes = 0;
    {
      QXHitJournal writer(place.path());
      writer.prepare(4096);
      ASSERT_EQ(writer.diskBytes(), 4096u) << c.what;
      for (size_t i = 0; i < c.bodies.size(); ++i) {
        bodies.push_back(std::string(c.bodies[i], static_cast<char>('a' + i)));
        ASSERT_TRUE(writer.append("u", bodies.back(), false, 1).ok()) << c.what;
        bytes += QXJournalFormat::kRecordHeadSize + 1 + c.bodies[i];
      }
      if (c.bodies.empty()) writer.rotate();  // nothing to seal: the spare stays as it is
    }
    QXHitJournal next(place.path());
    ASSERT_EQ(next.adoptOrphans(), 1u) << c.what;
    EXPECT_EQ(next.backlog().bytes, bytes) << c.what;
    EXPECT_EQ(bodiesOf(readAll(next, 1 << 20)), bodies) << c.what;
  }
}

// Records go in through a mapping only where a write into blocks already
// allocated never allocates again; elsewhere (copy-on-write, network, or
// layered file systems) a full disk could only be a signal there.
TEST(JournalFileTest, RecordsAreMappedOnlyWhereWritesNeedNoNewBlocks) {
  const std::pair<int64_t, bool> types[] = {
      {EXT4_SUPER_MAGIC, true},      {XFS_SUPER_MAGIC, true},   {TMPFS_MAGIC, true},
      {BTRFS_SUPER_MAGIC, false},    {NFS_SUPER_MAGIC, false},  {OVERLAYFS_SUPER_MAGIC, false},
      {0x2FC12FC1 /* zfs */, false}, {F2FS_SUPER_MAGIC, false}, {0, false},
  };
  for (const auto& [type, mapped] : types)
    EXPECT_EQ(QXJournalFile::mapsWritesOn(type), mapped) << std::hex << type;
}

TEST_F(JournalTest, AFileOfAnotherVersionOrNoJournalIsMovedAsideAndAnEmptyOneDropped) {
  struct Case {
    const char* what;
    std::string contents;
    bool kept;  // moved aside rather than deleted
    const char* said;
  };
  std::string later("QXHJ\x02\x00\x02\x00", 8);
  later += std::string(8, '\0');
  const Case cases[] = {
      {"a later version", later + std::string(100, 'x'), true, "written by a later version"},
      {"garbage", std::string(200, 'g'), true, "is not a journal"},
      {"empty", "", false, "lost its contents"},
  };
  for (const Case& c : cases) {
    qxtest::TempDirectory place;
    const std::string path = place.file("outbox-00000000000000ab.journal");
    qxtest::writeFile(path, c.contents);
    qxtest::LogCapture log;
    QXHitJournal journal(place.path());
    EXPECT_EQ(journal.adoptOrphans(), 0u) << c.what;
    EXPECT_TRUE(log.contains(4, c.said)) << c.what;
    EXPECT_FALSE(fs::exists(path)) << c.what;
    EXPECT_EQ(fs::exists(path + ".unreadable"), c.kept) << c.what;
    if (c.kept) {
      EXPECT_EQ(qxtest::readFile(path + ".unreadable"), c.contents) << c.what;
    }
  }
}

// With the file system full (here: a file-size limit, which fails writes the
// same way), a hit is refused whole; the hits around it read back intact,
// also by the next process, and the failure and the recovery are said once
// each.
TEST_F(JournalTest, AnAppendThatCannotBeWrittenWholeIsRefusedAndLeavesNoTrace) {
  ::signal(SIGXFSZ, SIG_IGN);
  auto journal = std::make_unique<QXHitJournal>(directory.path());
  ASSERT_TRUE(journal->append("u", std::string(3000, 'a'), false, 1).ok());
  const uintmax_t size = fs::file_size(segmentFiles().at(0));
  rlimit original{};
  ::getrlimit(RLIMIT_FSIZE, &original);
  rlimit full = original;
  full.rlim_cur = size + 1000;  // room for part of the next record only
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
  qxtest::LogCapture log;
  const QXStatus refused = journal->append("u", std::string(3000, 'b'), false, 2);
  const QXStatus refusedAgain = journal->append("u", std::string(3000, 'c'), false, 3);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.message().find("File too large"), std::string::npos) << refused.message();
  EXPECT_FALSE(refusedAgain.ok());
  // Shorter than what was written of the refused one.
  ASSERT_TRUE(journal->append("u", std::string(500, 'd'), false, 4).ok());
  EXPECT_EQ(log.messagesAt(4).size(), 1u);
  EXPECT_TRUE(log.contains(3, "2 were refused meanwhile"));

  // What the next process finds: the two hits, and a clean end after them.
  journal.reset();
  QXHitJournal next(directory.path());
  ASSERT_EQ(next.adoptOrphans(), 1u);
  uint64_t cut = 0;
  EXPECT_EQ(bodiesOf(readAll(next, 1 << 20, &cut)),
            (std::vector<std::string>{std::string(3000, 'a'), std::string(500, 'd')}));
  EXPECT_EQ(cut, 0u);
}

// However many hits wait, none is refused for it: the journal counts them,
// and its reader leaves out the oldest that it is told to, without copying
// them, so that a burst costs the oldest hits and never the newest.
TEST_F(JournalTest, NoHitIsRefusedForWaitingAndTheReaderLeavesOutTheOldestItIsTold) {
  QXHitJournal journal(directory.path());
  constexpr int kHits = 3000;
  for (int i = 0; i < kHits; ++i)
    ASSERT_TRUE(journal.append("u" + std::to_string(i), std::string(1000, 'a'), false, i).ok());
  const QXHitJournal::Backlog waiting = journal.backlog();
  EXPECT_EQ(waiting.records, static_cast<uint64_t>(kHits));
  EXPECT_EQ(waiting.bytes, kHits * (21u + 1000u) + 10u * 2 + 90u * 3 + 900u * 4 + 2000u * 5);

  const auto segment = journal.segments().at(0);
  int seen = 0;
  auto leaveOutTheFirst = [&](int64_t, uint64_t) {
    return seen++ < 2990 ? QXHitJournal::Verdict::kLeaveOut : QXHitJournal::Verdict::kKeep;
  };
  uint64_t from = 0;
  std::vector<QXHitJournal::Record> kept;
  std::vector<QXHitJournal::Skipped> left;
  for (;;) {
    QXHitJournal::Chunk chunk = journal.read(segment, from, 1 << 20, leaveOutTheFirst);
    for (auto& record : chunk.records)
      kept.push_back(std::move(record));
    for (auto& skipped : chunk.skipped)
      left.push_back(std::move(skipped));
    journal.markIngested(segment, chunk.end, chunk.records.size() + chunk.skipped.size());
    from = chunk.end;
    if (chunk.complete) break;
  }
  ASSERT_EQ(left.size(), 2990u);
  EXPECT_EQ(left.front().url, "u0");
  EXPECT_EQ(left.back().createdMs, 2989);
  ASSERT_EQ(kept.size(), 10u);
  EXPECT_EQ(kept.front().url, "u2990");
  EXPECT_EQ(journal.backlog().records, 0u);
  EXPECT_EQ(journal.backlog().bytes, 0u);
}

// A worker busy elsewhere does not let the active segment grow without
// end: an append seals it once it has grown and a prepared one waits.
TEST_F(JournalTest, AnAppendSealsAGrownSegmentWhenAPreparedOneWaits) {
  QXHitJournal journal(directory.path());
  journal.setRotateBytes(8 * 1024);
  ASSERT_TRUE(journal.append("u", std::string(100, 'a'), false, 1).ok());
  journal.prepare(16 * 1024);
  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(journal.append("u", std::string(1000, 'b'), false, 2).ok());
  const auto segments = journal.segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_TRUE(segments[0].sealed);
  EXPECT_EQ(bodiesOf(readAll(journal)).size(), 11u);
}

// No segment can be made (the directory is gone, or read-only): the hit is
// refused whole, and the next one is stored as soon as one can be made,
// without a new journal.
TEST_F(JournalTest, WhenNoSegmentCanBeMadeHitsAreRefusedUntilOneCan) {
  const std::string missing = directory.file("later");
  QXHitJournal journal(missing);
  qxtest::LogCapture log;
  EXPECT_FALSE(journal.append("u", "a=1", false, 1).ok());
  EXPECT_FALSE(journal.append("u", "a=2", false, 2).ok());
  EXPECT_FALSE(journal.inMemory());
  fs::create_directory(missing);
  ASSERT_TRUE(journal.append("u", "a=3", false, 3).ok());
  EXPECT_EQ(bodiesOf(readAll(journal)), std::vector<std::string>{"a=3"});
  EXPECT_EQ(log.messagesAt(4).size(), 1u);
  EXPECT_TRUE(log.contains(3, "2 were refused meanwhile"));
}

TEST_F(JournalTest, WithoutADirectoryRecordsLiveInMemory) {
  QXHitJournal journal("");
  ASSERT_TRUE(journal.append("u", "a=1", false, 1).ok());
  EXPECT_TRUE(journal.inMemory());
  EXPECT_EQ(bodiesOf(readAll(journal)), std::vector<std::string>{"a=1"});
  EXPECT_EQ(journal.adoptOrphans(), 0u);
}

}  // namespace
