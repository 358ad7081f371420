#include "platform/QXFileText.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::optional<std::string> QXReadFileHead(const std::string& path, size_t maxBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  bool failed = false;
  while (text.size() < maxBytes) {
    const size_t want = std::min(sizeof buffer, maxBytes - text.size());
    const ssize_t n = ::read(fd, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (failed) return std::nullopt;
  return text;
}

std::string_view QXFirstLine(std::string_view text) {
  return text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3)));
}
