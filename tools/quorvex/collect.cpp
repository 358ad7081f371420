// quorvex collect: a collection server on 127.0.0.1 that prints each hit it
// receives, and shows them live on a page at its address.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/collector/QXCollector.h"
#include "tools/collector/QXHitPrinter.h"
#include "tools/collector/QXInspector.h"
#include "tools/quorvex/QXCommands.h"
#include "tools/quorvex/QXOptions.h"

namespace {

struct CollectOptions {
  uint16_t port = 0;
  int status = 200;
  long long count = 0;  // 0: until interrupted
  std::string out;
  long long history = static_cast<long long>(QXHitHistory::kDefaultCapacity);
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
  QXHitPrinter::Options printing;
  printing.bodiesFd = outFd;
  printing.count = static_cast<size_t>(options.count);
  printing.doneFd = doneFd;
  QXHitPrinter printer(printing);
  QXCollector::Options collectorOptions;
  collectorOptions.port = options.port;
  collectorOptions.status = options.status;
  collectorOptions.keepRequests = false;
  QXInspector::Options inspecting;
  inspecting.historyCapacity = static_cast<size_t>(options.history);
  QXInspector inspector(inspecting);
  QXCollector collector(collectorOptions);
  collector.setListener([&printer, &inspector](const QXCollector::Request& request, size_t) {
    printer.print(request);
    inspector.record(request);
  });
  collector.setAdopter([&inspector](int socket, const QXCollector::Request& request) {
    inspector.adopt(socket, request);
  });

  QXStatus started = inspector.start();
  if (started.ok()) started = collector.start();
  if (!started.ok()) {
    std::fprintf(stderr, "quorvex collect: %s\n", started.message().c_str());
    inspector.stop();
    printer.finish();
    if (outFd >= 0) ::close(outFd);
    return 1;
  }
  // One line, in one write: a reader may stop reading after it.
  std::fprintf(stderr,
               "quorvex collect: listening on %s (open it in a browser to watch the hits)\n",
               collector.url("/").c_str());
  std::fflush(stderr);

  pollfd fds[2] = {{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  collector.stop();
  inspector.stop();
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
  command
      ->add_option("--history", options->history,
                   "the hits the page at the collector's address keeps; older ones are dropped")
      ->transform(QXDecimal())
      ->check(CLI::Range(1LL, 1000000LL))
      ->capture_default_str();
  return {command, [options] { return collect(*options); }};
}
