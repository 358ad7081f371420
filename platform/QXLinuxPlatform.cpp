#include "platform/QXLinuxPlatform.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/QXBytes.h"
#include "platform/QXCurrency.h"
#include "platform/QXDataDirectory.h"
#include "platform/QXFileUserDefaults.h"
#include "platform/QXLinuxDevice.h"
#include "platform/QXLinuxInterfaces.h"
#include "platform/QXLocaleName.h"
#include "platform/QXMemoryUserDefaults.h"
#include "platform/QXPlatformLog.h"
#include "platform/QXRealTime.h"
#include "platform/QXRegisteredUserDefaults.h"

namespace {

std::string readExecutableName() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "application";
  std::string path(buffer, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "application" : name;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// An XDG variable's directory; a relative one is to be ignored.
std::string xdgDirectory(const char* name) {
  std::string value = environment(name);
  return !value.empty() && value[0] == '/' ? value : std::string();
}

// The locale of the options, else of the environment. A name given without
// a codeset takes the environment's.
QXLocaleName localeFrom(const std::optional<std::string>& given) {
  const QXLocaleName environment = QXLocaleName::parse(QXLocaleName::environmentName());
  if (!given) return environment;
  QXLocaleName name = QXLocaleName::parse(*given);
  if (name.codeset.empty()) name.codeset = environment.codeset;
  return name;
}

}  // namespace

struct QXLinuxPlatform::State {
  explicit State(Options given)
      : options(std::move(given)),
        executableName(readExecutableName()),
        locale(localeFrom(options.localeIdentifier)) {}

  // The default data directory, and how many of its last components are
  // the SDK's (made by it, and to be the process's own); empty when the
  // process has no home nor runtime directory.
  std::pair<std::string, size_t> defaultDataDirectory() const;
  const std::optional<QXCurrency>& currency();

  // Constant after construction.
  const Options options;
  const std::string executableName;
  const QXLocaleName locale;

  std::once_flag deviceOnce;
  QXDeviceInfo device;  // written once under deviceOnce
  std::once_flag currencyOnce;
  std::optional<QXCurrency> localeCurrency;  // written once under currencyOnce
  std::mutex interfacesMutex;
  // Guarded by interfacesMutex: the latest listing and when it was read.
  std::optional<std::vector<QXInterfaceAddress>> interfaces;
  std::chrono::steady_clock::time_point interfacesReadAt;
  std::once_flag dataDirectoryOnce;
  std::string dataDirectory;  // written once under dataDirectoryOnce
  std::once_flag defaultsOnce;
  std::unique_ptr<QXStandardUserDefaults> defaults;  // made once under defaultsOnce
};

QXLinuxPlatform::QXLinuxPlatform() : QXLinuxPlatform(Options()) {}

QXLinuxPlatform::QXLinuxPlatform(Options options)
    : state_(std::make_unique<State>(std::move(options))) {}

QXLinuxPlatform::~QXLinuxPlatform() = default;

const std::string& QXLinuxPlatform::localeIdentifier() const {
  return state_->locale.identifier;
}

double QXLinuxPlatform::secondsSince1970() {
  return std::chrono::duration<double>(std::chrono::nanoseconds(QXRealTimeNanoseconds())).count();
}

int QXLinuxPlatform::processIdentifier() {
  return static_cast<int>(::getpid());
}

QXDeviceInfo QXLinuxPlatform::currentDevice() {
  State& state = *state_;
  std::call_once(state.deviceOnce, [&state] {
    state.device = QXLinuxDevice::describe("/", QXLinuxDevice::readKernelNames());
  });
  return state.device;
}

std::optional<QXScreenBounds> QXLinuxPlatform::mainScreenBounds() {
  return state_->options.screen;
}

const std::optional<QXCurrency>& QXLinuxPlatform::State::currency() {
  std::call_once(currencyOnce, [this] { localeCurrency = QXCurrencyForLocale(locale.identifier); });
  return localeCurrency;
}

std::optional<std::string> QXLinuxPlatform::currencyCode() {
  if (const auto& found = state_->currency()) return found->code;
  return std::nullopt;
}

std::optional<std::string> QXLinuxPlatform::currencySymbol() {
  if (const auto& found = state_->currency()) return found->symbol;
  return std::nullopt;
}

uint32_t QXLinuxPlatform::defaultCStringEncoding() {
  return QXEncodingNumberForCodeset(state_->locale.codeset);
}

std::optional<std::string> QXLinuxPlatform::infoDictionaryValue(const std::string& key) {
  const auto& info = state_->options.infoDictionary;
  auto it = info.find(key);
  if (it != info.end()) return it->second;
  if (key == kQXBundleNameKey) return state_->executableName;
  return std::nullopt;
}

std::optional<std::string> QXLinuxPlatform::bundleIdentifier() {
  if (state_->options.bundleIdentifier) return state_->options.bundleIdentifier;
  return state_->executableName;
}

QXStandardUserDefaults* QXLinuxPlatform::standardUserDefaults() {
  std::call_once(state_->defaultsOnce, [this] {
    const std::string directory = dataDirectory();
    std::unique_ptr<QXStandardUserDefaults> stored;
    if (directory.empty()) {
      stored = std::make_unique<QXMemoryUserDefaults>();
    } else {
      stored = std::make_unique<QXFileUserDefaults>(directory + "/user-defaults.qxud");
    }
    std::map<std::string, std::string> registered;
    const std::string& locale = state_->locale.identifier;
    if (!locale.empty()) registered[kQXAppleLocaleKey] = locale;
    state_->defaults =
        std::make_unique<QXRegisteredUserDefaults>(std::move(stored), std::move(registered));
  });
  return state_->defaults.get();
}

std::optional<std::vector<QXInterfaceAddress>> QXLinuxPlatform::interfaceAddresses() {
  constexpr auto kFresh = std::chrono::seconds(1);
  State& state = *state_;
  std::lock_guard<std::mutex> lock(state.interfacesMutex);
  const auto now = std::chrono::steady_clock::now();
  if (!state.interfaces || now - state.interfacesReadAt >= kFresh) {
    state.interfaces = QXLinuxInterfaces::list();
    state.interfacesReadAt = now;
  }
  return state.interfaces;
}

bool QXLinuxPlatform::fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string QXLinuxPlatform::directoryNameFor(const std::string& bundleIdentifier) {
  constexpr size_t kLongest = 100;  // well within NAME_MAX, with room for what the SDK adds
  std::string name = bundleIdentifier;
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name.empty() || name == "." || name == "..") return "application";
  if (name.size() > kLongest) {
    char checksum[9];
    std::snprintf(checksum, sizeof checksum, "%08x", QXCrc32(bundleIdentifier));
    name = name.substr(0, kLongest - 9) + "-" + checksum;
  }
  return name;
}

