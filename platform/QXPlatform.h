#ifndef QUORVEX_PLATFORM_QXPLATFORM_H_
#define QUORVEX_PLATFORM_QXPLATFORM_H_

// The one door to the machine. Every service of the operating system that the
// core and the SDK read (clock, process, device, screen, locale, bundle, user
// defaults, network interfaces, file system, random numbers, UUIDs, optional
// components) goes through an object of this class. A process has one current
// platform: the real Linux one unless the host application, a tool or a test
// installs another before the first tracker is created.
//
// Unless a method says otherwise it may be called from any thread at any time,
// never throws, and reports what the machine does not give as an empty
// optional (or the documented fallback) rather than as an error.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/QXExport.h"
#include "platform/QXStandardUserDefaults.h"

// What the device says about itself (the platform's current-device object and
// uname). Every field may be empty when the machine does not tell.
struct QXDeviceInfo {
  std::string model;          // generic model text ("iPhone", "PC", ...)
  std::string systemName;     // operating-system name
  std::string systemVersion;  // operating-system version
  std::string machine;        // the uname machine identifier ("x86_64", "iPhone10,3")
};

// The main screen's bounds in points, as floating-point numbers.
struct QXScreenBounds {
  double width = 0;   // points
  double height = 0;  // points
};

// The address family of an interface-address entry.
enum class QXAddressFamily { kIPv4, kIPv6, kOther };

// How an interface reaches the network, as far as the machine tells.
enum class QXLinkKind { kUnknown, kLoopback, kWired, kWireless, kCellular };

// One entry of the interface-address list (getifaddrs). `address` is the
// textual form: dotted decimal for IPv4, the standard text form for IPv6
// (RFC 5952: lower case, the longest run of zero groups as "::", no zone),
// and empty for other families or entries without an address.
struct QXInterfaceAddress {
  std::string name;  // as the SDK sees it: "en0" is the main interface, "pdp_ip0" the cellular one
  QXAddressFamily family = QXAddressFamily::kOther;  // of `address`
  std::string address;                               // see above; may be empty
  bool up = false;                                   // the interface is up (IFF_UP)
  bool running = false;                              // and its link works (IFF_RUNNING)
  QXLinkKind link = QXLinkKind::kUnknown;            // how it reaches the network
  std::string systemName;  // the operating system's own name ("eth0"); may equal `name`
};

// Keys of the application's information dictionary. Our own names for them,
// so that a host that also links a CoreFoundation on Linux sees no clash.
QX_EXPORT extern const char* const kQXBundleNameKey;                // "CFBundleName"
QX_EXPORT extern const char* const kQXBundleVersionKey;             // "CFBundleVersion": the build
QX_EXPORT extern const char* const kQXBundleShortVersionStringKey;  // "CFBundleShortVersionString"
// The user-defaults key under which the user's locale identifier is found.
QX_EXPORT extern const char* const kQXAppleLocaleKey;  // "AppleLocale"

// The platform interface (see the file). Derive from it, or from
// QXPlatformWrapper to change only some answers, and install an object with
// install().
class QX_EXPORT QXPlatform {
 public:
  QXPlatform() = default;
  QXPlatform(const QXPlatform&) = delete;
  QXPlatform& operator=(const QXPlatform&) = delete;
  virtual ~QXPlatform();

  // The process's current platform. Never null; the first call without an
  // installed platform creates the real Linux one with its default options.
  static QXPlatform& current();

  // Makes `platform` the current one. Meant to run once, before the first
  // tracker, delivery call (QXNetworkManager) or application transition:
  // objects that already read the platform keep what they read (the data
  // directory of the outbox, the visitor, the predefined variables), so an
  // install after them applies only in part, and says so in one line at
  // level 4. A platform once installed is kept alive until the process ends,
  // so a reference obtained from current() never dangles. Null is ignored.
  static void install(std::shared_ptr<QXPlatform> platform);

  // --- Clock -----------------------------------------------------------------
  // Floating-point seconds since 1970-01-01 00:00:00 UTC (wall clock; it may
  // jump backwards when the user changes the time).
  virtual double secondsSince1970() = 0;

  // --- Process ---------------------------------------------------------------
  // The running process's identifier.
  virtual int processIdentifier() = 0;

  // --- Device and screen -----------------------------------------------------
  // What the device says about itself.
  virtual QXDeviceInfo currentDevice() = 0;
  // Empty when the machine has no main screen.
  virtual std::optional<QXScreenBounds> mainScreenBounds() = 0;

  // --- Locale ----------------------------------------------------------------
  // The currency code ("EUR") of the user's locale.
  virtual std::optional<std::string> currencyCode() = 0;
  // The currency symbol ("€") of the user's locale.
  virtual std::optional<std::string> currencySymbol() = 0;
  // The number of the encoding used for C strings by default, in the
  // numbering of the string-encoding list (4 is UTF-8, 1 ASCII, 5 Latin-1...).
  virtual uint32_t defaultCStringEncoding() = 0;

  // --- Bundle ----------------------------------------------------------------
  // A value of the application's information dictionary ("CFBundleVersion",
  // "CFBundleShortVersionString", "CFBundleName", ...).
  virtual std::optional<std::string> infoDictionaryValue(const std::string& key) = 0;
  // The application's identifier ("com.example.shop").
  virtual std::optional<std::string> bundleIdentifier() = 0;

  // --- User defaults ---------------------------------------------------------
  // The application's persisted string store, or null when it is not
  // available. The object lives as long as the platform.
  virtual QXStandardUserDefaults* standardUserDefaults() = 0;

  // --- Network interfaces ----------------------------------------------------
  // The interface-address list in the machine's order (on Linux, each
  // interface's entries together, its IPv6 addresses before its IPv4 ones);
  // empty optional when the listing itself failed.
  virtual std::optional<std::vector<QXInterfaceAddress>> interfaceAddresses() = 0;

  // --- File system -----------------------------------------------------------
  // Whether something exists at `path`.
  virtual bool fileExists(const std::string& path) = 0;
  // The directory where the SDK keeps its files (user defaults, outbox),
  // created with mode 0700 if missing. Empty when no such directory can be
  // had, or the one there is not the process's own (QXDataDirectory); callers
  // then keep their state in memory, and the platform has said why.
  virtual std::string dataDirectory() = 0;

  // --- Random numbers and UUIDs ----------------------------------------------
  // Mixes fresh entropy into the random numbers, where the source needs it.
  virtual void stirRandom() = 0;
  // A uniformly distributed 32-bit number.
  virtual uint32_t random32() = 0;
  // A new random UUID in its canonical text: 36 characters, upper-case
  // hexadecimal digits in groups of 8, 4, 4, 4 and 12 joined by "-".
  virtual std::string createUUID() = 0;

  // --- Optional components ---------------------------------------------------
  // Whether a component of that name is present in the process (the
  // counterpart of looking a class up by name). The default answers from
  // QXComponentRegistry.
  virtual bool hasComponent(const std::string& name);
};

#endif  // QUORVEX_PLATFORM_QXPLATFORM_H_
