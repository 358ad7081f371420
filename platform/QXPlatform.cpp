#include "platform/QXPlatform.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/QXComponentRegistry.h"
#include "platform/QXLinuxPlatform.h"

namespace {

std::atomic<QXPlatform*> gCurrent{nullptr};

// Every platform ever made current stays alive until the process ends: a
// reference handed out by current() may be in use on another thread while a
// later one is installed. Never destroyed, so exit order cannot matter.
std::mutex& keeperMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::vector<std::shared_ptr<QXPlatform>>& keeper() {
  static auto* platforms = new std::vector<std::shared_ptr<QXPlatform>>;
  return *platforms;
}

}  // namespace

const char* const kQXBundleNameKey = "CFBundleName";
const char* const kQXBundleVersionKey = "CFBundleVersion";
const char* const kQXBundleShortVersionStringKey = "CFBundleShortVersionString";
const char* const kQXAppleLocaleKey = "AppleLocale";

QXPlatform::~QXPlatform() = default;

QXPlatform& QXPlatform::current() {
  QXPlatform* platform = gCurrent.load(std::memory_order_acquire);
  if (platform != nullptr) return *platform;
  std::lock_guard<std::mutex> lock(keeperMutex());
  platform = gCurrent.load(std::memory_order_acquire);
  if (platform == nullptr) {
    keeper().push_back(std::make_shared<QXLinuxPlatform>());
    platform = keeper().back().get();
    gCurrent.store(platform, std::memory_order_release);
  }
  return *platform;
}

void QXPlatform::install(std::shared_ptr<QXPlatform> platform) {
  if (!platform) return;
  std::lock_guard<std::mutex> lock(keeperMutex());
  keeper().push_back(platform);
  gCurrent.store(platform.get(), std::memory_order_release);
}

bool QXPlatform::hasComponent(const std::string& name) {
  return QXComponentRegistry::contains(name);
}
