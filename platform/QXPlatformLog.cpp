#include "platform/QXPlatformLog.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>

namespace {

std::mutex& sinkMutex() {
  static auto* mutex = new std::mutex;  // never destroyed: usable during exit
  return *mutex;
}

std::shared_ptr<const QXPlatformErrorSink>& sinkSlot() {
  static auto* slot = new std::shared_ptr<const QXPlatformErrorSink>;
  return *slot;
}

}  // namespace

void QXSetPlatformErrorSink(QXPlatformErrorSink sink) {
  auto shared = sink ? std::make_shared<const QXPlatformErrorSink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> lock(sinkMutex());
  sinkSlot() = std::move(shared);
}

void QXReportPlatformError(const std::string& message) noexcept {
  std::shared_ptr<const QXPlatformErrorSink> sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = sinkSlot();
  }
  if (!sink) {
    std::fprintf(stderr, "[Quorvex platform] %s\n", message.c_str());
    return;
  }
  // The sink may be the host's: what it throws stays here, and the first
  // time is told on standard error.
  static std::atomic<bool> threwBefore{false};
  try {
    (*sink)(message);
  } catch (const std::exception& error) {
    if (!threwBefore.exchange(true)) {
      std::fprintf(stderr,
                   "[Quorvex platform] the platform error sink threw (%s); what it throws is "
                   "ignored from now on\n",
                   error.what());
    }
  } catch (...) {
    if (!threwBefore.exchange(true)) {
      std::fprintf(stderr,
                   "[Quorvex platform] the platform error sink threw; what it throws is ignored "
                   "from now on\n");
    }
  }
}
