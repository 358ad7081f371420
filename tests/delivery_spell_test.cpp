// Hits while the data directory cannot be written for a while: a full
// file system, and a spell in which no file can be made there. The
// DISABLED_ cases are the child processes: this program runs itself again
// to play them. The full file system is a small one mounted in a mount
// namespace of the child's own, which takes root; elsewhere that test is
// skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"
#include "core/network/QXOutbox.h"
#include "delivery_support.h"
#include "platform/QXApplication.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// A mount namespace of this process's own, where `directory` is a mount
// point; false (and "skip <why>" said) where that takes rights this
// process does not have.
bool privateMountAt(const std::string& directory, const char* type, const char* data) {
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    say(std::string("skip mount namespace: ") + std::strerror(errno));
    return false;
  }
  if (::mount(type, directory.c_str(), type, 0, data) != 0) {
    say(std::string("skip mount: ") + std::strerror(errno));
    return false;
  }
  return true;
}

// Executes the hit named `name`; true when the SDK stored it.
bool executeNamed(Quorvex& tracker, const std::string& name) {
  const uint64_t dropped = QXNetworkManager::sharedInstance().counters().dropped;
  tracker.addData("n", name);
  tracker.addData("pad", std::string(1000, 'p'));
  tracker.sendData();
  return QXNetworkManager::sharedInstance().counters().dropped == dropped;
}

// Fills the file system of `directory` with a file, leaving about `leave`
// bytes free.
void fillLeaving(const std::string& directory, size_t leave) {
  const int fd = ::open((directory + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string block(4096, 'f');
  while (::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size())) {
  }
  ::ftruncate(fd, ::lseek(fd, 0, SEEK_CUR) - static_cast<off_t>(leave));
  ::close(fd);
}

// The hits named in lines "<word> <name>" of `out`.
std::set<std::string> namesSaid(const std::string& out, const std::string& word) {
  std::set<std::string> names;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(word + " ", 0) == 0) names.insert(line.substr(word.size() + 1));
  }
  return names;
}

class DeliverySpellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    ASSERT_TRUE(collector.start().ok());
  }

  // Runs the child case `name`, skipping the test where it could not mount.
  std::unique_ptr<qxtest::ChildProcess> run(const std::string& name) {
    return qxtest::runTestCaseAsChild(
        "DeliverySpellChild." + name,
        {"QX_DIRECTORY=" + directory.path(), "QX_URL=" + collector.url("/7/")});
  }

  // The hits the collector received, by name, with their identifiers.
  std::map<std::string, std::set<std::string>> arrivals() const {
    std::map<std::string, std::set<std::string>> byName;
    for (const auto& request : collector.requests()) {
      byName[qxtest::fieldOf(request.body, "n").value_or("?")].insert(
          request.header("X-Quorvex-Hit-Id"));
    }
    return byName;
  }

  qxtest::TempDirectory directory;
  QXCollector collector;
};

// Child: on a 16 MB file system filled but for 300 KB, executes 400 hits in
// background (what does not fit is refused); then frees the space, comes
// to foreground, executes 50 more and flushes. The space freed is what the
// outbox needs for them: hits taken in one at a time grow its log by about
// 64 KB each, and with under 4 MB back the log could fill the disk before
// it was folded in, which stalls removals (and the flush) until the process
// ends.
TEST(DeliverySpellChild, DISABLED_TracksOnAFullDisk) {
  const std::string directory = environment("QX_DIRECTORY");
  if (!privateMountAt(directory, "tmpfs", "size=16m,mode=0700")) return;
  QXFakePlatform::installNew()->setDataDirectory(directory);
  Quorvex tracker(1, 1);
  tracker.setUrl(environment("QX_URL"));
  QXApplication::didEnterBackground();
  fillLeaving(directory, 300 * 1024);
  for (int i = 0; i < 400; ++i) {
    const std::string name = "full-" + std::to_string(i);
    say((executeNamed(tracker, name) ? "stored " : "refused ") + name);
  }
  ::unlink((directory + "/filler").c_str());
  QXApplication::willEnterForeground();
  for (int i = 0; i < 50; ++i) {
    const std::string name = "after-" + std::to_string(i);
    say((executeNamed(tracker, name) ? "stored " : "refused ") + name);
  }
  say(QXNetworkManager::sharedInstance().flush(30s) ? "flushed" : "not flushed");
}

