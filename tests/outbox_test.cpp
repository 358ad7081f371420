#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/network/QXOutbox.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class OutboxTest : public ::testing::Test {
 protected:
  void SetUp() override { QXFakePlatform::installNew(); }

  std::string path() const { return directory.file("outbox.sqlite"); }

  static off_t sizeOf(const std::string& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_size : 0;
  }
  off_t footprint() const { return sizeOf(path()) + sizeOf(path() + "-wal"); }

  static std::vector<int64_t> idsOf(const std::vector<QXOutbox::Hit>& hits) {
    std::vector<int64_t> ids;
    for (const auto& hit : hits)
      ids.push_back(hit.id);
    return ids;
  }
  static std::vector<int64_t> idsOf(const std::vector<QXOutbox::Dropped>& hits) {
    std::vector<int64_t> ids;
    for (const auto& hit : hits)
      ids.push_back(hit.id);
    return ids;
  }

  static int64_t add(QXOutbox& outbox, const std::string& body, int64_t createdMs = 1000) {
    int64_t id = 0;
    EXPECT_TRUE(outbox.add("http://127.0.0.1:9/7/", body, false, createdMs, &id).ok());
    return id;
  }

  qxtest::TempDirectory directory;
};

TEST_F(OutboxTest, HitsComeBackOldestFirstWithAllTheyCarry) {
  QXOutbox outbox(path());
  const std::string binary("a=\0\xFF\n", 5);
  int64_t first = 0;
  ASSERT_TRUE(
      outbox.add("https://collect1.quorvex.net/2/", binary, true, 1700000000123, &first).ok());
  const int64_t second = add(outbox, "b=2");
  const auto hits = outbox.read(0, 10);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_LT(first, second);
  EXPECT_EQ(hits[0].id, first);
  EXPECT_EQ(hits[0].url, "https://collect1.quorvex.net/2/");
  EXPECT_EQ(hits[0].body, binary);
  EXPECT_TRUE(hits[0].consent);
  EXPECT_EQ(hits[0].createdMs, 1700000000123);
  EXPECT_EQ(hits[0].identifier, outbox.identifierFor(first));
  EXPECT_EQ(hits[1].body, "b=2");
  EXPECT_FALSE(hits[1].consent);
  EXPECT_EQ(outbox.count(), 2u);
}

TEST_F(OutboxTest, ReadingPagesOnFromAnId) {
  QXOutbox outbox(path());
  const int64_t a = add(outbox, "a");
  const int64_t b = add(outbox, "b");
  const int64_t c = add(outbox, "c");
  EXPECT_EQ(idsOf(outbox.read(a, 1)), std::vector<int64_t>{b});
  EXPECT_EQ(idsOf(outbox.read(b, 10)), std::vector<int64_t>{c});
  EXPECT_TRUE(outbox.read(c, 10).empty());
}

TEST_F(OutboxTest, IdentifiersEndInTheIdAfterTheOutboxIdentity) {
  QXOutbox outbox(path());
  const int64_t id = add(outbox, "a");
  const std::string identifier = outbox.identifierFor(id);
  const std::string suffix = "-" + std::to_string(id);
  ASSERT_GT(identifier.size(), suffix.size() + 30);
  EXPECT_EQ(identifier.substr(identifier.size() - suffix.size()), suffix);
}

