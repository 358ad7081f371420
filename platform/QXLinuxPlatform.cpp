#include "platform/QXLinuxPlatform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <langinfo.h>
#include <locale.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "platform/QXFileUserDefaults.h"
#include "platform/QXMemoryUserDefaults.h"
#include "platform/QXPlatformLog.h"
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

// The POSIX locale name that governs money: LC_ALL, then LC_MONETARY, then LANG.
std::string monetaryLocaleName() {
  for (const char* name : {"LC_ALL", "LC_MONETARY", "LANG"}) {
    std::string value = environment(name);
    if (!value.empty()) return value;
  }
  return std::string();
}

// "de_DE.UTF-8@euro" -> "de_DE"; "C" and "POSIX" name no locale.
std::string localeIdentifierFrom(const std::string& posixName) {
  std::string id = posixName.substr(0, posixName.find_first_of(".@"));
  if (id == "C" || id == "POSIX") return std::string();
  return id;
}

std::string trimmed(std::string text) {
  const char* spaces = " \t\r\n";
  auto first = text.find_first_not_of(spaces);
  if (first == std::string::npos) return std::string();
  auto last = text.find_last_not_of(spaces);
  return text.substr(first, last - first + 1);
}

std::string readFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return trimmed(line);
}

bool makeDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    partial = path.substr(0, position);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

QXLinkKind linkKindOf(const std::string& name, unsigned flags) {
  if (flags & IFF_LOOPBACK) return QXLinkKind::kLoopback;
  const std::string base = "/sys/class/net/" + name;
  struct stat info {};
  if (::stat((base + "/wireless").c_str(), &info) == 0 ||
      ::stat((base + "/phy80211").c_str(), &info) == 0) {
    return QXLinkKind::kWireless;
  }
  if (name.rfind("wwan", 0) == 0 || name.rfind("pdp_ip", 0) == 0) return QXLinkKind::kCellular;
  const std::string type = readFirstLine(base + "/type");
  if (type == "1") return QXLinkKind::kWired;  // ARPHRD_ETHER
  return QXLinkKind::kUnknown;
}

}  // namespace

QXLinuxPlatform::QXLinuxPlatform() : QXLinuxPlatform(Options()) {}

QXLinuxPlatform::QXLinuxPlatform(Options options)
    : options_(std::move(options)),
      executableName_(readExecutableName()),
      localeIdentifier_(options_.localeIdentifier ? *options_.localeIdentifier
                                                  : localeIdentifierFrom(monetaryLocaleName())),
      monetaryLocale_(monetaryLocaleName()) {}

QXLinuxPlatform::~QXLinuxPlatform() = default;

double QXLinuxPlatform::secondsSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

int QXLinuxPlatform::processIdentifier() {
  return static_cast<int>(::getpid());
}

QXDeviceInfo QXLinuxPlatform::currentDevice() {
  QXDeviceInfo device;
  struct utsname names {};
  if (::uname(&names) == 0) {
    device.systemName = names.sysname;
    device.systemVersion = names.release;
    device.machine = names.machine;
  }
  device.model = readFirstLine("/sys/class/dmi/id/product_name");
  if (device.model.empty()) device.model = device.systemName.empty() ? "Linux" : device.systemName;
  return device;
}

std::optional<QXScreenBounds> QXLinuxPlatform::mainScreenBounds() {
  return options_.screen;
}

