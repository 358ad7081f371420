#ifndef QUORVEX_PLATFORM_QXFILETEXT_H_
#define QUORVEX_PLATFORM_QXFILETEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Small text files of the system (/etc/os-release, /sys and /proc entries).

// Up to `maxBytes` from the start of the file at `path`; nothing when it
// cannot be opened or read. A file that is longer is cut, not refused, so a
// huge or endless file costs no more than `maxBytes`.
std::optional<std::string> QXReadFileHead(const std::string& path, size_t maxBytes = 64 * 1024);

// The text up to the first line break or NUL.
std::string_view QXFirstLine(std::string_view text);

#endif  // QUORVEX_PLATFORM_QXFILETEXT_H_
