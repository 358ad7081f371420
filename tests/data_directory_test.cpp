// The data directory is the process's own: one lent by another user or open
// to others is refused with its reason, the platform then keeps state in
// memory, and nothing under a file's name is followed or written unless it is
// a regular file of the process's user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"
#include "platform/QXDataDirectory.h"
#include "platform/QXFileUserDefaults.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXPlatformLog.h"
#include "support/TestSupport.h"

namespace {

constexpr uid_t kNobody = 65534;

bool isRoot() {
  return ::geteuid() == 0;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

std::string makeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), 0700) != 0 || ::chmod(path.c_str(), mode) != 0) std::abort();
  return path;
}

class DataDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QXSetPlatformErrorSink([this](const std::string& message) {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back(message);
    });
  }
  void TearDown() override { QXSetPlatformErrorSink(nullptr); }

  std::vector<std::string> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

  qxtest::TempDirectory root;

 private:
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

TEST_F(DataDirectoryTest, ADirectoryThatIsNotTheProcesssOwnIsRefusedWithTheReason) {
  struct Case {
    const char* what;
    std::function<std::string()> make;  // the directory's path
    std::string reason;
    int error = EPERM;  // errno: refused, or the system's cause
  };
  const std::string other = std::to_string(isRoot() ? kNobody : 0);
  const Case cases[] = {
      {"open to every user", [&] { return makeDirectory(root.file("a"), 0777); },
       "is writable by every user (mode 0777)"},
      {"open to its group",
       [&] {
         const std::string path = makeDirectory(root.file("b"), 0770);
         // Root lends it to another group; a user's own group is refused alike.
         if (isRoot() && ::chown(path.c_str(), 0, kNobody) != 0) std::abort();
         return path;
       },
       "is writable by its group"},
      {"of another user",
       [&] {
         if (!isRoot()) return std::string("/");  // root's
         const std::string path = makeDirectory(root.file("c"), 0700);
         if (::chown(path.c_str(), kNobody, kNobody) != 0) std::abort();
         return path;
       },
       "belongs to user " + other + ", not to this process's user"},
      {"a link to one of its own",
       [&] {
         makeDirectory(root.file("real"), 0700);
         if (::symlink(root.file("real").c_str(), root.file("d").c_str()) != 0) std::abort();
         return root.file("d");
       },
       "is a symbolic link"},
      {"a file",
       [&] {
         qxtest::writeFile(root.file("e"), "x");
         return root.file("e");
       },
       "Not a directory", ENOTDIR},
  };
  for (const Case& c : cases) {
    const std::string path = c.make();
    for (bool create : {false, true}) {
      std::string why;
      const auto directory =
          create ? QXDataDirectory::make(path, 1, &why) : QXDataDirectory::open(path, &why);
      EXPECT_EQ(directory, nullptr) << c.what;
      EXPECT_EQ(errno, c.error) << c.what;
      EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }
  }
  // The process's own, whoever may read it.
  for (mode_t mode : {0700, 0750, 0755}) {
    const std::string path = makeDirectory(root.file("own-" + std::to_string(mode)), mode);
    std::string why;
    EXPECT_NE(QXDataDirectory::open(path, &why), nullptr) << mode << ": " << why;
  }
}

TEST_F(DataDirectoryTest, ThePlatformKeepsStateInMemoryInABorrowedDirectoryAndSaysWhyOnce) {
  QXLinuxPlatform::Options options;
  options.dataDirectory = makeDirectory(root.file("shared"), 0777);
  QXLinuxPlatform platform(options);
  EXPECT_EQ(platform.dataDirectory(), "");
  EXPECT_EQ(platform.dataDirectory(), "");
  QXStandardUserDefaults* defaults = platform.standardUserDefaults();
  ASSERT_NE(defaults, nullptr);
  defaults->setObject("v", "k");
  EXPECT_EQ(defaults->objectForKey("k"), "v");
  EXPECT_FALSE(platform.fileExists(root.file("shared/user-defaults.qxud")));
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_NE(reports()[0].find("is writable by every user (mode 0777); state is kept in memory"),
            std::string::npos)
      << reports()[0];
}

