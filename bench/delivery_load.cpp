// End-to-end delivery under load: hits executed by a tracker, to a
// collector on loopback (`quorvex collect` in a process of its own, or one
// in this process with --in-process), on the real Linux platform.
//
//   delivery_load [--hits N] [--connections C] [--in-process] [--tool PATH]
//
// Reports the time to create the first tracker; then, for N hits each:
//   tracked-and-delivered  hits posted as fast as one thread can while the
//                          SDK delivers, until the outbox is empty;
//   backlog drain          hits posted while in background, then the time
//                          from the return to foreground until empty;
// the cost of each execute on the caller's thread (median, p99), that every
// hit arrived (none lost, duplicates counted), the outbox file's size once
// drained, and the process's peak resident memory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "bench/QXBenchHit.h"
#include "core/QXCoreConstants.h"
#include "core/QXNetworkManager.h"
#include "platform/QXApplication.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXNotificationCenter.h"
#include "tools/collector/QXCollector.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A realistic hit, and "seq", which names it for the check that none was lost.
void fillHit(Quorvex& tracker, const std::string& phase, int index) {
  tracker.addData("seq", phase + "-" + std::to_string(index));
  QXFillBenchHit(tracker, index);
}

// The "seq" field of a body.
std::string sequenceOf(const std::string& body) {
  const size_t at = body.rfind("&seq=");
  if (at == std::string::npos) return std::string();
  const size_t end = body.find('&', at + 1);
  return body.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

// `quorvex collect --out FILE` in a process of its own.
struct ToolCollector {
  pid_t pid = -1;
  uint16_t port = 0;

  bool start(const std::string& tool, const std::string& out) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args = {tool, "collect", "--out", out};
    std::vector<char*> argv;
    for (auto& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);
    if (rc != 0) return false;
    std::string text;
    char chunk[256];
    while (text.find('\n') == std::string::npos) {
      pollfd fd{err[0], POLLIN, 0};
      if (::poll(&fd, 1, 10000) <= 0) break;
      const ssize_t n = ::read(err[0], chunk, sizeof chunk);
      if (n <= 0) break;
      text.append(chunk, static_cast<size_t>(n));
    }
    ::close(err[0]);
    const size_t at = text.find("127.0.0.1:");
    if (at == std::string::npos) return false;
    port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 10));
    return port != 0;
  }

  void stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
  }
};

struct Latencies {
  std::vector<double> microseconds;
  double percentile(double p) {
    if (microseconds.empty()) return 0;
    std::sort(microseconds.begin(), microseconds.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(microseconds.size() - 1));
    return microseconds[index];
  }
};