TEST_F(OutboxTest, HitsAndTheirIdentifiersSurviveReopening) {
  std::vector<std::string> identifiers;
  {
    QXOutbox outbox(path());
    for (const char* body : {"a", "b", "c"})
      identifiers.push_back(outbox.identifierFor(add(outbox, body)));
  }
  QXOutbox reopened(path());
  reopened.open();
  EXPECT_EQ(reopened.count(), 3u);
  const auto hits = reopened.read(0, 10);
  ASSERT_EQ(hits.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(hits[i].identifier, identifiers[i]);
  EXPECT_EQ(hits[2].body, "c");
}

TEST_F(OutboxTest, IdsNeverGoBackEvenAfterTheOutboxHasEmptied) {
  int64_t last = 0;
  {
    QXOutbox outbox(path());
    const int64_t a = add(outbox, "a");
    last = add(outbox, "b");
    ASSERT_TRUE(outbox.remove({a, last}).ok());
    EXPECT_EQ(outbox.count(), 0u);
  }
  QXOutbox reopened(path());
  EXPECT_GT(add(reopened, "c"), last);
}

TEST_F(OutboxTest, RemovedHitsAreGoneAndNoLongerCounted) {
  QXOutbox outbox(path());
  const int64_t a = add(outbox, "a");
  const int64_t b = add(outbox, "b");
  const int64_t c = add(outbox, "c");
  ASSERT_TRUE(outbox.remove({a, c, 999}).ok());
  EXPECT_EQ(idsOf(outbox.read(0, 10)), std::vector<int64_t>{b});
  EXPECT_EQ(outbox.count(), 1u);
}

// A hit's size is its URL's and body's bytes wherever it is counted: when
// stored, when removed, when dropped and when counted again from the file.
// A URL of characters beyond ASCII takes more bytes than characters.
TEST_F(OutboxTest, AHitsSizeIsCountedInBytesEverywhere) {
  const std::string url = "http://127.0.0.1:9/\xC3\xA4/\xE2\x82\xAC/";  // "ä" and "€"
  const std::string body = "k=\xF0\x9F\x99\x82";
  const uint64_t size = url.size() + body.size();
  QXOutbox outbox(path());
  std::vector<int64_t> ids(3);
  for (int64_t& id : ids)
    ASSERT_TRUE(outbox.add(url, body, false, 1000, &id).ok());
  EXPECT_EQ(outbox.bytes(), 3 * size);
  outbox.recount();
  EXPECT_EQ(outbox.bytes(), 3 * size);
  ASSERT_TRUE(outbox.remove({ids[0]}).ok());
  EXPECT_EQ(outbox.bytes(), 2 * size);
  // Over the byte bound by one hit: exactly one goes.
  EXPECT_EQ(outbox.enforceBounds(10, 2 * size - 1, 0, {}).size(), 1u);
  EXPECT_EQ(outbox.bytes(), size);
}

TEST_F(OutboxTest, BeyondTheMaximumCountTheOldestAreDropped) {
  QXOutbox outbox(path());
  std::vector<int64_t> ids;
  for (int i = 0; i < 5; ++i)
    ids.push_back(add(outbox, std::to_string(i)));
  const auto dropped = outbox.enforceBounds(3, 0, 0, {});
  EXPECT_EQ(idsOf(dropped), (std::vector<int64_t>{ids[0], ids[1]}));
  EXPECT_FALSE(dropped[0].tooOld);
  EXPECT_EQ(dropped[0].identifier, outbox.identifierFor(ids[0]));
  EXPECT_EQ(dropped[0].url, "http://127.0.0.1:9/7/");
  EXPECT_EQ(idsOf(outbox.read(0, 10)), (std::vector<int64_t>{ids[2], ids[3], ids[4]}));
  EXPECT_EQ(outbox.count(), 3u);
}

TEST_F(OutboxTest, DropsComeInBatchesOfAtMostTheLimit) {
  QXOutbox outbox(path());
  std::vector<int64_t> ids;
  for (int i = 0; i < 6; ++i)
    ids.push_back(add(outbox, std::to_string(i)));
  EXPECT_EQ(idsOf(outbox.enforceBounds(1, 0, 0, {}, 2)), (std::vector<int64_t>{ids[0], ids[1]}));
  EXPECT_EQ(idsOf(outbox.enforceBounds(1, 0, 0, {}, 2)), (std::vector<int64_t>{ids[2], ids[3]}));
  EXPECT_EQ(idsOf(outbox.enforceBounds(1, 0, 0, {}, 2)), std::vector<int64_t>{ids[4]});
  EXPECT_EQ(outbox.count(), 1u);
}

TEST_F(OutboxTest, HitsBeingSentAreNeverDropped) {
  QXOutbox outbox(path());
  std::vector<int64_t> ids;
  for (int i = 0; i < 4; ++i)
    ids.push_back(add(outbox, std::to_string(i)));
  const auto dropped = outbox.enforceBounds(2, 0, 0, {ids[0]});
  EXPECT_EQ(idsOf(dropped), (std::vector<int64_t>{ids[1], ids[2]}));
}

TEST_F(OutboxTest, HitsOlderThanTheCutoffAreDroppedOldestFirst) {
  QXOutbox outbox(path());
  const int64_t a = add(outbox, "a", 100);
  const int64_t b = add(outbox, "b", 200);
  const int64_t c = add(outbox, "c", 300);
  const auto dropped = outbox.enforceBounds(100, 0, 250, {});
  EXPECT_EQ(idsOf(dropped), (std::vector<int64_t>{a, b}));
  EXPECT_TRUE(dropped[0].tooOld);
  EXPECT_EQ(idsOf(outbox.read(0, 10)), std::vector<int64_t>{c});
}

TEST_F(OutboxTest, WithinBoundsNothingIsDropped) {
  QXOutbox outbox(path());
  add(outbox, "a", 500);
  EXPECT_TRUE(outbox.enforceBounds(1, 0, 400, {}).empty());
  EXPECT_EQ(outbox.count(), 1u);
}

TEST_F(OutboxTest, AFileThatIsNoDatabaseIsMovedAsideAndReplaced) {
  qxtest::writeFile(path(), std::string(8192, 'x'));
  qxtest::LogCapture log;
  QXOutbox outbox(path());
  add(outbox, "a");
  EXPECT_EQ(outbox.count(), 1u);
  EXPECT_FALSE(outbox.inMemory());
  const auto errors = log.messagesAt(4);
  ASSERT_EQ(errors.size(), 1u);
  const size_t at = errors[0].find("moved aside to ");
  ASSERT_NE(at, std::string::npos) << errors[0];
  const std::string aside = errors[0].substr(at + 15, errors[0].find(',', at) - at - 15);
  EXPECT_EQ(aside.rfind(path() + ".corrupt-", 0), 0u);
  EXPECT_EQ(qxtest::readFile(aside), std::string(8192, 'x'));
}

TEST_F(OutboxTest, ADamagedTableIsMovedAsideAndReplaced) {
  {
    QXOutbox outbox(path());
    for (int i = 0; i < 50; ++i)
      add(outbox, std::string(3000, 'a'));
  }
  // Garbage over the pages after the schema: the header still says SQLite.
  {
    std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(3 * 4096);
    const std::string garbage(20 * 4096, '\x5A');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  qxtest::LogCapture log;
  QXOutbox outbox(path());
  outbox.open();
  const auto hits = outbox.read(0, 100);
  EXPECT_TRUE(log.contains(4, "moved aside")) << ::testing::PrintToString(log.messagesAt(4));
  EXPECT_TRUE(hits.empty());
  EXPECT_EQ(outbox.count(), 0u);
  add(outbox, "fresh");
  EXPECT_EQ(outbox.read(0, 10).at(0).body, "fresh");
}

TEST_F(OutboxTest, AnOutboxOfAnotherVersionIsMovedAside) {
  {
    QXOutbox outbox(path());
    add(outbox, "a");
  }
  // As a later SDK, with an outbox this one cannot read, would leave it.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  qxtest::LogCapture log;
  QXOutbox outbox(path());
  outbox.open();
  EXPECT_TRUE(log.contains(4, "unknown outbox version 7"));
  EXPECT_EQ(outbox.count(), 0u);
  EXPECT_FALSE(outbox.inMemory());
}

// A file that cannot be made now (no directory yet, a read-only one) is
// tried again, never swapped for one in memory: hits kept there would get
// identifiers of another outbox, and a later launch would send them again
// under those of the file.
TEST_F(OutboxTest, WhenNoFileCanBeMadeTheOutboxIsTriedAgainAndNeverKeptInMemory) {
  qxtest::LogCapture log;
  QXOutbox outbox(directory.file("later/outbox.sqlite"));
  EXPECT_FALSE(outbox.add("u", "a", false, 1).ok());
  EXPECT_FALSE(outbox.add("u", "b", false, 1).ok());
  EXPECT_FALSE(outbox.inMemory());
  EXPECT_EQ(log.messagesAt(4).size(), 1u);
  fs::create_directory(directory.file("later"));
  ASSERT_TRUE(outbox.add("u", "c", false, 1).ok());
  EXPECT_FALSE(outbox.inMemory());
  EXPECT_EQ(outbox.path(), directory.file("later/outbox.sqlite"));
  EXPECT_TRUE(log.contains(3, "opens again"));
}

TEST_F(OutboxTest, AnEmptyPathKeepsHitsInMemoryAndSaysSoQuietly) {
  qxtest::LogCapture log;
  QXOutbox outbox("");
  add(outbox, "a");
  EXPECT_TRUE(outbox.inMemory());
  EXPECT_EQ(outbox.read(0, 10).at(0).body, "a");
  EXPECT_TRUE(log.contains(2, "in memory"));
  EXPECT_TRUE(log.messagesAt(3).empty());
  EXPECT_TRUE(log.messagesAt(4).empty());
}

TEST_F(OutboxTest, TheFileIsPrivateToTheUser) {
  QXOutbox outbox(path());
  add(outbox, "a");
  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(OutboxTest, TheFileShrinksBackOnceDrained) {
  QXOutbox outbox(path());
  std::vector<int64_t> ids;
  const std::string body(3500, 'b');
  for (int i = 0; i < 1000; ++i)
    ids.push_back(add(outbox, body));
  outbox.checkpointIfLarge();
  EXPECT_GT(footprint(), 3'500'000);
  EXPECT_FALSE(outbox.shrinkIfEmpty());
  ASSERT_TRUE(outbox.remove(ids).ok());
  EXPECT_TRUE(outbox.shrinkIfEmpty());
  // The schema's few pages and an empty log.
  EXPECT_LE(footprint(), 8 * 16384);
  EXPECT_EQ(sizeOf(path() + "-wal"), 0);
  EXPECT_FALSE(outbox.shrinkIfEmpty());
  add(outbox, "still works");
  EXPECT_EQ(outbox.count(), 1u);
}

TEST_F(OutboxTest, TheWriteAheadLogStaysBoundedWhileHitsPileUp) {
  QXOutbox outbox(path());
  const std::string body(3500, 'b');
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 500; ++i)
      add(outbox, body);
    outbox.checkpointIfLarge();
  }
  add(outbox, body);
  // 2,000 hits (over 30 MB of log frames) went through the log; it was
  // folded in, restarted, and kept to its 16 MB limit.
  EXPECT_LE(sizeOf(path() + "-wal"), 16 * 1024 * 1024 + 2 * 16408);
  EXPECT_EQ(outbox.count(), 2001u);
}

}  // namespace
