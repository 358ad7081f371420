#ifndef QUORVEX_PLATFORM_QXPLATFORMWRAPPER_H_
#define QUORVEX_PLATFORM_QXPLATFORMWRAPPER_H_

#include <memory>

#include "platform/QXExport.h"
#include "platform/QXPlatform.h"

// A platform that passes every call to another one. Derive from it and
// override only what should behave differently (a clock that stops, an
// interface list that fails), so that the rest stays real.
class QX_EXPORT QXPlatformWrapper : public QXPlatform {
 public:
  // Passes every call to `target`, which it keeps alive.
  explicit QXPlatformWrapper(std::shared_ptr<QXPlatform> target) : target_(std::move(target)) {}

  // The platform passed to.
  QXPlatform& target() { return *target_; }

  double secondsSince1970() override { return target_->secondsSince1970(); }
  int processIdentifier() override { return target_->processIdentifier(); }
  QXDeviceInfo currentDevice() override { return target_->currentDevice(); }
  std::optional<QXScreenBounds> mainScreenBounds() override { return target_->mainScreenBounds(); }
  std::optional<std::string> currencyCode() override { return target_->currencyCode(); }
  std::optional<std::string> currencySymbol() override { return target_->currencySymbol(); }
  uint32_t defaultCStringEncoding() override { return target_->defaultCStringEncoding(); }
  std::optional<std::string> infoDictionaryValue(const std::string& key) override {
    return target_->infoDictionaryValue(key);
  }
  std::optional<std::string> bundleIdentifier() override { return target_->bundleIdentifier(); }
  QXStandardUserDefaults* standardUserDefaults() override {
    return target_->standardUserDefaults();
  }
  std::optional<std::vector<QXInterfaceAddress>> interfaceAddresses() override {
    return target_->interfaceAddresses();
  }
  bool fileExists(const std::string& path) override { return target_->fileExists(path); }
  std::string dataDirectory() override { return target_->dataDirectory(); }
  void stirRandom() override { target_->stirRandom(); }
  uint32_t random32() override { return target_->random32(); }
  std::string createUUID() override { return target_->createUUID(); }
  bool hasComponent(const std::string& name) override { return target_->hasComponent(name); }

 private:
  const std::shared_ptr<QXPlatform> target_;
};

#endif  // QUORVEX_PLATFORM_QXPLATFORMWRAPPER_H_
