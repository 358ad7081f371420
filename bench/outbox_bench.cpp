// What handing a hit over costs the caller's thread: posting a request
// notification with a realistic 3.5 KB body on a center, observed by a
// no-op observer (the notification alone, no outbox) or by the network
// manager (the hit stored in the outbox). On one thread and on two: the
// time is per post on each thread, items/s over both. Delivery end to end
// is measured by delivery_load.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "core/QXCoreConstants.h"
#include "core/QXNetworkManager.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXNotificationCenter.h"
#include "tools/collector/QXCollector.h"

namespace {

// About 90 fields and 3.5 KB, shaped like a hit: "#QX_...#" names, encoded.
std::string hitBody() {
  std::string body;
  for (int i = 0; body.size() < 3500; ++i) {
    if (i > 0) body += "&";
    body += "%23QX_PREDEFINED_VARIABLE_" + std::to_string(i) + "%23=";
    body += "value%20of%20variable%20" + std::to_string(i * 7919);
  }
  return body;
}

QXNotification requestNotification(const std::string& url) {
  QXUserInfo userInfo;
  userInfo[kQXUserInfo_URLKey] = url;
  userInfo[kQXUserInfo_POSTData] = hitBody();
  return QXNotification::notificationWithName(kQXNotification_HTTPRequest, nullptr, userInfo);
}

struct Environment {
  std::filesystem::path directory;
  std::unique_ptr<QXCollector> collector;
};

// The manager, its outbox in a fresh directory, and a collector, made once.
Environment& environment() {
  static Environment* made = [] {
    auto* created = new Environment;
    char pattern[] = "/tmp/quorvex-bench-XXXXXX";
    created->directory = ::mkdtemp(pattern);
    // Registered before the manager exists, so it runs after the manager's
    // own exit handler has stopped the worker.
    std::atexit([] { std::filesystem::remove_all(environment().directory); });
    auto platform = QXFakePlatform::installNew();
    platform->setDataDirectory(created->directory.string());
    QXCollector::Options options;
    options.keepRequests = false;
    created->collector = std::make_unique<QXCollector>(options);
    if (!created->collector->start().ok()) std::abort();
    QXNetworkManager::sharedInstance();
    return created;
  }();
  return *made;
}

void BM_PostRequest_NoOutbox(benchmark::State& state) {
  static const auto center = [] {
    auto made = QXNotificationCenter::create();
    made->addObserver(&made, kQXNotification_HTTPRequest, [](const QXNotification& notification) {
      benchmark::DoNotOptimize(notification.userInfo->size());
    });
    return made;
  }();
  const QXNotification notification = requestNotification("http://127.0.0.1:9/7/");
  for (auto _ : state)
    center->postNotification(notification);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostRequest_NoOutbox)->Threads(1)->Threads(2)->UseRealTime();

// The manager stores each hit; in background nothing is sent, so the time
// is the caller's alone. `maxQueuedHits` from the argument: with 10,000
// (the default) the outbox soon sits at its bound and the worker trims it
// in batches meanwhile; with 10,000,000 (run second) it only grows.
void BM_PostRequest_Outbox(benchmark::State& state) {
  Environment& env = environment();
  const auto center = QXNotificationCenter::defaultCenter();
  if (state.thread_index() == 0) {
    QXNetworkManager& manager = QXNetworkManager::sharedInstance();
    QXDeliveryOptions options = manager.options();
    options.maxQueuedHits = static_cast<size_t>(state.range(0));
    manager.setOptions(options);
    center->postNotification(
        QXNotification::notificationWithName(kQXNotification_OnBackground, nullptr));
  }
  const QXNotification notification = requestNotification(env.collector->url("/7/"));
  for (auto _ : state)
    center->postNotification(notification);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostRequest_Outbox)
    ->ArgName("maxQueuedHits")
    ->Arg(10000)
    ->Arg(10000000)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

}  // namespace
