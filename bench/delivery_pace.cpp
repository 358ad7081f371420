// Delivery against a collector that fails a share of requests: hits
// executed at a steady rate for a while, to a collector on loopback (in this
// process) that answers 503 without Retry-After to a share of requests at
// random and 200 to the rest, on the real Linux platform.
//
//   delivery_pace [--rate HITS_PER_SECOND] [--seconds S] [--fail PERCENT]
//                 [--connections C]
//
// Reports the offered rate, the rate of hits delivered while hits were being
// executed (and the slowest second of it), the requests that failed, and
// whether a flush of as long as the run delivered every hit. Exits non-zero
// when a hit was not delivered.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"
#include "platform/QXLinuxPlatform.h"
#include "tools/collector/QXCollector.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PaceOptions {
  int rate = 1000;
  int seconds = 30;
  int failPercent = 20;
  int connections = 4;
};

bool parseArguments(int argc, char** argv, PaceOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const int value = std::atoi(argv[++i]);
    if (arg == "--rate") {
      options.rate = value;
    } else if (arg == "--seconds") {
      options.seconds = value;
    } else if (arg == "--fail") {
      options.failPercent = value;
    } else if (arg == "--connections") {
      options.connections = value;
    } else {
      return false;
    }
  }
  return options.rate > 0 && options.seconds > 0 && options.failPercent >= 0 &&
         options.failPercent < 100 && options.connections > 0;
}

// A request's fate, at random but the same for the same request number
// (splitmix64), so that runs compare.
bool fails(size_t index, int percent) {
  uint64_t z = static_cast<uint64_t>(index) + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<int>(z % 100) < percent;
}

}  // namespace

int main(int argc, char** argv) {
  PaceOptions pace;
  if (!parseArguments(argc, argv, pace)) {
    std::fprintf(stderr,
                 "usage: delivery_pace [--rate HITS_PER_SECOND] [--seconds S] [--fail PERCENT] "
                 "[--connections C]\n");
    return 2;
  }
  const int total = pace.rate * pace.seconds;
  std::atomic<size_t> failed{0};
  std::mutex mutex;
  std::vector<Clock::time_point> delivered;
  delivered.reserve(static_cast<size_t>(total));

  QXCollector collector;
  collector.setResponder([&](const QXCollector::Request&, size_t index) {
    if (fails(index, pace.failPercent)) {
      ++failed;
      return QXCollector::Response::withStatus(503);
    }
    std::lock_guard<std::mutex> lock(mutex);
    delivered.push_back(Clock::now());
    return QXCollector::Response::withStatus(200);
  });
  if (!collector.start().ok()) {
    std::fprintf(stderr, "cannot start the collector\n");
    return 1;
  }
  char pattern[] = "/tmp/quorvex-pace-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  QXLinuxPlatform::Options platformOptions;
  platformOptions.dataDirectory = directory + "/data";
  platformOptions.bundleIdentifier = "com.quorvex.pace";
  QXPlatform::install(std::make_shared<QXLinuxPlatform>(platformOptions));

  Quorvex tracker(410501, 7);
  tracker.setUrl(collector.url("/7/"));
  QXNetworkManager& manager = QXNetworkManager::sharedInstance();
  QXDeliveryOptions options = manager.options();
  options.maxConnections = pace.connections;
  manager.setOptions(options);

  // Executed on a steady clock: hit i at start + i / rate.
  const auto start = Clock::now();
  for (int i = 0; i < total; ++i) {
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(static_cast<int64_t>(i) * 1000000 / pace.rate));
    tracker.addData("seq", std::to_string(i));
    tracker.addData("page", "/catalogue/item");
    tracker.sendData();
  }
  const auto offeredEnd = Clock::now();
  const bool flushed = manager.flush(std::chrono::seconds(pace.seconds));
  const double flushSeconds = std::chrono::duration<double>(Clock::now() - offeredEnd).count();
  const double offeredSeconds = std::chrono::duration<double>(offeredEnd - start).count();
  const QXDeliveryCounters counters = manager.counters();

  std::vector<int> perSecond(static_cast<size_t>(pace.seconds), 0);
  size_t duringRun = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (const Clock::time_point at : delivered) {
      if (at > offeredEnd) continue;
      ++duringRun;
      const auto second = std::chrono::duration_cast<std::chrono::seconds>(at - start).count();
      if (second >= 0 && second < pace.seconds) ++perSecond[static_cast<size_t>(second)];
    }
  }
  // The first second fills the pipe; the slowest of the others is the figure.
  const int slowest =
      pace.seconds > 1 ? *std::min_element(perSecond.begin() + 1, perSecond.end()) : perSecond[0];
  std::printf("offered: %d hits at %d/s for %.1f s; %d%% of requests answered 503\n", total,
              pace.rate, offeredSeconds, pace.failPercent);
  std::printf(
      "delivered while offered: %.0f hits/s (%.0f%% of the offered rate); slowest second "
      "after the first: %d hits\n",
      static_cast<double>(duringRun) / offeredSeconds,
      100.0 * static_cast<double>(duringRun) / offeredSeconds / pace.rate, slowest);
  std::printf("requests answered 503: %zu; retried %llu, dropped %llu\n", failed.load(),
              static_cast<unsigned long long>(counters.retried),
              static_cast<unsigned long long>(counters.dropped));
  std::printf("flush: %s after %.3f s; delivered %llu of %d, pending %zu\n",
              flushed ? "drained" : "NOT DRAINED", flushSeconds,
              static_cast<unsigned long long>(counters.sent), total, counters.pending);
  collector.stop();
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return flushed && counters.sent == static_cast<uint64_t>(total) ? 0 : 1;
}
