// The cost of a hit on the caller's thread: Quorvex::execute with the
// registry's full store, 15 variables and a 3-product basket, posted on a
// center whose only observer does nothing. Beside it, the part of that cost
// that is the body builder (merging the four stores and rendering), so that
// the share spent elsewhere (refresh, persistence of the hit's dates,
// notification, clearing) can be read off.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPostData.h"
#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"
#include "bench/QXBenchHit.h"
#include "core/QXNetworkManager.h"
#include "platform/QXApplication.h"
#include "platform/QXLinuxPlatform.h"

namespace {

// The real platform, with its files in a fresh directory.
void setUpOnce() {
  static bool done = [] {
    char directory[] = "/tmp/quorvex-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) std::abort();
    QXLinuxPlatform::Options options;
    options.dataDirectory = directory;
    options.bundleIdentifier = "com.example.bench";
    options.infoDictionary[kQXBundleShortVersionStringKey] = "3.1.0";
    QXPlatform::install(std::make_shared<QXLinuxPlatform>(options));
    QXPredefinedVariables& registry = QXPredefinedVariables::sharedInstance();
    // At least 70 entries, so that figures stay comparable with those taken
    // before every launch step wrote its variables.
    for (int i = registry.dynamicStore().count(); i < 70; ++i) {
      registry.addData("#QX_DEVICE_VARIABLE_" + std::to_string(i) + "#", std::string("iPhone10,3"));
    }
    return true;
  }();
  (void)done;
}

// Times each execute on its own (filling the hit's variables is not part of
// it) and reports the median and the 99th percentile beside the mean.
void timeExecutes(benchmark::State& state, Quorvex& tracker, const QXAppVars& appVars) {
  std::vector<double> microseconds;
  microseconds.reserve(1 << 16);
  for (auto _ : state) {
    QXFillBenchHit(tracker);
    const auto start = std::chrono::steady_clock::now();
    tracker.execute(appVars);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    microseconds.push_back(took.count() * 1e6);
  }
  state.SetItemsProcessed(state.iterations());
  if (microseconds.empty()) return;
  std::sort(microseconds.begin(), microseconds.end());
  state.counters["p50_us"] = microseconds[microseconds.size() / 2];
  state.counters["p99_us"] = microseconds[microseconds.size() * 99 / 100];
}

void addPurchase(QXAppVars& appVars) {
  appVars.addData("event", std::string("purchase"));
}

void BM_Execute(benchmark::State& state) {
  setUpOnce();
  Quorvex tracker(410501, 7, QXQuietBenchCenter());
  tracker.addPermanentData("user_id", std::string("42"));
  QXAppVars appVars;
  addPurchase(appVars);
  timeExecutes(state, tracker, appVars);
  state.counters["body_bytes"] = static_cast<double>(tracker.getPostData(&appVars).size());
}
BENCHMARK(BM_Execute)->Threads(1)->Threads(2)->UseManualTime();

// The same with the core's delivery observing the default center: each hit
// is in the journal, in the kernel's hands, before execute returns. The
// application stays in background, so nothing is sent meanwhile; the worker
// only takes the hits into the outbox.
void BM_ExecuteWithOutbox(benchmark::State& state) {
  setUpOnce();
  static const bool quiet = [] {
    QXNetworkManager& network = QXNetworkManager::sharedInstance();
    QXDeliveryOptions options = network.options();
    options.maxQueuedHits = 100000000;
    options.maxQueuedBytes = 0;
    network.setOptions(options);
    QXApplication::didEnterBackground();
    return true;
  }();
  (void)quiet;
  Quorvex tracker(410501, 7);
  tracker.setUrl("http://127.0.0.1:9/7/");
  tracker.addPermanentData("user_id", std::string("42"));
  QXAppVars appVars;
  addPurchase(appVars);
  timeExecutes(state, tracker, appVars);
}
BENCHMARK(BM_ExecuteWithOutbox)->Threads(1)->Threads(2)->UseManualTime();

// A burst without end under the default bounds (10,000 hits, 32 MB), the
// collector unreachable: past the bounds, each new hit costs the oldest,
// which the worker leaves out as it reads the journal. What the caller
// pays then, hit after hit.
void BM_ExecuteBurstPastTheBounds(benchmark::State& state) {
  setUpOnce();
  QXNetworkManager& network = QXNetworkManager::sharedInstance();
  network.setOptions(QXDeliveryOptions());
  QXApplication::didEnterBackground();
  Quorvex tracker(410501, 7);
  tracker.setUrl("http://127.0.0.1:9/7/");
  tracker.addPermanentData("user_id", std::string("42"));
  QXAppVars appVars;
  addPurchase(appVars);
  timeExecutes(state, tracker, appVars);
  state.counters["dropped"] = static_cast<double>(network.counters().dropped);
}
BENCHMARK(BM_ExecuteBurstPastTheBounds)->Threads(1)->Threads(4)->UseManualTime();

// Building the same body alone: a new builder, the four stores, rendering.
void BM_BodyBuilder(benchmark::State& state) {
  setUpOnce();
  Quorvex tracker(410501, 7, QXQuietBenchCenter());
  tracker.addPermanentData("user_id", std::string("42"));
  QXFillBenchHit(tracker);
  QXAppVars appVars;
  appVars.addData("event", std::string("purchase"));
  QXDynamicStore& registry = QXPredefinedVariables::sharedInstance().dynamicStore();
  for (auto _ : state) {
    QXPostData postData;
    postData.insertStore(registry);
    postData.insertStore(tracker.dynamicStore());
    postData.insertStore(tracker.permanentStore());
    postData.insertStore(appVars.dynamicStore());
    benchmark::DoNotOptimize(postData.getParameters());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BodyBuilder)->Threads(1)->Threads(2)->UseRealTime();

// The per-hit refresh of the registry alone (dates, durations, counters,
// and the three labels it persists).
void BM_RegistryRefresh(benchmark::State& state) {
  setUpOnce();
  QXPredefinedVariables& registry = QXPredefinedVariables::sharedInstance();
  for (auto _ : state)
    registry.computeTimeChangingVariables();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegistryRefresh);

}  // namespace
