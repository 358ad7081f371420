#ifndef QUORVEX_TESTS_FUZZ_STORED_FILE_SUPPORT_H_
#define QUORVEX_TESTS_FUZZ_STORED_FILE_SUPPORT_H_

// What the fuzzers of the files the SDK keeps share: a data directory of
// their own, emptied before each input, and the SDK's messages kept quiet
// (a damaged file is told at level 4, which is what most inputs are).

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "core/QXLogger.h"
#include "platform/QXPlatformLog.h"

namespace qxfuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// A private directory for this process's files, made once and removed at
// exit (a crash leaves it, with the input), quiet logs.
inline const std::string& dataDirectory() {
  // Never destroyed: the exit handler that removes the directory reads it.
  static const std::string* const path = [] {
    QXLogger::sharedInstance().setSink([](int, const std::string&) {});
    QXSetPlatformErrorSink([](const std::string&) {});
    // In memory when the machine has a tmpfs there: syncs then cost nothing.
    std::error_code error;
    const bool shared =
        std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK | X_OK) == 0;
    const std::filesystem::path base =
        shared ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    std::string pattern = (base / "quorvex-fuzz-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr);
    return new std::string(pattern);
  }();
  static const bool removedAtExit = std::atexit([] {
                                      std::error_code ignored;
                                      std::filesystem::remove_all(*path, ignored);
                                    }) == 0;
  (void)removedAtExit;
  return *path;
}

inline std::string fileIn(const std::string& name) {
  return dataDirectory() + "/" + name;
}

// Removes whatever the previous input left (files moved aside included).
inline void emptyDataDirectory() {
  for (const auto& entry : std::filesystem::directory_iterator(dataDirectory()))
    std::filesystem::remove_all(entry.path());
}

inline void writeBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  require(static_cast<bool>(out.flush()));
}

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qxfuzz

#endif  // QUORVEX_TESTS_FUZZ_STORED_FILE_SUPPORT_H_
