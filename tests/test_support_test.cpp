// The test helpers that own resources of the machine: directories and child
// processes, which must not outlive the tests that made them.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "delivery_support.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(TempDirectory, GoesWithEverythingInIt) {
  std::string path;
  {
    qxtest::TempDirectory directory;
    path = directory.path();
    std::filesystem::create_directories(directory.file("a/b"));
    qxtest::writeFile(directory.file("a/b/c"), "c");
    qxtest::writeFile(directory.file("it's"), "quoted");
    EXPECT_TRUE(std::filesystem::is_directory(path));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ChildProcess, AProgramThatCannotRunThrowsAndLeavesNoChild) {
  EXPECT_THROW(qxtest::ChildProcess({"/nonexistent/program"}, {}), std::runtime_error);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, DiesWithTheProcessThatStartedIt) {
  int pidPipe[2];
  ASSERT_EQ(::pipe(pidPipe), 0);
  const pid_t starter = qxtest::forkDyingWithParent();
  ASSERT_GE(starter, 0);
  if (starter == 0) {
    auto child = qxtest::runTestCaseAsChild("TestSupportChild.DISABLED_RunsUntilKilled", {});
    // Once it has said so it writes nothing more, so the pipes closing
    // with its starter cannot end it.
    if (!child->waitForOutput("[ RUN      ] TestSupportChild.DISABLED_RunsUntilKilled", 10s))
      ::_exit(2);
    const pid_t pid = child->pid();
    if (::write(pidPipe[1], &pid, sizeof pid) != sizeof pid) ::_exit(2);
    for (;;)
      ::pause();  // killed by the test
  }
  ::close(pidPipe[1]);
  pid_t grandchild = 0;
  const ssize_t got = ::read(pidPipe[0], &grandchild, sizeof grandchild);
  ::close(pidPipe[0]);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof grandchild));
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, grandchild, 0));
  ASSERT_GE(pidFd, 0);
  pollfd ended{pidFd, POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, 0), 0) << "the child ended before its starter";

  ::kill(starter, SIGKILL);
  ::waitpid(starter, nullptr, 0);
  EXPECT_EQ(::poll(&ended, 1, 10000), 1) << "the child outlived its starter";
  ::kill(grandchild, SIGKILL);
  ::close(pidFd);
}

TEST(TestSupportChild, DISABLED_RunsUntilKilled) {
  for (;;)
    ::pause();
}

}  // namespace