double timedExecute(Quorvex& tracker, const QXAppVars& appVars) {
  const auto start = Clock::now();
  tracker.execute(appVars);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Resident memory now, in MB (VmRSS).
double residentMegabytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

off_t sizeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int hits = 20000;
  int connections = 4;
  bool inProcess = false;
  std::string tool;
#ifdef QUORVEX_TOOL_PATH
  tool = QUORVEX_TOOL_PATH;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hits" && i + 1 < argc) {
      hits = std::atoi(argv[++i]);
    } else if (arg == "--connections" && i + 1 < argc) {
      connections = std::atoi(argv[++i]);
    } else if (arg == "--in-process") {
      inProcess = true;
    } else if (arg == "--tool" && i + 1 < argc) {
      tool = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: delivery_load [--hits N] [--connections C] [--in-process] "
                   "[--tool PATH]\n");
      return 2;
    }
  }
  if (tool.empty()) inProcess = true;

  char pattern[] = "/tmp/quorvex-load-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  const std::string dataDirectory = directory + "/data";
  const std::string outFile = directory + "/bodies.txt";

  ToolCollector external;
  std::unique_ptr<QXCollector> internal;
  std::string url;
  if (inProcess) {
    QXCollector::Options options;
    options.keepRequests = true;
    internal = std::make_unique<QXCollector>(options);
    if (!internal->start().ok()) return 1;
    url = internal->url("/7/");
  } else {
    if (!external.start(tool, outFile)) {
      std::fprintf(stderr, "cannot start %s collect\n", tool.c_str());
      return 1;
    }
    url = "http://127.0.0.1:" + std::to_string(external.port) + "/7/";
  }

  QXLinuxPlatform::Options platformOptions;
  platformOptions.dataDirectory = dataDirectory;
  platformOptions.bundleIdentifier = "com.quorvex.load";
  QXPlatform::install(std::make_shared<QXLinuxPlatform>(platformOptions));

  const auto trackerStart = Clock::now();
  Quorvex tracker(410501, 7);
  tracker.setUrl(url);
  tracker.addPermanentData("user_id", std::string("42"));
  QXAppVars appVars;
  appVars.addData("event", std::string("purchase"));
  const double firstTracker = secondsSince(trackerStart);
  const auto secondStart = Clock::now();
  Quorvex second(410502, 8);
  const double secondTracker = secondsSince(secondStart);
  const double residentAtStart = residentMegabytes();

  QXNetworkManager& manager = QXNetworkManager::sharedInstance();
  QXDeliveryOptions options = manager.options();
  options.maxConnections = connections;
  // Both phases queue every hit at once; the default bound (10,000) would
  // drop the oldest of them, which is not what is measured here.
  options.maxQueuedHits = std::max<size_t>(options.maxQueuedHits, static_cast<size_t>(hits) * 2);
  manager.setOptions(options);

  // Tracked and delivered.
  Latencies tracked;
  tracked.microseconds.reserve(static_cast<size_t>(hits));
  const auto trackedStart = Clock::now();
  for (int i = 0; i < hits; ++i) {
    fillHit(tracker, "t", i);
    tracked.microseconds.push_back(timedExecute(tracker, appVars));
  }
  const double trackedPosting = secondsSince(trackedStart);
  const bool trackedFlushed = manager.flush(std::chrono::minutes(5));
  const double trackedSeconds = secondsSince(trackedStart);
  if (manager.pause() == QXDeliveryPause::kOffline) {
    std::fprintf(stderr,
                 "this machine has no network interface but loopback, so the SDK holds the hits "
                 "back as offline\n");
  }

  // A backlog queued in background, drained from the return to foreground.
  QXApplication::didEnterBackground();
  Latencies backlog;
  backlog.microseconds.reserve(static_cast<size_t>(hits));
  for (int i = 0; i < hits; ++i) {
    fillHit(tracker, "b", i);
    backlog.microseconds.push_back(timedExecute(tracker, appVars));
  }
  const off_t backlogFile =
      sizeOf(dataDirectory + "/outbox.sqlite") + sizeOf(dataDirectory + "/outbox.sqlite-wal");
  const auto drainStart = Clock::now();
  QXApplication::willEnterForeground();
  const bool drainFlushed = manager.flush(std::chrono::minutes(5));
  const double drainSeconds = secondsSince(drainStart);
  const off_t drainedFile =
      sizeOf(dataDirectory + "/outbox.sqlite") + sizeOf(dataDirectory + "/outbox.sqlite-wal");
  const QXDeliveryCounters counters = manager.counters();

  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);

  // What the collector received.
  std::vector<std::string> received;
  if (inProcess) {
    internal->stop();
    for (const auto& request : internal->requests())
      received.push_back(request.body);
  } else {
    external.stop();
    std::ifstream in(outFile);
    for (std::string line; std::getline(in, line);)
      received.push_back(line);
  }
  std::set<std::string> seen;
  size_t duplicates = 0;
  size_t bodyBytes = 0;
  for (const std::string& body : received) {
    if (!seen.insert(sequenceOf(body)).second) ++duplicates;
    bodyBytes = std::max(bodyBytes, body.size());
  }
  size_t missing = 0;
  for (const char* phase : {"t", "b"}) {
    for (int i = 0; i < hits; ++i) {
      if (seen.count(std::string(phase) + "-" + std::to_string(i)) == 0) ++missing;
    }
  }

  std::printf("collector: %s, connections: %d, hits per phase: %d, body: up to %zu bytes\n",
              inProcess ? "in-process" : "quorvex collect", connections, hits, bodyBytes);
  std::printf("first tracker ready: %.3f ms (second: %.3f ms)\n", firstTracker * 1000,
              secondTracker * 1000);
  std::printf("tracked and delivered: %.0f hits/s (%d hits in %.3f s; executing took %.3f s)%s\n",
              hits / trackedSeconds, hits, trackedSeconds, trackedPosting,
              trackedFlushed ? "" : " NOT DRAINED");
  std::printf("  execute on the caller's thread: median %.1f us, p99 %.1f us\n",
              tracked.percentile(0.5), tracked.percentile(0.99));
  std::printf("backlog drain: %.0f hits/s (%d hits in %.3f s)%s\n", hits / drainSeconds, hits,
              drainSeconds, drainFlushed ? "" : " NOT DRAINED");
  std::printf("  execute while in background: median %.1f us, p99 %.1f us\n",
              backlog.percentile(0.5), backlog.percentile(0.99));
  std::printf("received: %zu requests, %zu distinct hits, %zu duplicates, %zu missing\n",
              received.size(), seen.size(), duplicates, missing);
  std::printf("counters: queued %llu, sent %llu, retried %llu, dropped %llu, pending %zu\n",
              static_cast<unsigned long long>(counters.queued),
              static_cast<unsigned long long>(counters.sent),
              static_cast<unsigned long long>(counters.retried),
              static_cast<unsigned long long>(counters.dropped), counters.pending);
  std::printf("outbox file: %.1f MB with the backlog queued, %lld bytes once drained\n",
              static_cast<double>(backlogFile) / 1e6, static_cast<long long>(drainedFile));
  std::printf("peak resident memory: %.1f MB (%.1f MB once the trackers existed)\n",
              static_cast<double>(usage.ru_maxrss) / 1024.0, residentAtStart);

  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return missing == 0 && trackedFlushed && drainFlushed ? 0 : 1;
}
