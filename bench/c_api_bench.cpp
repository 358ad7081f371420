// What the C API adds to a hit: qx_tracker_send beside the C++ sendData()
// for the benchmark's hit (QXFillBenchHit), both trackers posting on a
// center whose only observer does nothing, so that the difference is the C
// layer's (the handle's look-up, the guard, the last error). Beside them,
// filling the same hit through qx_tracker_add_data and qx_tracker_add_product.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"
#include "bench/QXBenchHit.h"
#include "bindings/c/QXCHandles.h"
#include "bindings/c/quorvex.h"
#include "platform/QXNotificationCenter.h"

namespace {

void setUpOnce() {
  static bool done = [] {
    char directory[] = "/tmp/quorvex-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) std::abort();
    if (qx_platform_install_linux(directory, "com.example.bench") != QX_OK) std::abort();
    return true;
  }();
  (void)done;
}

// Times `send` alone, the hit filled before each, and reports the median
// and the 99th percentile.
template <typename Send>
void timeSends(benchmark::State& state, Quorvex& tracker, Send&& send) {
  std::vector<double> microseconds;
  microseconds.reserve(1 << 16);
  for (auto _ : state) {
    QXFillBenchHit(tracker);
    const auto start = std::chrono::steady_clock::now();
    send();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    microseconds.push_back(took.count() * 1e6);
  }
  std::sort(microseconds.begin(), microseconds.end());
  state.counters["p50_us"] = microseconds[microseconds.size() / 2];
  state.counters["p99_us"] = microseconds[microseconds.size() * 99 / 100];
}

void BM_SendData(benchmark::State& state) {
  setUpOnce();
  Quorvex tracker(410501, 7, QXQuietBenchCenter());
  tracker.addPermanentData("user_id", std::string("42"));
  timeSends(state, tracker, [&] { tracker.sendData(); });
}
BENCHMARK(BM_SendData)->UseManualTime();

// The C tracker's own C++ object, reached through the handle table, is
// pointed at the quiet center and filled the same way.
void BM_CSend(benchmark::State& state) {
  setUpOnce();
  qx_tracker* handle = qx_tracker_new(410501, 7);
  qx_tracker_add_permanent_data(handle, "user_id", "42");
  std::shared_ptr<Quorvex> tracker = QXCTrackers::shared().find(handle, "tracker");
  tracker->changeNotificationCenter(QXQuietBenchCenter());
  timeSends(state, *tracker, [&] {
    if (qx_tracker_send(handle) != QX_OK) std::abort();
  });
  tracker.reset();
  qx_tracker_free(handle);
}
BENCHMARK(BM_CSend)->UseManualTime();

// Filling the benchmark's hit (15 variables, 3 products) through each API;
// the hit is cleared, not sent, between iterations.
void BM_FillCpp(benchmark::State& state) {
  setUpOnce();
  Quorvex tracker(410501, 7, QXQuietBenchCenter());
  for (auto _ : state) {
    QXFillBenchHit(tracker);
    state.PauseTiming();
    tracker.clearData();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FillCpp);

void BM_FillC(benchmark::State& state) {
  setUpOnce();
  static const char* const kPages[] = {"home", "search results", "product/42?ref=mail&x=1",
                                       "checkout"};
  qx_tracker* tracker = qx_tracker_new(410501, 7);
  qx_product* products[3];
  for (int p = 0; p < 3; ++p) {
    products[p] = qx_product_new();
    qx_product_set(products[p], QX_PRODUCT_ID, ("SKU-" + std::to_string(1000 + p)).c_str());
    qx_product_set(products[p], QX_PRODUCT_NAME, "Running shoe \"Fast & Light\"");
    qx_product_set(products[p], QX_PRODUCT_QUANTITY, "1");
    qx_product_set(products[p], QX_PRODUCT_PRICE, "59.90");
    qx_product_set(products[p], QX_PRODUCT_CATEGORY, "shoes/running");
  }
  std::vector<std::string> keys;
  for (int i = 0; i < 15; ++i)
    keys.push_back("var" + std::to_string(i));
  for (auto _ : state) {
    for (int i = 0; i < 15; ++i)
      qx_tracker_add_data(tracker, keys[i].c_str(), kPages[i % 4]);
    for (qx_product* product : products)
      qx_tracker_add_product(tracker, "basket", product);
    state.PauseTiming();
    qx_tracker_clear_data(tracker);
    state.ResumeTiming();
  }
  for (qx_product* product : products)
    qx_product_free(product);
  qx_tracker_free(tracker);
}
BENCHMARK(BM_FillC);

}  // namespace
