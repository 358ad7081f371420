#ifndef QUORVEX_PLATFORM_QXFAKEPLATFORM_H_
#define QUORVEX_PLATFORM_QXFAKEPLATFORM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/QXExport.h"
#include "platform/QXPlatform.h"

// User defaults of the fake platform: in memory, with switches for the
// failures a test wants to provoke.
class QX_EXPORT QXFakeUserDefaults : public QXStandardUserDefaults {
 public:
  std::optional<std::string> objectForKey(const std::string& key) override;
  void setObject(const std::string& value, const std::string& key) override;
  void removeObject(const std::string& key) override;
  bool synchronize() override;

  // "defaults unwritable": writes are dropped and synchronize() fails.
  void setUnwritable(bool unwritable);
  // A value answered for `key` while nothing is stored under it (the
  // platform's registration domain, as for "AppleLocale").
  void registerValue(const std::string& key, std::optional<std::string> value);

  // How many setObject() and removeObject() calls were made.
  size_t writeCount() const;
  // How many synchronize() calls were made.
  size_t synchronizeCount() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::string> stored_;  // guarded by mutex_
  std::map<std::string, std::string> registered_;        // guarded by mutex_
  bool unwritable_ = false;                              // guarded by mutex_
  size_t writes_ = 0;                                    // guarded by mutex_
  size_t synchronizes_ = 0;                              // guarded by mutex_
};

// A complete platform in memory: a manual clock that only moves when told,
// in-memory defaults, a scripted device, screen, locale, bundle and interface
// list, and deterministic random numbers and UUIDs. Every setter is a named
// switch that a test flips to state what it changes; everything else keeps a
// plausible default (a phone-like device "iPhone10,3", screen 375x667, locale
// "en_US" with EUR, application "FakeApp" 1.0 build 1, interfaces lo and en0).
// Thread-safe.
class QX_EXPORT QXFakePlatform : public QXPlatform {
 public:
  static constexpr double kDefaultNow = 1700000000.0;  // 2023-11-14T22:13:20Z

  QXFakePlatform();
  ~QXFakePlatform() override;

  // Creates a fake and makes it the process's current platform.
  static std::shared_ptr<QXFakePlatform> installNew();

  // --- Clock switches ---
  void setNow(double secondsSince1970);
  void advanceSeconds(double seconds);
  void advanceMs(uint64_t milliseconds);
  // "clock jumps back": the wall clock is set back by the user.
  void clockJumpsBack(double seconds) { advanceSeconds(-seconds); }

  // --- Process, device, screen, locale, bundle ---
  void setProcessIdentifier(int pid);
  void setDevice(QXDeviceInfo device);
  void setMachine(const std::string& machine);
  void setScreen(std::optional<QXScreenBounds> bounds);  // nullopt: "no main screen"
  // The locale's currency; nullopt: "no currency".
  void setCurrency(std::optional<std::string> code, std::optional<std::string> symbol);
  // The number of the C-string encoding (4 UTF-8, 5 Latin-1, ...).
  void setDefaultCStringEncoding(uint32_t encoding);
  // One value of the information dictionary; nullopt removes it.
  void setInfoDictionaryValue(const std::string& key, std::optional<std::string> value);
  // The bundle identifier; nullopt: "no identifier".
  void setBundleIdentifier(std::optional<std::string> identifier);
  // The locale identifier answered for "AppleLocale"; nullopt answers nothing.
  void setLocaleIdentifier(std::optional<std::string> identifier);

  // --- User defaults ---
  // The in-memory defaults, with their own switches.
  QXFakeUserDefaults& fakeDefaults() { return *defaults_; }
  // "defaults unavailable": standardUserDefaults() answers null.
  void setDefaultsAvailable(bool available);

  // --- Network interfaces ---
  void setInterfaces(std::vector<QXInterfaceAddress> interfaces);
  void addInterfaceAddress(const std::string& name, QXAddressFamily family,
                           const std::string& address, QXLinkKind link = QXLinkKind::kUnknown);
  void removeInterface(const std::string& name);  // e.g. "no en0"
  // "listing fails": interfaceAddresses() answers nullopt.
  void setInterfaceListingFails(bool fails);

  // --- File system ---
  void addFile(const std::string& path);
  void removeFile(const std::string& path);
  void setDataDirectory(std::string directory);

  // --- Random numbers, UUIDs, components ---
  // The values random32() returns, in a cycle; empty: a fixed pseudo-random
  // sequence.
  void setRandomSequence(std::vector<uint32_t> values);
  // A component present for hasComponent() on this platform only.
  void addComponent(const std::string& name);
  // Withdraws a component added with addComponent().
  void removeComponent(const std::string& name);
  // How many UUIDs createUUID() has made.
  int uuidsCreated() const;

  // QXPlatform
  double secondsSince1970() override;
  int processIdentifier() override;
  QXDeviceInfo currentDevice() override;
  std::optional<QXScreenBounds> mainScreenBounds() override;
  std::optional<std::string> currencyCode() override;
  std::optional<std::string> currencySymbol() override;
  uint32_t defaultCStringEncoding() override;
  std::optional<std::string> infoDictionaryValue(const std::string& key) override;
  std::optional<std::string> bundleIdentifier() override;
  QXStandardUserDefaults* standardUserDefaults() override;
  std::optional<std::vector<QXInterfaceAddress>> interfaceAddresses() override;
  bool fileExists(const std::string& path) override;
  std::string dataDirectory() override;
  void stirRandom() override;
  uint32_t random32() override;
  std::string createUUID() override;
  bool hasComponent(const std::string& name) override;

 private:
  const std::unique_ptr<QXFakeUserDefaults> defaults_;

  mutable std::mutex mutex_;
  // All guarded by mutex_.
  double now_ = kDefaultNow;
  int pid_ = 4242;
  QXDeviceInfo device_;
  std::optional<QXScreenBounds> screen_;
  std::optional<std::string> currencyCode_;
  std::optional<std::string> currencySymbol_;
  uint32_t encoding_ = 4;
  std::map<std::string, std::string> info_;
  std::optional<std::string> bundleIdentifier_;
  bool defaultsAvailable_ = true;
  std::vector<QXInterfaceAddress> interfaces_;
  bool interfaceListingFails_ = false;
  std::set<std::string> files_;
  std::string dataDirectory_;
  std::vector<uint32_t> randomSequence_;
  size_t randomIndex_ = 0;
  uint64_t randomState_ = 0x2545F4914F6CDD1DULL;
  int uuids_ = 0;
  std::set<std::string> components_;
};

#endif  // QUORVEX_PLATFORM_QXFAKEPLATFORM_H_
