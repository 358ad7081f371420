#include "platform/QXPlatformLog.h"

#include <cstdio>
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

void QXReportPlatformError(const std::string& message) {
  std::shared_ptr<const QXPlatformErrorSink> sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = sinkSlot();
  }
  if (sink) {
    (*sink)(message);
  } else {
    std::fprintf(stderr, "[Quorvex platform] %s\n", message.c_str());
  }
}
