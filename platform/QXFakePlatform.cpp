#include "platform/QXFakePlatform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

// --- QXFakeUserDefaults ------------------------------------------------------

std::optional<std::string> QXFakeUserDefaults::objectForKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = stored_.find(key); it != stored_.end()) return it->second;
  auto it = registered_.find(key);
  if (it == registered_.end()) return std::nullopt;
  return it->second;
}

void QXFakeUserDefaults::setObject(const std::string& value, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unwritable_) return;
  ++writes_;
  stored_[key] = value;
}

void QXFakeUserDefaults::removeObject(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unwritable_) return;
  ++writes_;
  stored_.erase(key);
}

bool QXFakeUserDefaults::synchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++synchronizes_;
  return !unwritable_;
}

void QXFakeUserDefaults::setUnwritable(bool unwritable) {
  std::lock_guard<std::mutex> lock(mutex_);
  unwritable_ = unwritable;
}

void QXFakeUserDefaults::registerValue(const std::string& key, std::optional<std::string> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value) {
    registered_[key] = *value;
  } else {
    registered_.erase(key);
  }
}

size_t QXFakeUserDefaults::writeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

size_t QXFakeUserDefaults::synchronizeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return synchronizes_;
}

// --- QXFakePlatform ----------------------------------------------------------

QXFakePlatform::QXFakePlatform() : defaults_(std::make_unique<QXFakeUserDefaults>()) {
  device_ = QXDeviceInfo{"iPhone", "iOS", "12.4", "iPhone10,3"};
  screen_ = QXScreenBounds{375, 667};
  currencyCode_ = "EUR";
  currencySymbol_ = "\xE2\x82\xAC";  // €
  info_ = {{kQXBundleShortVersionStringKey, "1.0"},
           {kQXBundleVersionKey, "1"},
           {kQXBundleNameKey, "FakeApp"}};
  bundleIdentifier_ = "com.example.fakeapp";
  interfaces_ = {
      {"lo", QXAddressFamily::kIPv4, "127.0.0.1", true, true, QXLinkKind::kLoopback, "lo"},
      {"en0", QXAddressFamily::kIPv4, "192.168.1.20", true, true, QXLinkKind::kWireless, "en0"},
  };
  defaults_->registerValue(kQXAppleLocaleKey, "en_US");
}

QXFakePlatform::~QXFakePlatform() = default;

std::shared_ptr<QXFakePlatform> QXFakePlatform::installNew() {
  auto platform = std::make_shared<QXFakePlatform>();
  QXPlatform::install(platform);
  return platform;
}

void QXFakePlatform::setNow(double secondsSince1970) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = secondsSince1970;
}

void QXFakePlatform::advanceSeconds(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += seconds;
}

void QXFakePlatform::advanceMs(uint64_t milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Whole milliseconds are added to a whole-millisecond count so that long
  // runs of small steps do not drift through floating-point rounding. The
  // count stays a double, exact for whole numbers far beyond any clock: an
  // unsigned conversion of a clock set before 1970 is undefined, and gives
  // a different time on each processor.
  const double ms = std::round(now_ * 1000.0) + static_cast<double>(milliseconds);
  now_ = ms / 1000.0;
}

void QXFakePlatform::setProcessIdentifier(int pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  pid_ = pid;
}

void QXFakePlatform::setDevice(QXDeviceInfo device) {
  std::lock_guard<std::mutex> lock(mutex_);
  device_ = std::move(device);
}

void QXFakePlatform::setMachine(const std::string& machine) {
  std::lock_guard<std::mutex> lock(mutex_);
  device_.machine = machine;
}

void QXFakePlatform::setScreen(std::optional<QXScreenBounds> bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  screen_ = bounds;
}

void QXFakePlatform::setCurrency(std::optional<std::string> code,
                                 std::optional<std::string> symbol) {
  std::lock_guard<std::mutex> lock(mutex_);
  currencyCode_ = std::move(code);
  currencySymbol_ = std::move(symbol);
}

void QXFakePlatform::setDefaultCStringEncoding(uint32_t encoding) {
  std::lock_guard<std::mutex> lock(mutex_);
  encoding_ = encoding;
}

void QXFakePlatform::setInfoDictionaryValue(const std::string& key,
                                            std::optional<std::string> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value) {
    info_[key] = *value;
  } else {
    info_.erase(key);
  }
}

