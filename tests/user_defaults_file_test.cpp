#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/QXFileUserDefaults.h"
#include "platform/QXPlatformLog.h"
#include "support/TestSupport.h"

namespace {

class FileUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QXSetPlatformErrorSink([this](const std::string& message) { errors.push_back(message); });
  }
  void TearDown() override { QXSetPlatformErrorSink(nullptr); }

  std::string path() const { return directory.file("defaults.qxud"); }

  qxtest::TempDirectory directory;
  std::vector<std::string> errors;
};

TEST_F(FileUserDefaultsTest, ValuesSurviveReopeningAndTheFileIsPrivate) {
  const std::string binaryKey("k\0ey", 4);
  {
    QXFileUserDefaults defaults(path());
    defaults.setObject("one", "a");
    defaults.setObject("two", "b");
    defaults.setObject("three", "a");
    defaults.setObject(std::string("\xFF\x00", 2), binaryKey);
    defaults.removeObject("b");
    EXPECT_TRUE(defaults.synchronize());
  }
  QXFileUserDefaults reopened(path());
  EXPECT_TRUE(reopened.isPersistent());
  EXPECT_EQ(reopened.objectForKey("a"), "three");
  EXPECT_EQ(reopened.objectForKey("b"), std::nullopt);
  EXPECT_EQ(reopened.objectForKey(binaryKey), std::string("\xFF\x00", 2));
  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(FileUserDefaultsTest, WritesSurviveAProcessKilledRightAfterThem) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = qxtest::forkDyingWithParent();
  ASSERT_GE(child, 0);
  if (child == 0) {
    QXFileUserDefaults defaults(path());
    for (int i = 0; i < 100; ++i)
      defaults.setObject(std::to_string(i), "key" + std::to_string(i));
    const char done = 'x';
    if (::write(ready[1], &done, 1) != 1) ::_exit(2);
    for (;;)
      ::pause();  // no clean exit: the parent kills us
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  QXFileUserDefaults defaults(path());
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(defaults.objectForKey("key" + std::to_string(i)), std::to_string(i)) << i;
  }
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(FileUserDefaultsTest, AFileThatIsNotOursIsReportedKeptAsideAndReplaced) {
  qxtest::writeFile(path(), "this is not a defaults file");
  QXFileUserDefaults defaults(path());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("moved aside"), std::string::npos) << errors[0];
  EXPECT_EQ(defaults.objectForKey("anything"), std::nullopt);
  defaults.setObject("v", "k");
  QXFileUserDefaults reopened(path());
  EXPECT_EQ(reopened.objectForKey("k"), "v");
  // The damaged file is kept for inspection.
  bool asideFound = false;
  for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
    if (entry.path().filename().string().find(".corrupt-") == std::string::npos) continue;
    asideFound = true;
    EXPECT_EQ(qxtest::readFile(entry.path().string()), "this is not a defaults file");
  }
  EXPECT_TRUE(asideFound);
}

TEST_F(FileUserDefaultsTest, ADamagedTailIsCutOffAndEveryEarlierKeyIsKept) {
  {
    QXFileUserDefaults defaults(path());
    defaults.setObject("1", "first");
    defaults.setObject("2", "second");
    defaults.setObject("3", "third");
  }
  std::string contents = qxtest::readFile(path());
  contents.back() ^= 0x55;  // the last record's value no longer matches its checksum
  contents += "\x01\x02";   // and a torn record follows
  qxtest::writeFile(path(), contents);
  {
    QXFileUserDefaults defaults(path());
    EXPECT_EQ(defaults.objectForKey("first"), "1");
    EXPECT_EQ(defaults.objectForKey("second"), "2");
    EXPECT_EQ(defaults.objectForKey("third"), std::nullopt);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("2 keys kept"), std::string::npos) << errors[0];
    defaults.setObject("4", "fourth");
  }
  errors.clear();
  QXFileUserDefaults repaired(path());
  EXPECT_EQ(repaired.objectForKey("fourth"), "4");
  EXPECT_EQ(repaired.objectForKey("first"), "1");
  EXPECT_TRUE(errors.empty());
}

