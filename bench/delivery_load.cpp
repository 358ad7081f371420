// End-to-end delivery under load: hits executed by a tracker, to a
// collector on loopback, on the real Linux platform. The collector is
// `quorvex collect` in a process of its own (the default), a minimal sink in
// a forked child that only answers and keeps each hit's "seq" (`--sink
// minimal`, so that the SDK's figure is not the collector's), or a collector
// in this process (`--sink in-process`, or `--in-process`).
//
//   delivery_load [--hits N] [--connections C] [--sink collect|minimal|in-process]
//                 [--in-process] [--tool PATH]
//
// Reports the time to create the first tracker; then, for N hits each:
//   tracked-and-delivered  hits posted as fast as one thread can while the
//                          SDK delivers, until the outbox is empty;
//   backlog drain          hits posted while in background, then the time
//                          from the return to foreground until empty;
// the cost of each execute on the caller's thread (median, p99), the
// processor time of each of the SDK's threads while the backlog drains (a
// thread on a processor all the drain long is what bounds it), that every
// hit arrived (none lost, duplicates counted), the CPU time the collector's
// process spent per hit it received, the outbox file's size once drained,
// and the process's peak resident memory.
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
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "bench/QXBenchHit.h"
#include "bench/QXMinimalSink.h"
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

  // Ends the collector; `usage` is its resource usage over its whole life.
  bool stop(rusage& usage) {
    if (pid <= 0) return false;
    ::kill(pid, SIGTERM);
    int status = 0;
    const bool waited = ::wait4(pid, &status, 0, &usage) == pid;
    pid = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

enum class Sink { kCollect, kMinimal, kInProcess };

const char* sinkName(Sink sink) {
  switch (sink) {
    case Sink::kCollect:
      return "quorvex collect";
    case Sink::kMinimal:
      return "minimal sink";
    case Sink::kInProcess:
      return "in-process";
  }
  return "";
}

// What reached the collector, one entry per request.
struct Reception {
  std::vector<std::string> sequences;
  size_t largestBody = 0;
  bool stoppedCleanly = false;
  // The collector's own process; not known in-process.
  std::optional<rusage> usage;

  void add(std::string_view sequence, size_t bytes) {
    sequences.emplace_back(sequence);
    largestBody = std::max(largestBody, bytes);
  }
};

double secondsOf(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// The collector of the run, whichever kind it is.
class LoadCollector {
 public:
  LoadCollector(Sink sink, std::string tool, const std::string& directory)
      : sink_(sink), tool_(std::move(tool)), record_(directory + "/received.txt") {}

  bool start() {
    switch (sink_) {
      case Sink::kCollect:
        if (!external_.start(tool_, record_)) return false;
        url_ = "http://127.0.0.1:" + std::to_string(external_.port) + "/7/";
        return true;
      case Sink::kMinimal:
        if (!minimal_.start(record_)) return false;
        url_ = "http://127.0.0.1:" + std::to_string(minimal_.port()) + "/7/";
        return true;
      case Sink::kInProcess:
        internal_ = std::make_unique<QXCollector>();
        if (!internal_->start().ok()) return false;
        url_ = internal_->url("/7/");
        return true;
    }
    return false;
  }

  const std::string& url() const { return url_; }

  // Ends the collector and reads what it received.
  Reception stop() {
    Reception reception;
    rusage usage{};
    if (sink_ == Sink::kInProcess) {
      internal_->stop();
      for (const auto& request : internal_->requests())
        reception.add(QXSequenceOf(request.body), request.body.size());
      reception.stoppedCleanly = true;
      return reception;
    }
    reception.stoppedCleanly =
        sink_ == Sink::kCollect ? external_.stop(usage) : minimal_.stop(usage);
    reception.usage = usage;
    std::ifstream in(record_);
    for (std::string line; std::getline(in, line);) {
      if (sink_ == Sink::kCollect) {
        reception.add(QXSequenceOf(line), line.size());
      } else {
        const size_t space = line.find(' ');
        reception.add(std::string_view(line).substr(space + 1),
                      std::strtoul(line.c_str(), nullptr, 10));
      }
    }
    return reception;
  }

 private:
  const Sink sink_;
  const std::string tool_;
  const std::string record_;  // what the child collector writes of each hit
  std::string url_;
  ToolCollector external_;
  QXMinimalSink minimal_;
  std::unique_ptr<QXCollector> internal_;
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

// The outbox database with its write-ahead log.
off_t outboxBytes(const std::string& dataDirectory) {
  return sizeOf(dataDirectory + "/outbox.sqlite") + sizeOf(dataDirectory + "/outbox.sqlite-wal");
}

struct LoadOptions {
  int hits = 20000;
  int connections = 4;
  Sink sink = Sink::kCollect;
  std::string tool;
};

// False on a word it does not know.
bool parseArguments(int argc, char** argv, LoadOptions& options) {
#ifdef QUORVEX_TOOL_PATH
  options.tool = QUORVEX_TOOL_PATH;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--hits" && hasValue) {
      options.hits = std::atoi(argv[++i]);
    } else if (arg == "--connections" && hasValue) {
      options.connections = std::atoi(argv[++i]);
    } else if (arg == "--sink" && hasValue) {
      const std::string name = argv[++i];
      if (name == "collect") {
        options.sink = Sink::kCollect;
      } else if (name == "minimal") {
        options.sink = Sink::kMinimal;
      } else if (name == "in-process") {
        options.sink = Sink::kInProcess;
      } else {
        return false;
      }
    } else if (arg == "--in-process") {
      options.sink = Sink::kInProcess;
    } else if (arg == "--tool" && hasValue) {
      options.tool = argv[++i];
    } else {
      return false;
    }
  }
  if (options.tool.empty() && options.sink == Sink::kCollect) options.sink = Sink::kInProcess;
  return true;
}

// Nanoseconds each of the SDK's threads ("qx-...") spent on a processor and
// waiting for one, by name, from the scheduler's figures.
struct ThreadTimes {
  std::map<std::string, std::pair<uint64_t, uint64_t>> byName;

  static ThreadTimes now() {
    ThreadTimes times;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
      std::ifstream commFile(task.path() / "comm");
      std::string name;
      std::getline(commFile, name);
      if (name.rfind("qx-", 0) != 0) continue;
      std::ifstream schedstat(task.path() / "schedstat");
      uint64_t onCpu = 0;
      uint64_t waiting = 0;
      if (schedstat >> onCpu >> waiting) {
        times.byName[name].first += onCpu;
        times.byName[name].second += waiting;
      }
    }
    return times;
  }
};