// Each piece that keeps files, given a borrowed directory directly, keeps
// its state in memory and writes nothing there.
TEST_F(DataDirectoryTest, EachPieceKeepsItsStateInMemoryInABorrowedDirectory) {
  const std::string shared = makeDirectory(root.file("shared"), 0777);
  QXFileUserDefaults defaults(shared + "/user-defaults.qxud");
  defaults.setObject("v", "k");
  EXPECT_FALSE(defaults.isPersistent());
  QXHitJournal journal(shared);
  EXPECT_TRUE(journal.append("u", "b=1", false, 1).ok());
  EXPECT_TRUE(journal.inMemory());
  QXOutbox outbox(shared + "/outbox.sqlite");
  EXPECT_TRUE(outbox.open().ok());
  EXPECT_TRUE(outbox.inMemory());
  EXPECT_TRUE(std::filesystem::is_empty(shared));
}

TEST_F(DataDirectoryTest, WithoutAHomeTheRuntimeDirectoryIsUsedElseMemoryNeverANameUnderTmp) {
  ::unsetenv("HOME");
  ::setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
  ::setenv("XDG_RUNTIME_DIR", root.path().c_str(), 1);
  QXLinuxPlatform::Options options;
  options.bundleIdentifier = "com.example.app";
  {
    QXLinuxPlatform platform(options);
    EXPECT_EQ(platform.dataDirectory(), root.file("quorvex/com.example.app"));
    EXPECT_EQ(modeOf(root.file("quorvex")) & 07777, 0700u);
    EXPECT_EQ(modeOf(root.file("quorvex/com.example.app")) & 07777, 0700u);
  }
  ::unsetenv("XDG_RUNTIME_DIR");
  const std::string formerFallback = "/tmp/quorvex-" + std::to_string(::getuid());
  const bool fallbackThere = exists(formerFallback);
  QXLinuxPlatform platform(options);
  EXPECT_EQ(platform.dataDirectory(), "");
  EXPECT_EQ(exists(formerFallback), fallbackThere);
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_NE(reports()[0].find("no data directory"), std::string::npos) << reports()[0];
}

TEST_F(DataDirectoryTest, WhatIsMadeOnTheWayIs0700AndALinkInItsPlaceIsNotFollowed) {
  const mode_t umask = ::umask(0);
  std::string why;
  const bool made = QXDataDirectory::make(root.file("a/b/c"), 1, &why) != nullptr;
  ::umask(umask);
  ASSERT_TRUE(made) << why;
  for (const char* component : {"a", "a/b", "a/b/c"})
    EXPECT_EQ(modeOf(root.file(component)) & 07777, 0700u) << component;

  // The components above the SDK's own are the host's: they may be links.
  makeDirectory(root.file("real"), 0700);
  ASSERT_EQ(::symlink(root.file("real").c_str(), root.file("alias").c_str()), 0);
  const auto through = QXDataDirectory::make(root.file("alias/quorvex/app"), 2, &why);
  ASSERT_NE(through, nullptr) << why;
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(root.path().c_str(), resolved), nullptr);
  EXPECT_EQ(through->resolvedPath(), std::string(resolved) + "/real/quorvex/app");
  // One of the SDK's own that is a link is refused, even to a directory of
  // the process's.
  ASSERT_EQ(::symlink(root.file("real").c_str(), root.file("real/linked").c_str()), 0);
  EXPECT_EQ(QXDataDirectory::make(root.file("real/linked/app"), 2, &why), nullptr);
  EXPECT_NE(why.find("linked is a symbolic link"), std::string::npos) << why;
}

