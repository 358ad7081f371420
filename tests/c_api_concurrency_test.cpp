// The C API under threads: handles freed while other threads use them, the
// per-thread last error, and callbacks replaced while the SDK's threads call
// them (the promise that a replaced callback's user data may then be freed).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bindings/c/quorvex.h"
#include "delivery_support.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

class CApiConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    QXFakePlatform::installNew();
  }
};

TEST_F(CApiConcurrencyTest, AHandleFreedWhileOtherThreadsUseItIsRefusedAfterwards) {
  const std::string url = "http://127.0.0.1:" + std::to_string(qxtest::closedPort()) + "/7/";
  for (int round = 0; round < 20; ++round) {
    qx_tracker* tracker = qx_tracker_new(1, 2);
    ASSERT_NE(tracker, nullptr) << qx_last_error();
    ASSERT_EQ(qx_tracker_set_url(tracker, url.c_str()), QX_OK);
    qx_product* product = qx_product_new();
    std::atomic<bool> freed{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> rounds{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i) {
          const bool freedBefore = freed.load();
          const int results[] = {
              qx_tracker_add_data(tracker, "thread", std::to_string(t).c_str()),
              qx_product_set(product, QX_PRODUCT_ID, "SKU"),
              qx_tracker_add_product(tracker, "basket", product),
              qx_tracker_send(tracker),
          };
          for (int result : results) {
            // Before the free every call succeeds; after it, none does.
            if (result != QX_OK && result != QX_E_INVALID_HANDLE) ++unexpected;
            if (freedBefore && result == QX_OK) ++unexpected;
            if (result == QX_E_INVALID_HANDLE && std::strstr(qx_last_error(), "live") == nullptr)
              ++unexpected;
          }
          ++rounds;
        }
      });
    }
    // Freed in the middle of the threads' calls.
    ASSERT_TRUE(qxtest::eventually([&] { return rounds.load() >= 20; }));
    qx_tracker_free(tracker);
    qx_product_free(product);
    freed = true;
    for (std::thread& thread : threads)
      thread.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(qx_tracker_send(tracker), QX_E_INVALID_HANDLE);
  }
}

TEST_F(CApiConcurrencyTest, EachThreadHasItsOwnLastError) {
  qxtest::Gate failed, succeeded;
  std::string failingThreadSaw;
  std::thread failing([&] {
    EXPECT_EQ(qx_tracker_send(nullptr), QX_E_INVALID_ARGUMENT);
    failed.open();
    ASSERT_TRUE(succeeded.waitOpen(std::chrono::seconds(10)));
    failingThreadSaw = qx_last_error();
  });
  ASSERT_TRUE(failed.waitOpen(std::chrono::seconds(10)));
  EXPECT_EQ(qx_log_threshold(), 3);
  EXPECT_STREQ(qx_last_error(), "");
  succeeded.open();
  failing.join();
  EXPECT_EQ(failingThreadSaw, "qx_tracker_send: tracker is NULL");
}

// A sink's user data: freed as soon as the sink is replaced.
struct SinkCount {
  std::atomic<int> messages{0};
};

void countMessage(int, const char* message, size_t length, void* userData) {
  if (std::strlen(message) == length) ++static_cast<SinkCount*>(userData)->messages;
}

void ignoreMessage(int, const char*, size_t, void*) {}

TEST_F(CApiConcurrencyTest, ASinkReplacedWhileThreadsLogIsNeverCalledAfterwards) {
  ASSERT_EQ(qx_log_set_threshold(0), QX_OK);
  std::atomic<bool> done{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < 3; ++t) {
    loggers.emplace_back([&] {
      while (!done.load()) {
        qx_tracker* tracker = qx_tracker_new(1, 2);  // logs at level 2
        qx_tracker_deactivate(tracker);              // and at level 1
        qx_tracker_free(tracker);
      }
    });
  }
  int heard = 0;
  for (int round = 0; round < 200; ++round) {
    auto* count = new SinkCount();
    ASSERT_EQ(qx_log_set_sink(countMessage, count), QX_OK);
    ASSERT_TRUE(qxtest::eventually([&] { return count->messages.load() > 0; }));
    // Replaced, the old sink is done with its data: under AddressSanitizer
    // a call after this would be a use after free.
    ASSERT_EQ(qx_log_set_sink(round % 2 ? nullptr : ignoreMessage, nullptr), QX_OK);
    heard += count->messages.load();
    delete count;
  }
  done = true;
  for (std::thread& thread : loggers)
    thread.join();
  ASSERT_EQ(qx_log_set_sink(nullptr, nullptr), QX_OK);
  EXPECT_GE(heard, 200);
}

}  // namespace
