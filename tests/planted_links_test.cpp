// Links planted in the data directory under the name of every file the SDK
// keeps there, pointing at an existing file, an empty one and one that does
// not exist, as root and as an ordinary user: the SDK moves each aside, says
// so once, keeps its own file, and never creates, writes or chmods a target.
// Each file with the piece of the SDK that keeps it, then the whole tool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"
#include "delivery_support.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXFileUserDefaults.h"
#include "platform/QXPlatformLog.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

enum class Target { kExisting, kEmpty, kMissing };
constexpr Target kTargets[] = {Target::kExisting, Target::kEmpty, Target::kMissing};
constexpr const char* kVictimBytes = "the victim's bytes";
constexpr const char* kSegment = "outbox-0123456789abcdef.journal";

const char* describe(Target target) {
  switch (target) {
    case Target::kExisting:
      return "an existing file";
    case Target::kEmpty:
      return "an empty file";
    case Target::kMissing:
      return "nothing";
  }
  return "";
}

bool isRoot() {
  return ::geteuid() == 0;
}

// The piece of the SDK that keeps a file, put to use in `directory`: empty
// when it kept its state there, else what went wrong.
using Use = std::function<std::string(const std::string& directory)>;

std::string useDefaults(const std::string& directory) {
  const std::string path = directory + "/user-defaults.qxud";
  {
    QXFileUserDefaults defaults(path);
    if (!defaults.isPersistent()) return "the defaults live in memory";
    defaults.setObject("v", "k");
    if (!defaults.synchronize()) return "the defaults cannot be synced";
  }
  QXFileUserDefaults reopened(path);
  return reopened.objectForKey("k") == "v" ? "" : "the value was not kept";
}

// The temporary file of a compaction: a damaged tail makes the next opening
// rewrite the file through it.
std::string useDefaultsCompaction(const std::string& directory) {
  const std::string path = directory + "/user-defaults.qxud";
  {
    QXFileUserDefaults defaults(path);
    defaults.setObject("v", "k");
  }
  std::ofstream(path, std::ios::app) << "torn";
  { QXFileUserDefaults repaired(path); }
  if (qxtest::readFile(path).find("torn") != std::string::npos) return "the file was not rewritten";
  QXFileUserDefaults reopened(path);
  return reopened.objectForKey("k") == "v" ? "" : "the value was not kept";
}

std::string useJournal(const std::string& directory) {
  QXHitJournal journal(directory);
  if (journal.adoptOrphans() != 0) return "a planted segment was adopted";
  if (!journal.append("u", "b=1", false, 1).ok()) return "the hit was not stored";
  return journal.inMemory() ? "the journal lives in memory" : "";
}

std::string useOutbox(const std::string& directory) {
  const std::string path = directory + "/outbox.sqlite";
  {
    QXOutbox outbox(path);
    const QXStatus opened = outbox.open();
    if (!opened.ok()) return "the outbox does not open: " + opened.message();
    if (outbox.inMemory()) return "the outbox lives in memory";
    if (!outbox.add("u", "b=1", false, 1).ok()) return "the hit was not stored";
  }
  QXOutbox reopened(path);
  if (!reopened.open().ok() || reopened.count() != 1) return "the hit was not kept";
  return "";
}

struct KeptFile {
  const char* name;
  Use use;
};

const KeptFile kKeptFiles[] = {
    {"user-defaults.qxud", useDefaults},
    {"user-defaults.qxud.tmp", useDefaultsCompaction},
    {kSegment, useJournal},
    {"outbox.sqlite", useOutbox},
    {"outbox.sqlite-wal", useOutbox},
    {"outbox.sqlite-shm", useOutbox},
    {"outbox.sqlite.state", useOutbox},
};

// Runs `use` and checks that the platform said once, and only once, that
// the link under `name` was moved aside.
std::string attempt(const Use& use, const std::string& directory, const std::string& name) {
  std::mutex mutex;
  std::vector<std::string> said;
  QXSetPlatformErrorSink([&](const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex);
    said.push_back(message);
  });
  std::string failure = use(directory);
  QXSetPlatformErrorSink(nullptr);
  size_t told = 0;
  for (const std::string& message : said) {
    if (message.find(name + " is a symbolic link") != std::string::npos &&
        message.find("moved aside to " + name + ".link-") != std::string::npos)
      ++told;
  }
  if (failure.empty() && told != 1) failure = "told " + std::to_string(told) + " times";
  return failure;
}

class PlantedLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QXFakePlatform::installNew();
    // An ordinary user must reach the directories below.
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
  }

  // A fresh directory of `owner`, with `mode`.
  std::string directoryOf(uid_t owner, mode_t mode) {
    const std::string path = root.file("d" + std::to_string(made++));
    if (::mkdir(path.c_str(), mode) != 0 || ::chmod(path.c_str(), mode) != 0 ||
        ::chown(path.c_str(), owner, owner) != 0)
      ADD_FAILURE() << "cannot make " << path;
    return path;
  }

  // A target of `owner` in a directory of its own where the owner could also
  // create one, so that following the link could do harm.
  std::string plantTarget(Target target, uid_t owner) {
    const std::string path = directoryOf(owner, 0755) + "/target";
    if (target == Target::kMissing) return path;
    qxtest::writeFile(path, target == Target::kExisting ? kVictimBytes : "");
    if (::chmod(path.c_str(), 0644) != 0 || ::chown(path.c_str(), owner, owner) != 0)
      ADD_FAILURE() << "cannot make " << path;
    return path;
  }

  // The target as it was planted, and the link moved aside under its name.
  static void expectUntouched(const std::string& directory, const std::string& name,
                              const std::string& target, Target kind, uid_t owner,
                              const std::string& what) {
    struct stat info {};
    if (kind == Target::kMissing) {
      EXPECT_NE(::lstat(target.c_str(), &info), 0) << what << ": the target was created";
    } else {
      ASSERT_EQ(::lstat(target.c_str(), &info), 0) << what;
      EXPECT_EQ(qxtest::readFile(target), kind == Target::kExisting ? kVictimBytes : "") << what;
      EXPECT_EQ(info.st_mode & 07777, 0644u) << what;
      EXPECT_EQ(info.st_uid, owner) << what;
    }
    if (::lstat((directory + "/" + name).c_str(), &info) == 0) {
      EXPECT_TRUE(S_ISREG(info.st_mode)) << what << ": a link is left under the name";
    }
    size_t aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      const std::string entryName = entry.path().filename();
      if (entryName.rfind(name + ".link-", 0) != 0) continue;
      ++aside;
      EXPECT_TRUE(entry.is_symlink()) << what;
      EXPECT_EQ(std::filesystem::read_symlink(entry.path()), target) << what;
    }
    EXPECT_EQ(aside, 1u) << what;
  }

  // Every kept file with every target, as `user` (the test's own when null).
  void runTable(std::optional<uid_t> user) {
    const uid_t owner = user.value_or(::geteuid());
    for (const KeptFile& file : kKeptFiles) {
      for (Target kind : kTargets) {
        const std::string what = std::string(file.name) + " -> " + describe(kind);
        const std::string directory = directoryOf(owner, 0700);
        const std::string target = plantTarget(kind, owner);
        ASSERT_EQ(::symlink(target.c_str(), (directory + "/" + file.name).c_str()), 0) << what;
        auto run = [&] { return attempt(file.use, directory, file.name); };
        const std::optional<std::string> failure =
            user ? qxtest::runAs(*user, run) : std::optional<std::string>(run());
        ASSERT_TRUE(failure.has_value()) << what << ": the child did not answer";
        EXPECT_EQ(*failure, "") << what;
        expectUntouched(directory, file.name, target, kind, owner, what);
      }
    }
  }

  qxtest::TempDirectory root;
  int made = 0;
};

TEST_F(PlantedLinksTest, AsRootNoTargetIsCreatedWrittenOrChmodded) {
  if (!isRoot()) GTEST_SKIP() << "runs as root only; the test as a user runs as this user";
  runTable(std::nullopt);
}

TEST_F(PlantedLinksTest, AsAUserNoTargetIsCreatedWrittenOrChmodded) {
  // As root, in a child that becomes an ordinary user.
  runTable(isRoot() ? std::optional<uid_t>(qxtest::kUnprivilegedUser) : std::nullopt);
}

// The tool, a whole process, on a data directory where every file it keeps
// is a planted link: it delivers its hit, tells each link on standard error,
// and leaves every target as it was. As root, and as an ordinary user.
TEST_F(PlantedLinksTest, TheToolDeliversAndTellsEachLinkWithoutFollowingOne) {
#ifndef QUORVEX_TOOL_PATH
  GTEST_SKIP() << "the quorvex tool is not built in this configuration";
#else
  qxtest::bypassProxiesForLoopback();
  const std::pair<const char*, Target> planted[] = {
      {"user-defaults.qxud", Target::kExisting}, {"outbox.sqlite", Target::kEmpty},
      {"outbox.sqlite-wal", Target::kMissing},   {"outbox.sqlite-shm", Target::kExisting},
      {"outbox.sqlite.state", Target::kEmpty},   {kSegment, Target::kMissing},
  };
  std::vector<std::optional<uid_t> > users = {std::nullopt};
  if (isRoot()) users.push_back(qxtest::kUnprivilegedUser);
  for (const std::optional<uid_t>& user : users) {
    const uid_t owner = user.value_or(::geteuid());
    const std::string as = "as user " + std::to_string(owner);
    const std::string directory = directoryOf(owner, 0700);
    std::vector<std::string> targets;
    for (const auto& [name, kind] : planted) {
      targets.push_back(plantTarget(kind, owner));
      ASSERT_EQ(::symlink(targets.back().c_str(), (directory + "/" + name).c_str()), 0);
    }
    QXCollector collector;
    ASSERT_TRUE(collector.start().ok());
    qxtest::ChildProcess tool({QUORVEX_TOOL_PATH, "send", "--data-dir", directory, "--url",
                               collector.url("/7/"), "page=home"},
                              {}, user);
    ASSERT_EQ(tool.wait(30s), 0) << as << "\n" << tool.out() << tool.err();
    EXPECT_EQ(collector.requests().size(), 1u) << as;
    for (size_t i = 0; i < std::size(planted); ++i) {
      const auto& [name, kind] = planted[i];
      EXPECT_NE(tool.err().find(std::string(name) + " is a symbolic link"), std::string::npos)
          << as << ": " << name << "\n"
          << tool.err();
      expectUntouched(directory, name, targets[i], kind, owner, as + ": " + name);
    }
  }
#endif
}

}  // namespace
