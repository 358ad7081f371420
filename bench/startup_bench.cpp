// The cost of a process's first tracker: from installing the real Linux
// platform to a constructed Quorvex, which is when the registry has run its
// 29 launch steps (device, locale, network, bundle, version history, visits,
// usage figures) and the tracker can take its first hit.
//
// A process makes its first tracker once, so every iteration is a new child
// process (fork) that measures itself and reports through a pipe; the parent
// records that figure as the iteration's time. The children share the
// parent's loaded libraries, as a real process has them once it runs main().
//
//   BM_FirstTracker/new_installation   an empty data directory every time
//   BM_FirstTracker/later_launch       the same data directory, launched before
//   BM_FirstHit/...                    the first execute of such a process, with
//                                      the delivery observing
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/Quorvex.h"
#include "bench/QXBenchHit.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXNotificationCenter.h"

namespace {

std::string makeTemporaryDirectory() {
  char directory[] = "/tmp/quorvex-startup-XXXXXX";
  if (::mkdtemp(directory) == nullptr) std::abort();
  return directory;
}

void installPlatform(const std::string& dataDirectory) {
  QXLinuxPlatform::Options options;
  options.dataDirectory = dataDirectory;
  options.bundleIdentifier = "com.example.startup";
  options.infoDictionary[kQXBundleShortVersionStringKey] = "3.1.0";
  options.infoDictionary[kQXBundleVersionKey] = "310";
  options.localeIdentifier = "fr_FR";
  QXPlatform::install(std::make_shared<QXLinuxPlatform>(options));
}

int64_t nanosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              start)
      .count();
}

// Runs in the child: the host's start-up as the README shows it.
int64_t timeFirstTracker(const std::string& dataDirectory) {
  const auto start = std::chrono::steady_clock::now();
  installPlatform(dataDirectory);
  Quorvex tracker(410501, 7, QXNotificationCenter::create());
  return nanosecondsSince(start);
}

// Runs in the child: the first hit of the process, with the delivery
// observing, which makes the journal's first segment, starts the worker and
// sets the transport up.
int64_t timeFirstHit(const std::string& dataDirectory) {
  installPlatform(dataDirectory);
  Quorvex tracker(410501, 7);
  tracker.setUrl("http://127.0.0.1:9/7/");
  QXFillBenchHit(tracker);
  QXAppVars appVars;
  appVars.addData("event", std::string("purchase"));
  const auto start = std::chrono::steady_clock::now();
  tracker.execute(appVars);
  return nanosecondsSince(start);
}

using Measure = int64_t (*)(const std::string& dataDirectory);

// Forks a child that times its first tracker; the child's figure in ns, or
// -1 when the child failed.
int64_t launchOnce(const std::string& dataDirectory, Measure measure) {
  int channel[2];
  if (::pipe(channel) != 0) return -1;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::close(channel[0]);
    const int64_t ns = measure(dataDirectory);
    const bool written = ::write(channel[1], &ns, sizeof ns) == static_cast<ssize_t>(sizeof ns);
    // A normal exit, as an application's: the SDK's exit handler stops its
    // threads, and the next launch finds what such an exit leaves.
    std::exit(written ? 0 : 1);
  }
  ::close(channel[1]);
  int64_t ns = -1;
  if (::read(channel[0], &ns, sizeof ns) != static_cast<ssize_t>(sizeof ns)) ns = -1;
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return ns;
}

// Launches in children, each measuring itself: on an empty data directory
// every time (state.range(0) == 0) or on one launched before.
void runLaunches(benchmark::State& state, Measure measure) {
  const bool newInstallation = state.range(0) == 0;
  state.SetLabel(newInstallation ? "new_installation" : "later_launch");
  const std::string reused = makeTemporaryDirectory();
  if (!newInstallation && launchOnce(reused, measure) < 0) {
    state.SkipWithError("the first launch failed");
    return;
  }
  std::vector<int64_t> launches;
  for (auto _ : state) {
    std::string directory = reused;
    state.PauseTiming();
    if (newInstallation) directory = makeTemporaryDirectory();
    // What the launches before wrote goes to the disk first, as it has long
    // since when an application starts again.
    ::sync();
    state.ResumeTiming();
    const int64_t ns = launchOnce(directory, measure);
    if (ns < 0) {
      state.SkipWithError("a launch failed");
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) * 1e-9);
    launches.push_back(ns);
    if (newInstallation) {
      state.PauseTiming();
      std::filesystem::remove_all(directory);
      state.ResumeTiming();
    }
  }
  std::filesystem::remove_all(reused);
  if (launches.empty()) return;
  // One slow launch (a page-cache miss, the other core busy) moves the mean;
  // the median is the figure a user sees.
  std::sort(launches.begin(), launches.end());
  auto percentile = [&](double p) {
    return static_cast<double>(launches[static_cast<size_t>(p * (launches.size() - 1))]) / 1000.0;
  };
  state.counters["p50_us"] = percentile(0.5);
  state.counters["p99_us"] = percentile(0.99);
}

void BM_FirstTracker(benchmark::State& state) {
  runLaunches(state, &timeFirstTracker);
}
BENCHMARK(BM_FirstTracker)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);

void BM_FirstHit(benchmark::State& state) {
  runLaunches(state, &timeFirstHit);
}
BENCHMARK(BM_FirstHit)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(100);

}  // namespace