// One phase of N hits: how long executing them took, and until the outbox
// was empty.
struct Phase {
  Latencies execute;
  double postingSeconds = 0;
  double seconds = 0;
  bool flushed = false;
  // The process's use while the outbox drained (the caller only waits).
  rusage before{};
  rusage after{};
  ThreadTimes threadsBefore;
  ThreadTimes threadsAfter;
};

// Hits posted while the SDK delivers them, until the outbox is empty.
Phase trackAndDeliver(Quorvex& tracker, const QXAppVars& appVars, int hits) {
  Phase phase;
  phase.execute.microseconds.reserve(static_cast<size_t>(hits));
  const auto start = Clock::now();
  for (int i = 0; i < hits; ++i) {
    fillHit(tracker, "t", i);
    phase.execute.microseconds.push_back(timedExecute(tracker, appVars));
  }
  phase.postingSeconds = secondsSince(start);
  phase.flushed = QXNetworkManager::sharedInstance().flush(std::chrono::minutes(5));
  phase.seconds = secondsSince(start);
  return phase;
}

// Hits queued in background, then drained from the return to foreground.
// `queuedFile` is the outbox file's size with all of them queued.
Phase drainBacklog(Quorvex& tracker, const QXAppVars& appVars, int hits, off_t& queuedFile,
                   const std::string& dataDirectory) {
  Phase phase;
  QXApplication::didEnterBackground();
  phase.execute.microseconds.reserve(static_cast<size_t>(hits));
  for (int i = 0; i < hits; ++i) {
    fillHit(tracker, "b", i);
    phase.execute.microseconds.push_back(timedExecute(tracker, appVars));
  }
  queuedFile = outboxBytes(dataDirectory);
  ::getrusage(RUSAGE_SELF, &phase.before);
  phase.threadsBefore = ThreadTimes::now();
  const auto start = Clock::now();
  QXApplication::willEnterForeground();
  phase.flushed = QXNetworkManager::sharedInstance().flush(std::chrono::minutes(5));
  phase.seconds = secondsSince(start);
  ::getrusage(RUSAGE_SELF, &phase.after);
  phase.threadsAfter = ThreadTimes::now();
  return phase;
}