std::optional<std::string> QXLinuxPlatform::monetaryItem(int item) {
  if (monetaryLocale_.empty()) return std::nullopt;
  locale_t locale = ::newlocale(LC_MONETARY_MASK, monetaryLocale_.c_str(), nullptr);
  if (locale == nullptr) return std::nullopt;
  std::string value = trimmed(::nl_langinfo_l(item, locale));
  ::freelocale(locale);
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> QXLinuxPlatform::currencyCode() {
  return monetaryItem(INT_CURR_SYMBOL);
}

std::optional<std::string> QXLinuxPlatform::currencySymbol() {
  return monetaryItem(CURRENCY_SYMBOL);
}

uint32_t QXLinuxPlatform::defaultCStringEncoding() {
  std::string codeset = "ANSI_X3.4-1968";
  const std::string name = monetaryLocaleName();
  if (!name.empty()) {
    locale_t locale = ::newlocale(LC_CTYPE_MASK, name.c_str(), nullptr);
    if (locale != nullptr) {
      codeset = ::nl_langinfo_l(CODESET, locale);
      ::freelocale(locale);
    }
  }
  if (codeset == "UTF-8") return 4;
  if (codeset == "ANSI_X3.4-1968") return 1;
  if (codeset == "ISO-8859-1") return 5;
  if (codeset == "ISO-8859-2") return 9;
  if (codeset == "EUC-JP") return 3;
  if (codeset == "SHIFT_JIS") return 8;
  if (codeset == "CP1251") return 11;
  if (codeset == "CP1252") return 12;
  if (codeset == "CP1253") return 13;
  if (codeset == "CP1254") return 14;
  if (codeset == "CP1250") return 15;
  return 4;
}

std::optional<std::string> QXLinuxPlatform::infoDictionaryValue(const std::string& key) {
  auto it = options_.infoDictionary.find(key);
  if (it != options_.infoDictionary.end()) return it->second;
  if (key == "CFBundleName") return executableName_;
  return std::nullopt;
}

std::optional<std::string> QXLinuxPlatform::bundleIdentifier() {
  if (options_.bundleIdentifier) return options_.bundleIdentifier;
  return executableName_;
}

QXStandardUserDefaults* QXLinuxPlatform::standardUserDefaults() {
  std::call_once(defaultsOnce_, [this] {
    const std::string directory = dataDirectory();
    std::unique_ptr<QXStandardUserDefaults> stored;
    if (directory.empty()) {
      stored = std::make_unique<QXMemoryUserDefaults>();
    } else {
      stored = std::make_unique<QXFileUserDefaults>(directory + "/user-defaults.qxud");
    }
    std::map<std::string, std::string> registered;
    if (!localeIdentifier_.empty()) registered["AppleLocale"] = localeIdentifier_;
    defaults_ =
        std::make_unique<QXRegisteredUserDefaults>(std::move(stored), std::move(registered));
  });
  return defaults_.get();
}

std::optional<std::vector<QXInterfaceAddress>> QXLinuxPlatform::interfaceAddresses() {
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<QXInterfaceAddress> result;
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    QXInterfaceAddress address;
    address.name = entry->ifa_name ? entry->ifa_name : "";
    address.up = (entry->ifa_flags & IFF_UP) != 0;
    address.running = (entry->ifa_flags & IFF_RUNNING) != 0;
    address.link = linkKindOf(address.name, entry->ifa_flags);
    if (entry->ifa_addr != nullptr) {
      char text[INET6_ADDRSTRLEN] = {0};
      if (entry->ifa_addr->sa_family == AF_INET) {
        address.family = QXAddressFamily::kIPv4;
        auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) address.address = text;
      } else if (entry->ifa_addr->sa_family == AF_INET6) {
        address.family = QXAddressFamily::kIPv6;
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) address.address = text;
      }
    }
    result.push_back(std::move(address));
  }
  ::freeifaddrs(list);
  return result;
}

bool QXLinuxPlatform::fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string QXLinuxPlatform::defaultDataDirectory() const {
  std::string application = options_.bundleIdentifier.value_or(executableName_);
  for (char& c : application) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (application.empty() || application == "." || application == "..") application = "application";
  std::string base = environment("XDG_DATA_HOME");
  if (base.empty()) {
    const std::string home = environment("HOME");
    if (!home.empty()) base = home + "/.local/share";
  }
  if (base.empty())
    base = "/tmp/quorvex-" + std::to_string(::getuid());
  else
    base += "/quorvex";
  return base + "/" + application;
}

std::string QXLinuxPlatform::dataDirectory() {
  std::call_once(dataDirectoryOnce_, [this] {
    std::string directory =
        options_.dataDirectory.empty() ? defaultDataDirectory() : options_.dataDirectory;
    if (makeDirectories(directory)) {
      dataDirectory_ = directory;
    } else {
      QXReportPlatformError("data directory " + directory + " cannot be made (" +
                            std::generic_category().message(errno) +
                            "); state is kept in memory only");
    }
  });
  return dataDirectory_;
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