// A full disk refuses hits whole; when space comes back, without a new
// launch, the hits the journal kept and the new ones are all delivered,
// each once.
TEST_F(DeliverySpellTest, WhenAFullDiskHasRoomAgainEveryStoredHitIsDelivered) {
  auto child = run("DISABLED_TracksOnAFullDisk");
  ASSERT_EQ(child->wait(120s), 0) << child->out() << child->err();
  if (child->out().rfind("skip", 0) == 0) GTEST_SKIP() << child->out();
  const std::set<std::string> stored = namesSaid(child->out(), "stored");
  EXPECT_FALSE(namesSaid(child->out(), "refused").empty()) << "the disk never filled";
  EXPECT_EQ(stored.count("after-49"), 1u);
  EXPECT_NE(child->out().find("\nflushed"), std::string::npos) << child->out() << child->err();
  const auto received = arrivals();
  std::set<std::string> names;
  for (const auto& [name, identifiers] : received)
    names.insert(name);
  EXPECT_EQ(names, stored);
  EXPECT_EQ(collector.requests().size(), received.size());  // none twice
}

// The child runs as a user other than root, where root runs the tests:
// root writes into a directory whatever its mode says.
void becomeAUser() {
  if (::geteuid() != 0) return;
  ASSERT_EQ(::setresgid(65534, 65534, 65534), 0);
  ASSERT_EQ(::setresuid(65534, 65534, 65534), 0);
}

// Child: as a user, executes hits at 200 a second, saying which were stored
// and which refused; the parent makes the data directory unwritable after
// the 100th for about a second. Then waits to be killed; with QX_RELAUNCH
// set, only flushes what an earlier process left.
TEST(DeliverySpellChild, DISABLED_TracksThroughAnUnwritableSpell) {
  becomeAUser();
  QXFakePlatform::installNew()->setDataDirectory(environment("QX_DIRECTORY"));
  QXNetworkManager& delivery = QXNetworkManager::sharedInstance();
  if (!environment("QX_RELAUNCH").empty()) {
    say(delivery.flush(30s) ? "flushed" : "not flushed");
    return;
  }
  // Small segments: a new one is made every few hits, so the spell bites.
  QXDeliveryOptions options = delivery.options();
  options.maxQueuedBytes = 1024 * 1024;
  delivery.setOptions(options);
  Quorvex tracker(1, 1);
  tracker.setUrl(environment("QX_URL"));
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < 500; ++i) {
    const std::string name = "spell-" + std::to_string(i);
    say((executeNamed(tracker, name) ? "stored " : "refused ") + name);
    next += 5ms;
    std::this_thread::sleep_until(next);  // the pace of an application, not a wait
  }
  say("done");
  for (;;)
    ::pause();
}

// Hits made while no file can be made in the data directory (a read-only
// remount, a full quota, a permission taken away) are refused whole and
// counted; those after it are stored again without a relaunch. Killed, the
// process leaves them to the next launch, which sends each stored hit under
// the one identifier it ever had.
TEST_F(DeliverySpellTest, AfterAnUnwritableSpellHitsAreStoredAgainAndNoneGoesUnderTwoIdentifiers) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(directory.path().c_str(), 65534, 65534), 0);
  }
  auto child = run("DISABLED_TracksThroughAnUnwritableSpell");
  ASSERT_TRUE(child->waitForOutput("stored spell-100\n", 30s)) << child->out() << child->err();
  ASSERT_EQ(::chmod(directory.path().c_str(), 0500), 0);
  ASSERT_TRUE(child->waitForOutput(" spell-300\n", 30s)) << child->out() << child->err();
  ASSERT_EQ(::chmod(directory.path().c_str(), 0700), 0);
  ASSERT_TRUE(child->waitForOutput("done", 30s)) << child->out() << child->err();
  child->kill(SIGKILL);
  ASSERT_EQ(child->wait(10s), 128 + SIGKILL);
  const std::set<std::string> stored = namesSaid(child->out(), "stored");
  const std::set<std::string> refused = namesSaid(child->out(), "refused");
  EXPECT_FALSE(refused.empty()) << "the spell refused nothing";
  EXPECT_EQ(stored.count("spell-499"), 1u);

  auto relaunch =
      qxtest::runTestCaseAsChild("DeliverySpellChild.DISABLED_TracksThroughAnUnwritableSpell",
                                 {"QX_DIRECTORY=" + directory.path(), "QX_RELAUNCH=1"});
  ASSERT_EQ(relaunch->wait(60s), 0) << relaunch->out() << relaunch->err();
  EXPECT_NE(relaunch->out().find("\nflushed"), std::string::npos) << relaunch->out();
  const auto received = arrivals();
  for (const std::string& name : stored)
    EXPECT_EQ(received.count(name), 1u) << name << " was stored and lost";
  for (const std::string& name : refused)
    EXPECT_EQ(received.count(name), 0u) << name << " was refused, yet arrived";
  for (const auto& [name, identifiers] : received)
    EXPECT_EQ(identifiers.size(), 1u) << name << " came under several identifiers";
}

