#ifndef QUORVEX_PLATFORM_QXLINUXDEVICE_H_
#define QUORVEX_PLATFORM_QXLINUXDEVICE_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/QXPlatform.h"

// What a Linux machine says about itself, read from the kernel (uname) and
// from system files, each value with a fixed fallback when nothing can be
// read:
//
//   model          DMI product name, else the device-tree model (boards
//                  without DMI), else "Linux device"
//   systemName     NAME of os-release (/etc, else /usr/lib), else the
//                  kernel's name, else "Linux"
//   systemVersion  VERSION_ID of os-release, else the kernel release, else
//                  "unknown"
//   machine        the uname machine identifier ("x86_64", "aarch64") as the
//                  kernel gives its bytes; empty when uname fails
//
// Texts read from files are cut to their first line, decoded as UTF-8 and
// stripped of control characters. Never throws.
class QXLinuxDevice {
 public:
  static constexpr const char* kFallbackModel = "Linux device";
  static constexpr const char* kFallbackSystemName = "Linux";
  static constexpr const char* kFallbackSystemVersion = "unknown";

  struct KernelNames {
    std::string sysname;  // "Linux"
    std::string release;  // "6.1.0-13-amd64"
    std::string machine;  // "x86_64"
  };

  // The running kernel's names; nothing when uname fails.
  static std::optional<KernelNames> readKernelNames();

  // The description from the files under `root` (the directory that stands
  // for "/"; tests point it elsewhere) and the given kernel names.
  static QXDeviceInfo describe(const std::string& root, const std::optional<KernelNames>& kernel);

  // The fields of an os-release file: KEY=value lines whose value may be
  // quoted in shell style ('...' or "..." with \", \\, \$ and \` escapes).
  // Comments, blank lines and lines that do not parse are skipped; a later
  // line of the same key wins.
  static std::map<std::string, std::string> parseOSRelease(std::string_view text);
};

#endif  // QUORVEX_PLATFORM_QXLINUXDEVICE_H_
