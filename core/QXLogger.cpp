#include "core/QXLogger.h"

#include <pthread.h>

#include <cstdio>

#include "core/QXCallbackSlot.h"
#include "core/QXGuard.h"

struct QXLogger::SinkSlot : QXCallbackSlot<std::shared_ptr<const Sink>> {};

// The sink's slot is held across fork(): a child whose parent forked while
// one of the SDK's threads was taking the sink finds the slot free.
struct QXLoggerFork {
  static void prepare() { QXLogger::sharedInstance().sink_->lockForFork(); }
  static void after() { QXLogger::sharedInstance().sink_->unlockAfterFork(); }
};

QXLogger::QXLogger() : sink_(std::make_unique<SinkSlot>()) {}
QXLogger::~QXLogger() = default;

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
  // The sink is the host's code: what it throws stays here. The first time
  // is told on standard error, since the sink itself cannot be trusted with
  // it; the message is lost.
  try {
    const bool written =
        sink_->call([&](const std::shared_ptr<const Sink>& sink) { (*sink)(level, message); });
    if (!written) writeToStandardError(level, message);
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
  // Copying a shared_ptr throws nothing; waiting for the old sink may
  // (a system error of the mutex), and then the new one is in place.
  QXGuarded("Replacing the log sink", [&] { sink_->set(std::move(shared)); });
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
