#include "core/QXLogger.h"

#include <pthread.h>

#include <cstdio>

#include "core/QXGuard.h"

// The log is held across fork(): a child whose parent forked while one of
// the SDK's threads was writing a line finds the log free.
struct QXLoggerFork {
  static void prepare() { QXLogger::sharedInstance().mutex_.lock(); }
  static void after() { QXLogger::sharedInstance().mutex_.unlock(); }
};

QXLogger& QXLogger::sharedInstance() {
  static auto* logger = [] {
    auto* made = new QXLogger;  // never destroyed: usable during exit
    ::pthread_atfork(&QXLoggerFork::prepare, &QXLoggerFork::after, &QXLoggerFork::after);
    return made;
  }();
  return *logger;
}

void QXLogger::logMessage(const std::string& message, int level) noexcept {
  if (!isLoggable(level)) return;
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
  }
  // The sink is the host's code: what it throws stays here. The first time
  // is told on standard error, since the sink itself cannot be trusted with
  // it; the message is lost.
  try {
    if (sink) {
      (*sink)(level, message);
    } else {
      writeToStandardError(level, message);
    }
  } catch (...) {
    sinkThrew(QXCurrentExceptionText());
  }
}

void QXLogger::sinkThrew(const char* what) noexcept {
  if (sinkThrewBefore_.exchange(true)) return;
  try {
    writeToStandardError(
        4, std::string("The log sink threw (") + what + "); what it throws is ignored from now on");
  } catch (...) {
  }
}

void QXLogger::setSink(Sink sink) noexcept {
  std::shared_ptr<const Sink> shared;
  try {
    if (sink) shared = std::make_shared<const Sink>(std::move(sink));
  } catch (...) {
    // No memory for the new sink: the one in place stays, and says so.
    logMessage("The log sink could not be replaced: out of memory", 4);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(shared);
}

void QXLogger::writeToStandardError(int level, const std::string& message) noexcept {
  static const char* const kNames[] = {"DATA", "INFO", "INIT", "WARN", "ERROR"};
  const char* name = (level >= 0 && level <= 4) ? kNames[level] : "LOG";
  // One fwrite per line so that lines of several threads do not interleave.
  try {
    std::string line = "[Quorvex] " + std::string(name) + " " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (...) {
    // No memory for the line: the message is lost, nothing is thrown.
  }
}
