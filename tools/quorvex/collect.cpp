// quorvex collect: a collection server on 127.0.0.1 that prints each hit it
// receives.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/collector/QXCollector.h"
#include "tools/collector/QXFormFields.h"
#include "tools/quorvex/QXCommandLine.h"
#include "tools/quorvex/QXCommands.h"

namespace {

struct CollectOptions {
  uint16_t port = 0;
  int status = 200;
  size_t count = 0;  // 0: until interrupted
  std::string out;
};

constexpr const char* kUsage =
    "usage: quorvex collect [--port P] [--status CODE] [--count N] [--out FILE]";

// Parses the options; on a bad one, `error` says which and why.
bool parseOptions(const std::vector<std::string>& arguments, CollectOptions& options,
                  std::string& error) {
  QXCommandLine line(arguments);
  while (line.next()) {
    const std::string& name = line.name();
    if (name != "--port" && name != "--status" && name != "--count" && name != "--out") {
      error = "unknown option '" + name + "'";
      return false;
    }
    std::string value;
    if (!line.value(value, error)) return false;
    if (name == "--port") {
      const auto port = QXParseInteger(value, 0, 65535);
      if (!port) {
        error = "--port wants a number from 0 to 65535, not '" + value + "'";
        return false;
      }
      options.port = static_cast<uint16_t>(*port);
    } else if (name == "--status") {
      const auto status = QXParseInteger(value, 200, 599);
      if (!status) {
        error = "--status wants an HTTP status from 200 to 599, not '" + value + "'";
        return false;
      }
      options.status = static_cast<int>(*status);
    } else if (name == "--count") {
      const auto count = QXParseInteger(value, 1, LLONG_MAX);
      if (!count) {
        error = "--count wants a positive number, not '" + value + "'";
        return false;
      }
      options.count = static_cast<size_t>(*count);
    } else {
      if (value.empty()) {
        error = "--out wants a file name";
        return false;
      }
      options.out = value;
    }
  }
  return true;
}

}  // namespace

int QXRunCollect(const std::vector<std::string>& arguments) {
  CollectOptions options;
  std::string error;
  if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  if (!parseOptions(arguments, options, error)) {
    std::fprintf(stderr, "quorvex collect: %s (%s)\n", error.c_str(), kUsage);
    return 2;
  }
  std::FILE* out = nullptr;
  if (!options.out.empty()) {
    out = std::fopen(options.out.c_str(), "wb");
    if (out == nullptr) {
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

  QXCollector::Options collectorOptions;
  collectorOptions.port = options.port;
  collectorOptions.status = options.status;
  collectorOptions.keepRequests = false;
  QXCollector collector(collectorOptions);

  std::mutex outputMutex;
  size_t received = 0;
  collector.setListener([&](const QXCollector::Request& request, size_t) {
    std::string text = "--- hit " + std::to_string(received + 1) + ": " + request.method + " " +
                       request.target + ", " + std::to_string(request.body.size()) + " bytes";
    const std::string identifier = request.header("X-Quorvex-Hit-Id");
    if (!identifier.empty()) text += ", id " + identifier;
    text += "\n" + QXFormatFields(request.body);
    std::lock_guard<std::mutex> lock(outputMutex);
    if (options.count != 0 && received >= options.count) return;
    ++received;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    if (out != nullptr) {
      std::fwrite(request.body.data(), 1, request.body.size(), out);
      std::fputc('\n', out);
      std::fflush(out);
    }
    if (options.count != 0 && received == options.count) {
      const uint64_t one = 1;
      if (::write(doneFd, &one, sizeof one) < 0) {
        // Cannot happen with one write to an eventfd; the collector would
        // then run until interrupted.
      }
    }
  });

  const QXStatus started = collector.start();
  if (!started.ok()) {
    std::fprintf(stderr, "quorvex collect: %s\n", started.message().c_str());
    if (out != nullptr) std::fclose(out);
    return 1;
  }
  std::fprintf(stderr, "quorvex collect: listening on %s\n", collector.url("/").c_str());
  std::fflush(stderr);

  pollfd fds[2] = {{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  collector.stop();
  if (out != nullptr) std::fclose(out);
  ::close(signalFd);
  ::close(doneFd);
  return 0;
}