TEST_F(FileUserDefaultsTest, AnEmptiedFileIsReportedWhileANewOneIsNot) {
  { QXFileUserDefaults fresh(path()); }
  EXPECT_TRUE(errors.empty());
  {
    QXFileUserDefaults defaults(path());
    defaults.setObject("V-1", "qx_unique_id");
  }
  ::truncate(path().c_str(), 0);
  QXFileUserDefaults reopened(path());
  EXPECT_EQ(reopened.objectForKey("qx_unique_id"), std::nullopt);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("the file was empty"), std::string::npos) << errors[0];
}

TEST_F(FileUserDefaultsTest, CompactionKeepsTheLatestValuesAndBoundsTheFile) {
  {
    QXFileUserDefaults defaults(path());
    for (int i = 0; i < 20000; ++i)
      defaults.setObject(std::to_string(i), "counter" + std::to_string(i % 10));
  }
  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_LT(info.st_size, 512 * 1024);
  QXFileUserDefaults reopened(path());
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(reopened.objectForKey("counter" + std::to_string(k)), std::to_string(19990 + k));
  }
}

// A second process on the same file starts from what it holds and keeps its
// own changes in memory, saying so once; the first one's compactions can
// then not silently drop them, and the file holds exactly the first's.
TEST_F(FileUserDefaultsTest, ASecondProcessOnTheFileKeepsItsChangesInMemory) {
  auto writer = std::make_unique<QXFileUserDefaults>(path());
  writer->setObject("first", "owner");
  const pid_t child = qxtest::forkDyingWithParent();
  ASSERT_GE(child, 0);
  if (child == 0) {
    errors.clear();
    QXFileUserDefaults second(path());
    second.setObject("second", "owner");
    second.setObject("mine", "extra");
    int failures = 0;
    if (second.isPersistent()) failures |= 1;
    if (second.objectForKey("owner") != "second" || second.objectForKey("extra") != "mine")
      failures |= 2;
    if (second.synchronize()) failures |= 4;
    if (errors.size() != 1 || errors[0].find("in use by another process") == std::string::npos)
      failures |= 8;
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1 persistent, 2 values, 4 synced, 8 reports";

  // Enough writes for several compactions.
  for (int i = 0; i < 20000; ++i)
    writer->setObject(std::to_string(i), "counter");
  EXPECT_TRUE(writer->synchronize());
  writer.reset();
  QXFileUserDefaults reopened(path());
  EXPECT_TRUE(reopened.isPersistent());
  EXPECT_EQ(reopened.objectForKey("owner"), "first");
  EXPECT_EQ(reopened.objectForKey("extra"), std::nullopt);
  EXPECT_EQ(reopened.objectForKey("counter"), "19999");
  EXPECT_TRUE(errors.empty()) << errors[0];
}

// The lock goes with the object, and a second object of one process is a
// second writer like any other.
TEST_F(FileUserDefaultsTest, TheLockIsHeldWhileTheWriterLives) {
  auto writer = std::make_unique<QXFileUserDefaults>(path());
  {
    QXFileUserDefaults second(path());
    EXPECT_FALSE(second.isPersistent());
  }
  writer.reset();
  QXFileUserDefaults next(path());
  EXPECT_TRUE(next.isPersistent());
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(FileUserDefaultsTest, AnUnopenablePathKeepsValuesInMemoryAndSaysSo) {
  QXFileUserDefaults defaults(directory.file("missing-dir/defaults.qxud"));
  EXPECT_FALSE(defaults.isPersistent());
  defaults.setObject("v", "k");
  EXPECT_EQ(defaults.objectForKey("k"), "v");
  EXPECT_FALSE(defaults.synchronize());
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.back().find("in memory only"), std::string::npos);
}

}  // namespace
