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

#include "QXSDK/Quorvex.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXNotificationCenter.h"

namespace {

std::string makeTemporaryDirectory() {
  char directory[] = "/tmp/quorvex-startup-XXXXXX";
  if (::mkdtemp(directory) == nullptr) std::abort();
  return directory;
}

// Runs in the child: the host's start-up as the README shows it.
int64_t timeFirstTracker(const std::string& dataDirectory) {
  const auto start = std::chrono::steady_clock::now();
  QXLinuxPlatform::Options options;
  options.dataDirectory = dataDirectory;
  options.bundleIdentifier = "com.example.startup";
  options.infoDictionary[kQXBundleShortVersionStringKey] = "3.1.0";
  options.infoDictionary[kQXBundleVersionKey] = "310";
  options.localeIdentifier = "fr_FR";
  QXPlatform::install(std::make_shared<QXLinuxPlatform>(options));
  Quorvex tracker(410501, 7, QXNotificationCenter::create());
  const auto ready = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(ready - start).count();
}

// Forks a child that times its first tracker; the child's figure in ns, or
// -1 when the child failed.
int64_t launchOnce(const std::string& dataDirectory) {
  int channel[2];
  if (::pipe(channel) != 0) return -1;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::close(channel[0]);
    const int64_t ns = timeFirstTracker(dataDirectory);
    const bool written = ::write(channel[1], &ns, sizeof ns) == static_cast<ssize_t>(sizeof ns);
    // No exit handlers: the parent's, inherited by fork, are not the child's.
    ::_exit(written ? 0 : 1);
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

void BM_FirstTracker(benchmark::State& state) {
  const bool newInstallation = state.range(0) == 0;
  state.SetLabel(newInstallation ? "new_installation" : "later_launch");
  const std::string reused = makeTemporaryDirectory();
  if (!newInstallation && launchOnce(reused) < 0) {
    state.SkipWithError("the first launch failed");
    return;
  }
  std::vector<int64_t> launches;
  for (auto _ : state) {
    std::string directory = reused;
    if (newInstallation) {
      state.PauseTiming();
      directory = makeTemporaryDirectory();
      state.ResumeTiming();
    }
    const int64_t ns = launchOnce(directory);
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
BENCHMARK(BM_FirstTracker)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);

}  // namespace
