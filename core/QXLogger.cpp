#include "core/QXLogger.h"

#include <cstdio>

QXLogger& QXLogger::sharedInstance() {
  static auto* logger = new QXLogger;  // never destroyed: usable during exit
  return *logger;
}

void QXLogger::logMessage(const std::string& message, int level) {
  if (!isLoggable(level)) return;
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
  }
  if (sink) {
    (*sink)(level, message);
  } else {
    writeToStandardError(level, message);
  }
}

void QXLogger::setSink(Sink sink) {
  auto shared = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(shared);
}

void QXLogger::writeToStandardError(int level, const std::string& message) {
  static const char* const kNames[] = {"DATA", "INFO", "INIT", "WARN", "ERROR"};
  const char* name = (level >= 0 && level <= 4) ? kNames[level] : "LOG";
  // One fwrite per line so that lines of several threads do not interleave.
  std::string line = "[Quorvex] " + std::string(name) + " " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}