void QXFakePlatform::setBundleIdentifier(std::optional<std::string> identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  bundleIdentifier_ = std::move(identifier);
}

void QXFakePlatform::setLocaleIdentifier(std::optional<std::string> identifier) {
  defaults_->registerValue(kQXAppleLocaleKey, std::move(identifier));
}

void QXFakePlatform::setDefaultsAvailable(bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultsAvailable_ = available;
}

void QXFakePlatform::setInterfaces(std::vector<QXInterfaceAddress> interfaces) {
  std::lock_guard<std::mutex> lock(mutex_);
  interfaces_ = std::move(interfaces);
}

void QXFakePlatform::addInterfaceAddress(const std::string& name, QXAddressFamily family,
                                         const std::string& address, QXLinkKind link) {
  std::lock_guard<std::mutex> lock(mutex_);
  interfaces_.push_back(QXInterfaceAddress{name, family, address, true, true, link, name});
}

void QXFakePlatform::removeInterface(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  interfaces_.erase(std::remove_if(interfaces_.begin(), interfaces_.end(),
                                   [&](const QXInterfaceAddress& a) { return a.name == name; }),
                    interfaces_.end());
}

void QXFakePlatform::setInterfaceListingFails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  interfaceListingFails_ = fails;
}

void QXFakePlatform::addFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_.insert(path);
}

void QXFakePlatform::removeFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_.erase(path);
}

void QXFakePlatform::setDataDirectory(std::string directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  dataDirectory_ = std::move(directory);
}

void QXFakePlatform::setRandomSequence(std::vector<uint32_t> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  randomSequence_ = std::move(values);
  randomIndex_ = 0;
}

void QXFakePlatform::addComponent(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  components_.insert(name);
}

void QXFakePlatform::removeComponent(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  components_.erase(name);
}

int QXFakePlatform::uuidsCreated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uuids_;
}

double QXFakePlatform::secondsSince1970() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

int QXFakePlatform::processIdentifier() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pid_;
}

QXDeviceInfo QXFakePlatform::currentDevice() {
  std::lock_guard<std::mutex> lock(mutex_);
  return device_;
}

std::optional<QXScreenBounds> QXFakePlatform::mainScreenBounds() {
  std::lock_guard<std::mutex> lock(mutex_);
  return screen_;
}

std::optional<std::string> QXFakePlatform::currencyCode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return currencyCode_;
}

std::optional<std::string> QXFakePlatform::currencySymbol() {
  std::lock_guard<std::mutex> lock(mutex_);
  return currencySymbol_;
}

uint32_t QXFakePlatform::defaultCStringEncoding() {
  std::lock_guard<std::mutex> lock(mutex_);
  return encoding_;
}

std::optional<std::string> QXFakePlatform::infoDictionaryValue(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = info_.find(key);
  if (it == info_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> QXFakePlatform::bundleIdentifier() {
  std::lock_guard<std::mutex> lock(mutex_);
  return bundleIdentifier_;
}

QXStandardUserDefaults* QXFakePlatform::standardUserDefaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  return defaultsAvailable_ ? defaults_.get() : nullptr;
}

std::optional<std::vector<QXInterfaceAddress>> QXFakePlatform::interfaceAddresses() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (interfaceListingFails_) return std::nullopt;
  return interfaces_;
}

bool QXFakePlatform::fileExists(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.count(path) != 0;
}

std::string QXFakePlatform::dataDirectory() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dataDirectory_;
}

void QXFakePlatform::stirRandom() {}

uint32_t QXFakePlatform::random32() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!randomSequence_.empty()) {
    uint32_t value = randomSequence_[randomIndex_ % randomSequence_.size()];
    ++randomIndex_;
    return value;
  }
  // xorshift64*: deterministic, so runs can be compared.
  randomState_ ^= randomState_ >> 12;
  randomState_ ^= randomState_ << 25;
  randomState_ ^= randomState_ >> 27;
  return static_cast<uint32_t>((randomState_ * 0x2545F4914F6CDD1DULL) >> 32);
}

std::string QXFakePlatform::createUUID() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++uuids_;
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012X", uuids_);
  return text;
}

bool QXFakePlatform::hasComponent(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (components_.count(name) != 0) return true;
  }
  return QXPlatform::hasComponent(name);
}
