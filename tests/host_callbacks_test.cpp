// Code of the host's that the SDK calls (its log sink, its platform error
// sink, its notification observers, its delivery outcome callback) may throw:
// the SDK catches it, says so once, and goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "core/QXLogger.h"
#include "core/network/QXDeliveryWorker.h"
#include "fake_transport.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXNotificationCenter.h"
#include "platform/QXPlatformLog.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

// What the process writes on standard error while it lives.
class StandardErrorCapture {
 public:
  StandardErrorCapture() : file_(directory_.file("stderr")) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StandardErrorCapture() { restore(); }
  std::string text() {
    restore();
    return qxtest::readFile(file_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

  qxtest::TempDirectory directory_;
  std::string file_;
  int saved_ = -1;
};

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST(HostCallbacks, ALogSinkThatThrowsIsToldOnceOnStandardError) {
  QXLogger& logger = QXLogger::sharedInstance();
  logger.setSink([](int, const std::string&) { throw std::runtime_error("sink broke"); });
  StandardErrorCapture captured;
  EXPECT_NO_THROW(logger.logMessage("first", 4));
  EXPECT_NO_THROW(logger.logMessage("second", 4));
  logger.setSink(nullptr);
  const std::string text = captured.text();
  EXPECT_EQ(occurrences(text, "The log sink threw (sink broke)"), 1u) << text;
  EXPECT_EQ(text.find("first"), std::string::npos);
}

TEST(HostCallbacks, APlatformErrorSinkThatThrowsIsToldOnceOnStandardError) {
  QXSetPlatformErrorSink([](const std::string&) { throw 42; });
  StandardErrorCapture captured;
  EXPECT_NO_THROW(QXReportPlatformError("first"));
  EXPECT_NO_THROW(QXReportPlatformError("second"));
  QXSetPlatformErrorSink(nullptr);
  EXPECT_EQ(occurrences(captured.text(), "the platform error sink threw"), 1u);
}

TEST(HostCallbacks, AnObserverThatThrowsLetsTheOthersAndThePosterGoOn) {
  std::vector<std::string> errors;
  QXSetPlatformErrorSink([&](const std::string& message) { errors.push_back(message); });
  auto center = QXNotificationCenter::create();
  int throwing = 0;
  int counting = 0;
  int calls = 0;
  center->addObserver(&throwing, "event",
                      [](const QXNotification&) { throw std::logic_error("observer broke"); });
  center->addObserver(&counting, "event", [&](const QXNotification&) { ++calls; });
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(
        center->postNotification(QXNotification::notificationWithName("event", nullptr, {})));
  }
  QXSetPlatformErrorSink(nullptr);
  EXPECT_EQ(calls, 3);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("observer broke"), std::string::npos) << errors[0];
  center->removeObserver(&throwing);
  center->removeObserver(&counting);
}

// On the worker's thread (an answer) and on the posting thread (a hit the
// journal refused) alike.
TEST(HostCallbacks, AnOutcomeCallbackThatThrowsLeavesDeliveryGoingOn) {
  QXFakePlatform::installNew();
  qxtest::LogCapture log;
  qxtest::TempDirectory directory;
  QXHitJournal journal(directory.path());
  QXOutbox outbox(directory.file("outbox.sqlite"));
  qxtest::FakeTransport transport;
  QXDeliveryWorker::Environment environment;
  environment.makeTransport = transport.factory();
  environment.isReachable = [] { return true; };
  QXDeliveryWorker worker(outbox, journal, environment, QXDeliveryOptions());
  std::atomic<int> told{0};
  worker.setOutcomeCallback([&](const QXHitOutcome&) {
    ++told;
    throw std::runtime_error("callback broke");
  });
  worker.start();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(journal.append("http://127.0.0.1:9/7/", "n=" + std::to_string(i), false, 0).ok());
    worker.hitAdded();
  }
  QXHitOutcome refused;
  refused.result = QXHitOutcome::Result::kDropped;
  EXPECT_NO_THROW(worker.hitRefused(refused));
  ASSERT_TRUE(worker.flush(10s));
  EXPECT_EQ(transport.bodies(), (std::vector<std::string>{"n=0", "n=1", "n=2"}));
  EXPECT_EQ(told.load(), 4);
  const auto errors = log.messagesAt(4);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("callback broke"), std::string::npos) << errors[0];
}

}  // namespace