// Every hit of both phases arrived at least once; `duplicates` counts the
// ones that arrived more than once.
size_t countMissing(const Reception& reception, int hits, size_t& duplicates, size_t& distinct) {
  std::set<std::string> seen;
  duplicates = 0;
  for (const std::string& sequence : reception.sequences) {
    if (!seen.insert(sequence).second) ++duplicates;
  }
  distinct = seen.size();
  size_t missing = 0;
  for (const char* phase : {"t", "b"}) {
    for (int i = 0; i < hits; ++i) {
      if (seen.count(std::string(phase) + "-" + std::to_string(i)) == 0) ++missing;
    }
  }
  return missing;
}

void printCollectorCpu(const Reception& reception) {
  if (!reception.usage || reception.sequences.empty()) {
    std::printf("collector CPU: not measured (%s)\n",
                reception.usage ? "no hit received" : "it shares this process");
    return;
  }
  const double user = secondsOf(reception.usage->ru_utime);
  const double system = secondsOf(reception.usage->ru_stime);
  const auto hits = static_cast<double>(reception.sequences.size());
  const auto switches =
      static_cast<double>(reception.usage->ru_nvcsw + reception.usage->ru_nivcsw) / hits;
  std::printf(
      "collector CPU: %.1f us per hit received (user %.1f + system %.1f; %.3f s for %zu hits; "
      "%.2f context switches a hit)%s\n",
      (user + system) * 1e6 / hits, user * 1e6 / hits, system * 1e6 / hits, user + system,
      reception.sequences.size(), switches,
      reception.stoppedCleanly ? "" : ", NOT STOPPED CLEANLY");
}

// Everything measured on the SDK's side of one run.
struct LoadRun {
  double firstTracker = 0;   // seconds
  double secondTracker = 0;  // seconds
  double residentAtStart = 0;
  Phase tracked;
  Phase backlog;
  off_t backlogFile = 0;
  off_t drainedFile = 0;
  QXDeliveryCounters counters;
  rusage usage{};
};

// Both phases, against the collector at `url`, on the real platform.
LoadRun runLoad(const LoadOptions& load, const std::string& url, const std::string& dataDirectory) {
  LoadRun run;
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
  run.firstTracker = secondsSince(trackerStart);
  const auto secondStart = Clock::now();
  Quorvex second(410502, 8);
  run.secondTracker = secondsSince(secondStart);
  run.residentAtStart = residentMegabytes();

  QXNetworkManager& manager = QXNetworkManager::sharedInstance();
  QXDeliveryOptions options = manager.options();
  options.maxConnections = load.connections;
  // Both phases queue every hit at once; the default bounds (10,000 hits,
  // 32 MB) would drop the oldest of them, which is not what is measured here.
  options.maxQueuedHits =
      std::max<size_t>(options.maxQueuedHits, static_cast<size_t>(load.hits) * 2);
  options.maxQueuedBytes = 0;
  manager.setOptions(options);

  run.tracked = trackAndDeliver(tracker, appVars, load.hits);
  if (manager.pause() == QXDeliveryPause::kOffline) {
    std::fprintf(stderr,
                 "this machine has no network interface but loopback, so the SDK holds the hits "
                 "back as offline\n");
  }
  run.backlog = drainBacklog(tracker, appVars, load.hits, run.backlogFile, dataDirectory);
  run.drainedFile = outboxBytes(dataDirectory);
  run.counters = manager.counters();
  ::getrusage(RUSAGE_SELF, &run.usage);
  return run;
}

