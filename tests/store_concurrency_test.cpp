#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/QXDynamicStore.h"

namespace {

TEST(DynamicStoreConcurrency, TwoThreadsAddingAndMergingLoseNoEntry) {
  QXDynamicStore shared;
  QXDynamicStore other;
  constexpr int kPerThread = 5000;
  std::atomic<bool> go{false};
  auto writer = [&](const std::string& prefix) {
    while (!go.load())
      std::this_thread::yield();
    for (int i = 0; i < kPerThread; ++i) {
      shared.addData(prefix + std::to_string(i), std::to_string(i));
      if (i % 50 == 0) {
        QXDynamicStore batch;
        batch.addData(prefix + "batch" + std::to_string(i), std::string("b"));
        shared.addData(batch);
        // Merges in both directions at once must not deadlock.
        other.addData(shared);
        shared.addData(other);
        shared.addData(shared);
      }
      if (i % 7 == 0) (void)shared.getData(prefix + std::to_string(i / 2));
    }
  };
  std::thread first(writer, "a");
  std::thread second(writer, "b");
  go.store(true);
  first.join();
  second.join();

  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kPerThread; ++i) {
      ASSERT_EQ(shared.getData(prefix + std::to_string(i)), std::to_string(i));
      if (i % 50 == 0) {
        ASSERT_EQ(shared.getData(prefix + std::string("batch") + std::to_string(i)), "b");
      }
    }
  }
  EXPECT_EQ(shared.count(), 2u * (kPerThread + kPerThread / 50));
  EXPECT_EQ(shared.orderedKeys().size(), shared.count());
}

TEST(DynamicStoreConcurrency, ReadersSeeWholeEntriesWhileWritersRemoveAndRewrite) {
  QXDynamicStore store;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) {
      const std::string key = "k" + std::to_string(i % 64);
      store.addData(key, std::string(32, static_cast<char>('a' + i % 26)));
      if (i % 3 == 0) store.removeData(key);
      if (i % 1000 == 0) store.clearData();
    }
    done.store(true);
  });
  size_t observed = 0;
  while (!done.load()) {
    store.forEach([&](std::string_view, std::string_view value) {
      // A value is always one of the whole values written: 32 equal bytes.
      ASSERT_EQ(value.size(), 32u);
      ASSERT_EQ(value.find_first_not_of(value[0]), std::string_view::npos);
      ++observed;
    });
    const auto copy = store;
    EXPECT_EQ(copy.orderedKeys().size(), copy.count());
  }
  writer.join();
  SUCCEED() << observed << " entries observed";
}

}  // namespace
