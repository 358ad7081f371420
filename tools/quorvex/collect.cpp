// quorvex collect: a collection server on 127.0.0.1 that prints each hit it
// receives.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/collector/QXCollector.h"
#include "tools/collector/QXFormFields.h"
#include "tools/quorvex/QXCommands.h"
#include "tools/quorvex/QXOptions.h"

namespace {

struct CollectOptions {
  uint16_t port = 0;
  int status = 200;
  long long count = 0;  // 0: until interrupted
  std::string out;
};

// Writes all of `text` to `fd`; output that cannot be written is lost, as
// it would be with stdio.
void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// What the collector shows: each hit's text on standard output, and with
// --out its raw body as a line of that file. The collector's thread adds
// hits; a thread of its own writes them at most kFlushInterval after they
// came, so that a burst of hits costs a few writes instead of two flushes a
// hit, while a person watching still sees each hit at once.
//
// Threads: print() from any thread; finish() once, after the collector has
// stopped, writes what is left. Nothing printed before it is lost.
class HitPrinter {
 public:
  // `outFd` is the --out file or -1; `doneFd` is written once `count` hits
  // (0: no limit) have been printed, and hits after those are not printed.
  HitPrinter(int outFd, size_t count, int doneFd)
      : outFd_(outFd), count_(count), doneFd_(doneFd), writer_([this] { writeLoop(); }) {}
  ~HitPrinter() { finish(); }
  HitPrinter(const HitPrinter&) = delete;
  HitPrinter& operator=(const HitPrinter&) = delete;

  // The collector calls it for one request at a time, so formatting under
  // the lock holds up only the writer's swap, never another hit.
  void print(const QXCollector::Request& request) {
    const std::string_view identifier = request.headerValue("X-Quorvex-Hit-Id");
    std::unique_lock<std::mutex> lock(mutex_);
    roomLeft_.wait(lock, [&] { return text_.size() < kMostPendingBytes; });
    if (count_ != 0 && printed_ >= count_) return;
    const bool wasEmpty = text_.empty();
    text_ += "--- hit " + std::to_string(++printed_) + ": ";
    text_ += request.method;
    text_ += ' ';
    text_ += request.target;
    text_ += ", " + std::to_string(request.body.size()) + " bytes";
    if (!identifier.empty()) {
      text_ += ", id ";
      text_ += identifier;
    }
    text_ += '\n';
    QXAppendFormattedFields(text_, request.body);
    if (outFd_ >= 0) {
      bodies_ += request.body;
      bodies_ += '\n';
    }
    if (wasEmpty || text_.size() >= kMostPendingBytes) wakeWriter_.notify_one();
    if (count_ != 0 && printed_ == count_) {
      const uint64_t one = 1;
      if (::write(doneFd_, &one, sizeof one) < 0) {
        // Cannot happen with one write to an eventfd; the collector would
        // then run until interrupted.
      }
    }
  }

  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (finishing_) return;
      finishing_ = true;
    }
    wakeWriter_.notify_one();
    writer_.join();
  }

 private:
  static constexpr std::chrono::milliseconds kFlushInterval{20};
  // Beyond this much text waiting, print() waits for the writer, as a slow
  // reader of standard output would have made it wait before.
  static constexpr size_t kMostPendingBytes = 8 * 1024 * 1024;

  void writeLoop() {
    // Swapped with the pending buffers, so that both keep their capacity.
    std::string text;
    std::string bodies;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wakeWriter_.wait(lock, [&] { return finishing_ || !text_.empty(); });
      // Gathers what else comes meanwhile, so that one write carries many hits.
      wakeWriter_.wait_for(lock, kFlushInterval,
                           [&] { return finishing_ || text_.size() >= kMostPendingBytes; });
      if (finishing_ && text_.empty()) return;
      text.swap(text_);
      bodies.swap(bodies_);
      lock.unlock();
      roomLeft_.notify_all();
      writeAll(STDOUT_FILENO, text);
      if (outFd_ >= 0) writeAll(outFd_, bodies);
      text.clear();
      bodies.clear();
      lock.lock();
    }
  }

  // Constant after construction.
  const int outFd_;
  const size_t count_;
  const int doneFd_;

  std::mutex mutex_;
  std::condition_variable wakeWriter_;
  std::condition_variable roomLeft_;
  // Guarded by mutex_.
  bool finishing_ = false;
  size_t printed_ = 0;
  std::string text_;    // for standard output, not yet written
  std::string bodies_;  // for the --out file, not yet written

  std::thread writer_;  // last: it starts once the members above exist
};

// Runs the collector until interrupted or `options.count` hits have come.
int collect(const CollectOptions& options) {
  int outFd = -1;
  if (!options.out.empty()) {
    outFd = ::open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (outFd < 0) {
      std::fprintf(stderr, "quorvex collect: cannot write %s: %s\n", options.out.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  // The collector's threads inherit this mask, so the signals reach the
  // signalfd below and nothing else.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  const int doneFd = ::eventfd(0, EFD_CLOEXEC);

  // Made after the mask, for its thread; outlives the collector, whose
  // threads print.
  HitPrinter printer(outFd, static_cast<size_t>(options.count), doneFd);
  QXCollector::Options collectorOptions;
  collectorOptions.port = options.port;
  collectorOptions.status = options.status;
  collectorOptions.keepRequests = false;
  QXCollector collector(collectorOptions);
  collector.setListener(
      [&printer](const QXCollector::Request& request, size_t) { printer.print(request); });

  const QXStatus started = collector.start();
  if (!started.ok()) {
    std::fprintf(stderr, "quorvex collect: %s\n", started.message().c_str());
    printer.finish();
    if (outFd >= 0) ::close(outFd);
    return 1;
  }
  std::fprintf(stderr, "quorvex collect: listening on %s\n", collector.url("/").c_str());
  std::fflush(stderr);

  pollfd fds[2] = {{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  collector.stop();
  printer.finish();
  if (outFd >= 0) ::close(outFd);
  ::close(signalFd);
  ::close(doneFd);
  return 0;
}

}  // namespace

QXCommand QXAddCollectCommand(CLI::App& tool) {
  auto options = std::make_shared<CollectOptions>();
  CLI::App* command = QXAddCommand(
      tool, "collect",
      "Serve HTTP on 127.0.0.1 and print each hit received, field by field; the address is "
      "announced on standard error.");
  command->add_option("--port", options->port, "the port (default: a free one)")
      ->transform(QXDecimal())
      ->check(CLI::Range(0, 65535));
  command->add_option("--status", options->status, "the HTTP status of every answer")
      ->transform(QXDecimal())
      ->check(CLI::Range(200, 599))
      ->capture_default_str();
  command->add_option("--count", options->count, "stop after this many hits (default: never)")
      ->transform(QXDecimal())
      ->check(CLI::Range(1LL, LLONG_MAX).description("POSITIVE"));
  command->add_option("--out", options->out, "also write each raw body to this file, a line each")
      ->check([](const std::string& name) {
        return name.empty() ? std::string("wants a file name") : std::string();
      })
      ->type_name("FILE");
  return {command, [options] { return collect(*options); }};
}
