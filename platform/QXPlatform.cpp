#include "platform/QXPlatform.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/QXComponentRegistry.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXPlatformLog.h"
#include "platform/QXPlatformUse.h"

namespace {

std::atomic<QXPlatform*> gCurrent{nullptr};
// Set once under keeperMutex(), read without it on the way in.
std::atomic<bool> gInUse{false};

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

namespace {

// With keeperMutex() held.
void makeCurrent(std::shared_ptr<QXPlatform> platform) {
  keeper().push_back(platform);
  gCurrent.store(platform.get(), std::memory_order_release);
}

}  // namespace

void QXPlatform::install(std::shared_ptr<QXPlatform> platform) {
  if (!platform) return;
  bool late = false;
  {
    std::lock_guard<std::mutex> lock(keeperMutex());
    late = gInUse.load(std::memory_order_acquire);
    makeCurrent(std::move(platform));
  }
  if (late) {
    QXReportPlatformError(
        "QXPlatform::install after the first tracker applies only in part: what the SDK read at "
        "its start stays that of the platform before (the data directory with the outbox and its "
        "journals, the visitor, the device, locale and application variables, the visit and "
        "session figures); install the platform before the first tracker, delivery call or "
        "application transition");
  }
}

void QXMarkPlatformInUse() noexcept {
  if (gInUse.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(keeperMutex());
  gInUse.store(true, std::memory_order_release);
}

bool QXIsPlatformInUse() noexcept {
  return gInUse.load(std::memory_order_acquire);
}

bool QXInstallPlatformBeforeUse(std::shared_ptr<QXPlatform> platform) {
  std::lock_guard<std::mutex> lock(keeperMutex());
  if (gInUse.load(std::memory_order_acquire)) return false;
  if (platform) makeCurrent(std::move(platform));
  return true;
}

bool QXPlatform::hasComponent(const std::string& name) {
  return QXComponentRegistry::contains(name);
}