// Prints the figures; the number of hits that never arrived.
size_t printRun(const LoadOptions& load, LoadRun& run, const Reception& reception) {
  const int hits = load.hits;
  size_t duplicates = 0;
  size_t distinct = 0;
  const size_t missing = countMissing(reception, hits, duplicates, distinct);
  std::printf("collector: %s, connections: %d, hits per phase: %d, body: up to %zu bytes\n",
              sinkName(load.sink), load.connections, hits, reception.largestBody);
  std::printf("first tracker ready: %.3f ms (second: %.3f ms)\n", run.firstTracker * 1000,
              run.secondTracker * 1000);
  std::printf("tracked and delivered: %.0f hits/s (%d hits in %.3f s; executing took %.3f s)%s\n",
              hits / run.tracked.seconds, hits, run.tracked.seconds, run.tracked.postingSeconds,
              run.tracked.flushed ? "" : " NOT DRAINED");
  std::printf("  execute on the caller's thread: median %.1f us, p99 %.1f us\n",
              run.tracked.execute.percentile(0.5), run.tracked.execute.percentile(0.99));
  std::printf("backlog drain: %.0f hits/s (%d hits in %.3f s)%s\n", hits / run.backlog.seconds,
              hits, run.backlog.seconds, run.backlog.flushed ? "" : " NOT DRAINED");
  std::printf("  execute while in background: median %.1f us, p99 %.1f us\n",
              run.backlog.execute.percentile(0.5), run.backlog.execute.percentile(0.99));
  {
    const rusage& a = run.backlog.before;
    const rusage& b = run.backlog.after;
    const double user = secondsOf(b.ru_utime) - secondsOf(a.ru_utime);
    const double system = secondsOf(b.ru_stime) - secondsOf(a.ru_stime);
    const double switches =
        static_cast<double>(b.ru_nvcsw - a.ru_nvcsw + b.ru_nivcsw - a.ru_nivcsw);
    std::printf(
        "  SDK CPU while draining: %.1f us per hit (user %.1f + system %.1f), "
        "%.2f context switches a hit\n",
        (user + system) * 1e6 / hits, user * 1e6 / hits, system * 1e6 / hits, switches / hits);
    // A thread on a processor all the drain long is what bounds it.
    const auto& atStart = run.backlog.threadsBefore.byName;
    for (const auto& [name, after] : run.backlog.threadsAfter.byName) {
      const auto found = atStart.find(name);
      // A thread started during the drain had spent nothing before it.
      const std::pair<uint64_t, uint64_t> before =
          found == atStart.end() ? std::pair<uint64_t, uint64_t>{} : found->second;
      const uint64_t onCpu = after.first - before.first;
      const uint64_t waiting = after.second - before.second;
      std::printf(
          "    %s: %.1f us per hit on a processor (%.0f %% of the drain), %.1f us waiting for "
          "one\n",
          name.c_str(), static_cast<double>(onCpu) / 1e3 / hits,
          static_cast<double>(onCpu) / 1e7 / run.backlog.seconds,
          static_cast<double>(waiting) / 1e3 / hits);
    }
  }
  std::printf("received: %zu requests, %zu distinct hits, %zu duplicates, %zu missing\n",
              reception.sequences.size(), distinct, duplicates, missing);
  printCollectorCpu(reception);
  const QXDeliveryCounters& counters = run.counters;
  std::printf("counters: queued %llu, sent %llu, retried %llu, dropped %llu, pending %zu\n",
              static_cast<unsigned long long>(counters.queued),
              static_cast<unsigned long long>(counters.sent),
              static_cast<unsigned long long>(counters.retried),
              static_cast<unsigned long long>(counters.dropped), counters.pending);
  std::printf("outbox file: %.1f MB with the backlog queued, %lld bytes once drained\n",
              static_cast<double>(run.backlogFile) / 1e6, static_cast<long long>(run.drainedFile));
  std::printf("peak resident memory: %.1f MB (%.1f MB once the trackers existed)\n",
              static_cast<double>(run.usage.ru_maxrss) / 1024.0, run.residentAtStart);
  return missing;
}

}  // namespace

int main(int argc, char** argv) {
  LoadOptions load;
  if (!parseArguments(argc, argv, load)) {
    std::fprintf(stderr,
                 "usage: delivery_load [--hits N] [--connections C] "
                 "[--sink collect|minimal|in-process] [--in-process] [--tool PATH]\n");
    return 2;
  }
  char pattern[] = "/tmp/quorvex-load-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);

  // Started first: the minimal sink forks, which wants no other thread yet.
  LoadCollector collector(load.sink, load.tool, directory);
  if (!collector.start()) {
    std::fprintf(stderr, "cannot start the collector (%s)\n", sinkName(load.sink));
    return 1;
  }
  LoadRun run = runLoad(load, collector.url(), directory + "/data");
  const size_t missing = printRun(load, run, collector.stop());

  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return missing == 0 && run.tracked.flushed && run.backlog.flushed ? 0 : 1;
}