// Whatever stands under a file's name that the SDK did not make is moved
// aside without being followed; a fresh file takes the name. A link's target
// keeps its bytes and its mode, and a missing one is never created.
TEST_F(DataDirectoryTest, ALinkOrAStrangersFileUnderAFileNameIsMovedAsideAndNeverFollowed) {
  struct Case {
    const char* what;
    std::function<void(const std::string& place)> plant;
    const char* aside;  // the suffix it is moved aside to
    const char* said;
  };
  const std::string elsewhere = makeDirectory(root.file("elsewhere"), 0755);
  const std::string existing = elsewhere + "/existing";
  const std::string empty = elsewhere + "/empty";
  const std::string missing = elsewhere + "/missing";
  qxtest::writeFile(existing, "the victim's bytes");
  qxtest::writeFile(empty, "");
  ASSERT_EQ(::chmod(existing.c_str(), 0644) | ::chmod(empty.c_str(), 0644), 0);
  auto linkTo = [](const std::string& target) {
    return [target](const std::string& place) {
      if (::symlink(target.c_str(), place.c_str()) != 0) std::abort();
    };
  };
  std::vector<Case> cases = {
      {"a link to an existing file", linkTo(existing), ".link-", "is a symbolic link"},
      {"a link to an empty file", linkTo(empty), ".link-", "is a symbolic link"},
      {"a link to nothing", linkTo(missing), ".link-", "is a symbolic link"},
      {"a directory", [](const std::string& place) { makeDirectory(place, 0700); }, ".foreign-",
       "is a directory"},
      {"a FIFO",
       [](const std::string& place) {
         if (::mkfifo(place.c_str(), 0600) != 0) std::abort();
       },
       ".foreign-", "is not a regular file"},
  };
  if (isRoot()) {
    cases.push_back({"a file of another user",
                     [](const std::string& place) {
                       qxtest::writeFile(place, "theirs");
                       if (::chown(place.c_str(), kNobody, kNobody) != 0) std::abort();
                     },
                     ".foreign-", "is a file of user 65534"});
  }
  int n = 0;
  for (const Case& c : cases) {
    const std::string place = makeDirectory(root.file("data-" + std::to_string(n++)), 0700);
    c.plant(place + "/state");
    const size_t reportsBefore = reports().size();
    std::string why;
    const auto directory = QXDataDirectory::open(place, &why);
    ASSERT_NE(directory, nullptr) << why;

    EXPECT_EQ(directory->openFile("state", O_RDONLY), -1) << c.what;
    EXPECT_EQ(errno, ENOENT) << c.what;
    const int fd = directory->openFile("state", O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << c.what;
    EXPECT_EQ(::write(fd, "mine", 4), 4);
    EXPECT_EQ(::fchmod(fd, 0600), 0);
    ::close(fd);

    EXPECT_EQ(qxtest::readFile(place + "/state"), "mine") << c.what;
    EXPECT_TRUE(S_ISREG(modeOf(place + "/state"))) << c.what;
    EXPECT_EQ(qxtest::readFile(existing), "the victim's bytes") << c.what;
    EXPECT_EQ(qxtest::readFile(empty), "") << c.what;
    EXPECT_EQ(modeOf(existing) & 07777, 0644u) << c.what;
    EXPECT_EQ(modeOf(empty) & 07777, 0644u) << c.what;
    EXPECT_FALSE(exists(missing)) << c.what;
    std::vector<std::string> names = directory->names();
    ASSERT_EQ(names.size(), 2u) << c.what;
    const std::string aside = names[0] == "state" ? names[1] : names[0];
    EXPECT_EQ(aside.rfind(std::string("state") + c.aside, 0), 0u) << c.what << ": " << aside;
    const auto said = reports();
    ASSERT_EQ(said.size(), reportsBefore + 1) << c.what;
    EXPECT_NE(said.back().find(std::string("state ") + c.said), std::string::npos) << said.back();
    EXPECT_NE(said.back().find("moved aside to " + aside), std::string::npos) << said.back();
  }
}

}  // namespace
