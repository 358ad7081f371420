#include "platform/QXLinuxDevice.h"

#include <sys/utsname.h>

#include "platform/QXFileText.h"
#include "platform/QXUTF8.h"

namespace {

bool isKeyCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The value after "KEY=", unquoted; nothing when the quoting is broken.
std::optional<std::string> unquoted(std::string_view value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
    value.remove_suffix(1);
  if (value.empty()) return std::string();
  const char quote = value.front();
  if (quote != '"' && quote != '\'') return std::string(value);
  if (value.size() < 2 || value.back() != quote) return std::nullopt;
  value = value.substr(1, value.size() - 2);
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quote == '"' && c == '\\' && i + 1 < value.size()) {
      const char next = value[i + 1];
      if (next == '"' || next == '\\' || next == '$' || next == '`') {
        c = next;
        ++i;
      }
    } else if (c == quote) {
      return std::nullopt;  // a quote inside the quotes that nothing escapes
    }
    out.push_back(c);
  }
  return out;
}

// The first line of a system file as printable text; empty when unreadable.
std::string fileLine(const std::string& path) {
  const auto text = QXReadFileHead(path, 4096);
  if (!text) return std::string();
  return QXPrintableLine(QXFirstLine(*text));
}

std::string firstOf(std::initializer_list<std::string> candidates) {
  for (const std::string& candidate : candidates) {
    if (!candidate.empty()) return candidate;
  }
  return std::string();
}

}  // namespace

std::optional<QXLinuxDevice::KernelNames> QXLinuxDevice::readKernelNames() {
  struct utsname names {};
  if (::uname(&names) != 0) return std::nullopt;
  return KernelNames{names.sysname, names.release, names.machine};
}

std::map<std::string, std::string> QXLinuxDevice::parseOSRelease(std::string_view text) {
  std::map<std::string, std::string> fields;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
      line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == 0 || equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    bool validKey = true;
    for (char c : key)
      validKey = validKey && isKeyCharacter(c);
    if (!validKey) continue;
    if (auto value = unquoted(line.substr(equals + 1))) fields[std::string(key)] = *value;
  }
  return fields;
}

QXDeviceInfo QXLinuxDevice::describe(const std::string& root,
                                     const std::optional<KernelNames>& kernel) {
  const std::string base = (root.empty() || root == "/") ? std::string() : root;
  auto osRelease = QXReadFileHead(base + "/etc/os-release");
  if (!osRelease) osRelease = QXReadFileHead(base + "/usr/lib/os-release");
  std::map<std::string, std::string> release;
  if (osRelease) release = parseOSRelease(*osRelease);
  auto field = [&](const char* key) {
    auto it = release.find(key);
    return it == release.end() ? std::string() : QXPrintableLine(it->second);
  };

  QXDeviceInfo device;
  device.model = firstOf({fileLine(base + "/sys/class/dmi/id/product_name"),
                          fileLine(base + "/sys/firmware/devicetree/base/model"), kFallbackModel});
  device.systemName =
      firstOf({field("NAME"), kernel ? QXPrintableLine(kernel->sysname) : "", kFallbackSystemName});
  device.systemVersion =
      firstOf({field("VERSION_ID"), kernel ? QXPrintableLine(kernel->release) : "",
               kFallbackSystemVersion});
  if (kernel) device.machine = kernel->machine;
  return device;
}