std::pair<std::string, size_t> QXLinuxPlatform::State::defaultDataDirectory() const {
  const std::string application =
      directoryNameFor(options.bundleIdentifier.value_or(executableName));
  std::string base = xdgDirectory("XDG_DATA_HOME");
  if (base.empty()) {
    const std::string home = environment("HOME");
    if (!home.empty()) base = home + "/.local/share";
  }
  // The runtime directory is the user's alone, and emptied at logout or
  // reboot: better than a name under /tmp that another user could take first.
  if (base.empty()) base = xdgDirectory("XDG_RUNTIME_DIR");
  if (base.empty()) return {std::string(), 0};
  return {base + "/quorvex/" + application, 2};
}

std::string QXLinuxPlatform::dataDirectory() {
  State& state = *state_;
  std::call_once(state.dataDirectoryOnce, [&state] {
    auto [directory, owned] = state.options.dataDirectory.empty()
                                  ? state.defaultDataDirectory()
                                  : std::make_pair(state.options.dataDirectory, size_t{1});
    if (directory.empty()) {
      QXReportPlatformError(
          "no data directory: neither HOME, XDG_DATA_HOME nor XDG_RUNTIME_DIR is set; state is "
          "kept in memory only");
      return;
    }
    std::string why;
    if (QXDataDirectory::make(directory, owned, &why) != nullptr) {
      state.dataDirectory = directory;
    } else {
      QXReportPlatformError("data directory " + directory + " is not used: " + why +
                            "; state is kept in memory only");
    }
  });
  return state_->dataDirectory;
}

void QXLinuxPlatform::stirRandom() {
  // The kernel's generator needs no reseeding; every draw is fresh.
}

uint32_t QXLinuxPlatform::random32() {
  uint32_t value = 0;
  char* out = reinterpret_cast<char*>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    ssize_t n = ::getrandom(out + got, sizeof value - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // No kernel generator: fall back to a clock-mixed value rather than fail.
      return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count() *
                                   2654435761u);
    }
    got += static_cast<size_t>(n);
  }
  return value;
}

std::string QXLinuxPlatform::createUUID() {
  unsigned char bytes[16];
  for (int i = 0; i < 16; i += 4) {
    uint32_t r = random32();
    std::memcpy(bytes + i, &r, 4);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}
