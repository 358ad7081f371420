#ifndef QUORVEX_PLATFORM_QXLINUXPLATFORM_H_
#define QUORVEX_PLATFORM_QXLINUXPLATFORM_H_

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/QXPlatform.h"

// The real platform on Linux.
//
// A Linux process has no application bundle, main screen or locale record of
// its own, so the host application describes them through Options; what it
// leaves unset is read from the machine:
//   - bundle: "CFBundleName" and the bundle identifier default to the
//     executable's name; versions are absent unless given;
//   - data directory: $XDG_DATA_HOME/quorvex/<bundle identifier>, else
//     $HOME/.local/share/quorvex/<bundle identifier>, else
//     /tmp/quorvex-<uid>/<bundle identifier>;
//   - locale: LC_ALL, LC_MONETARY or LANG ("de_DE.UTF-8"); the user defaults
//     answer "AppleLocale" with its identifier ("de_DE") unless a value is
//     stored under that key;
//   - screen: none, unless given.
class QXLinuxPlatform : public QXPlatform {
 public:
  struct Options {
    std::string dataDirectory;                          // empty: the default above
    std::map<std::string, std::string> infoDictionary;  // e.g. "CFBundleShortVersionString"
    std::optional<std::string> bundleIdentifier;
    std::optional<QXScreenBounds> screen;
    std::optional<std::string> localeIdentifier;  // e.g. "fr_FR"; empty: from the environment
  };

  QXLinuxPlatform();
  explicit QXLinuxPlatform(Options options);
  ~QXLinuxPlatform() override;

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

  // The locale identifier in use ("en_US"), empty when the environment names
  // none or the POSIX locale.
  const std::string& localeIdentifier() const { return localeIdentifier_; }

 private:
  std::string defaultDataDirectory() const;
  std::optional<std::string> monetaryItem(int item);

  // Constant after construction.
  const Options options_;
  const std::string executableName_;
  const std::string localeIdentifier_;
  const std::string monetaryLocale_;  // full POSIX name for LC_MONETARY look-ups

  std::once_flag dataDirectoryOnce_;
  std::string dataDirectory_;  // written once under dataDirectoryOnce_
  std::once_flag defaultsOnce_;
  std::unique_ptr<QXStandardUserDefaults> defaults_;  // made once under defaultsOnce_
};

#endif  // QUORVEX_PLATFORM_QXLINUXPLATFORM_H_