// Child: on a 1 MB file system, makes an outbox in a new directory with
// 0, 8, ... 320 KB left free, then opens it again with the space back, and
// says for each how both went. The new database is made through its log,
// and folding that in takes about as much again: some of these runs fill
// the disk in the middle of the fold.
TEST(DeliverySpellChild, DISABLED_MakesOutboxesOnAlmostFullDisks) {
  const std::string directory = environment("QX_DIRECTORY");
  if (!privateMountAt(directory, "tmpfs", "size=1m,mode=0700")) return;
  QXFakePlatform::installNew();
  for (size_t leave = 0; leave <= 320 * 1024; leave += 8 * 1024) {
    const std::string place = directory + "/" + std::to_string(leave);
    ::mkdir(place.c_str(), 0700);
    fillLeaving(directory, leave);
    const bool madeFull = QXOutbox(place + "/outbox.sqlite").open().ok();
    ::unlink((directory + "/filler").c_str());
    const bool openedAfter = QXOutbox(place + "/outbox.sqlite").open().ok();
    bool movedAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(place))
      movedAside |= entry.path().string().find(".corrupt-") != std::string::npos;
    say(std::string(madeFull ? "made" : "refused") + " " + std::to_string(leave));
    if (!openedAfter || movedAside) say("damaged " + std::to_string(leave));
    std::filesystem::remove_all(place);
  }
}

// Child: on a 2 MB file system, stores 300 hits one by one, each commit
// adding to the outbox's log, with the worker's checkpoint after each under
// a log limit larger than the disk; then removes them all. Says how many
// were stored and whether the removal went through.
TEST(DeliverySpellChild, DISABLED_GrowsTheLogOnASmallDisk) {
  const std::string directory = environment("QX_DIRECTORY");
  if (!privateMountAt(directory, "tmpfs", "size=2m,mode=0700")) return;
  QXFakePlatform::installNew();
  QXOutbox outbox(directory + "/outbox.sqlite");
  if (!outbox.open().ok()) return say("no outbox");
  std::vector<int64_t> ids;
  for (int i = 0; i < 300; ++i) {
    int64_t id = 0;
    if (!outbox.add("http://127.0.0.1:9/7/", std::string(1000, 'p'), false, 1000, &id).ok()) break;
    ids.push_back(id);
    outbox.checkpointIfLarge(4 * 1024 * 1024);
  }
  say("stored " + std::to_string(ids.size()));
  say(outbox.remove(ids).ok() ? "removed" : "not removed");
}

// The outbox's log never fills the disk: a log the disk cannot hold twice
// over is folded in and cut back, so that hits can still be stored and
// removed.
TEST_F(DeliverySpellTest, TheOutboxsLogLeavesTheDiskRoomToFoldItIn) {
  auto child = run("DISABLED_GrowsTheLogOnASmallDisk");
  ASSERT_EQ(child->wait(120s), 0) << child->out() << child->err();
  if (child->out().rfind("skip", 0) == 0) GTEST_SKIP() << child->out();
  EXPECT_NE(child->out().find("stored 300\n"), std::string::npos) << child->out() << child->err();
  EXPECT_NE(child->out().find("\nremoved\n"), std::string::npos) << child->out() << child->err();
}

// A disk that fills while a new outbox is made leaves no outbox, or a whole
// one: never a file that the next open finds damaged and moves aside.
TEST_F(DeliverySpellTest, AnOutboxMadeAsTheDiskFillsIsWholeOrNotThere) {
  auto child = run("DISABLED_MakesOutboxesOnAlmostFullDisks");
  ASSERT_EQ(child->wait(120s), 0) << child->out() << child->err();
  if (child->out().rfind("skip", 0) == 0) GTEST_SKIP() << child->out();
  EXPECT_FALSE(namesSaid(child->out(), "refused").empty()) << child->out();
  EXPECT_FALSE(namesSaid(child->out(), "made").empty()) << child->out();
  EXPECT_EQ(namesSaid(child->out(), "damaged"), std::set<std::string>()) << child->err();
}

}  // namespace
