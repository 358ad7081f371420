#ifndef QUORVEX_PLATFORM_QXLINUXPLATFORM_H_
#define QUORVEX_PLATFORM_QXLINUXPLATFORM_H_

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/QXExport.h"
#include "platform/QXPlatform.h"

// The real platform on Linux.
//
// A Linux process has no application bundle, main screen or locale record of
// its own, so the host application describes them through Options; what it
// leaves unset is read from the machine:
//   - bundle: the identifier and "CFBundleName" default to the executable's
//     name; there is no short version ("CFBundleShortVersionString") and no
//     build ("CFBundleVersion") unless given;
//   - data directory: $XDG_DATA_HOME/quorvex/<bundle identifier>, else
//     $HOME/.local/share/quorvex/<bundle identifier>, else
//     $XDG_RUNTIME_DIR/quorvex/<bundle identifier>, else none: state in
//     memory (an identifier that cannot be a file name, or is longer than
//     100 bytes, is shortened to a prefix and a checksum, the same at every
//     launch). The directory, given or default, must be the process's own
//     (QXDataDirectory): owned by its user, writable by nobody else and not
//     a link; what the platform makes of it is made 0700. One that is not is
//     not used: state stays in memory and the error sink is told why;
//   - locale: the first non-empty of LC_ALL, LC_MESSAGES and LANG, without
//     codeset and modifier ("fr_FR.UTF-8@euro" is "fr_FR"; "C", "POSIX" and
//     nothing are no locale). The user defaults answer "AppleLocale" with it
//     unless a value is stored under that key. The currency is ICU's for that
//     identifier and the default C-string encoding the number of its codeset
//     (UTF-8 without one), neither needing the locale installed;
//   - device: see QXLinuxDevice; read once, at the first question;
//   - screen: none, unless given;
//   - network interfaces: see QXLinuxInterfaces. A listing costs a few
//     hundred microseconds of system calls, so one is answered again to the
//     questions of the next second (the launch asks twice).
class QX_EXPORT QXLinuxPlatform : public QXPlatform {
 public:
  // What the host describes; every field may stay unset.
  struct Options {
    std::string dataDirectory;                          // empty: the default above
    std::map<std::string, std::string> infoDictionary;  // e.g. "CFBundleShortVersionString"
    std::optional<std::string> bundleIdentifier;        // unset: the executable's name
    std::optional<QXScreenBounds> screen;               // in points; unset: no screen
    // "fr_FR", or a POSIX name whose codeset then counts too
    // ("fr_FR.ISO-8859-1"); unset: from the environment.
    std::optional<std::string> localeIdentifier;
  };

  // The platform with every option unset.
  QXLinuxPlatform();
  // The platform as `options` describe the application.
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

  // The locale identifier in use ("en_US"), empty when neither the options
  // nor the environment name one.
  const std::string& localeIdentifier() const;

  // The directory name that stands for a bundle identifier in the default
  // data directory.
  static std::string directoryNameFor(const std::string& bundleIdentifier);

 private:
  // What the platform was given and has read, out of the class's layout.
  struct State;
  const std::unique_ptr<State> state_;
};

#endif  // QUORVEX_PLATFORM_QXLINUXPLATFORM_H_
