#ifndef QUORVEX_TOOLS_COLLECTOR_QXHITPRINTER_H_
#define QUORVEX_TOOLS_COLLECTOR_QXHITPRINTER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "tools/collector/QXCollector.h"

// What `quorvex collect` shows of the hits it receives: each hit's text
// ("--- hit N: POST /7/, 1362 bytes, id ID" and its fields, a line each) on
// one descriptor, and optionally each raw body as a line of another. Hits
// are numbered from 1 in the order print() takes them. A thread of the
// printer's own writes them at most kFlushInterval after they came, so that
// a burst of hits costs a few writes instead of two flushes a hit, while a
// person watching still sees each hit at once.
//
// Threads: print() from any thread; finish() once the last print() has
// returned, to write what is left and end the writing thread. Nothing
// printed before it is lost. The descriptors are the caller's: they must
// stay open until finish() returns, and are not closed.
class QXHitPrinter {
 public:
  struct Options {
    int textFd = 1;     // standard output
    int bodiesFd = -1;  // -1: the bodies are not written
    // 0: no limit. Otherwise the hits after the first `count` are not
    // printed, and once `count` are, doneFd (an eventfd) is written once.
    size_t count = 0;
    int doneFd = -1;
  };

  explicit QXHitPrinter(Options options);
  ~QXHitPrinter();
  QXHitPrinter(const QXHitPrinter&) = delete;
  QXHitPrinter& operator=(const QXHitPrinter&) = delete;

  void print(const QXCollector::Request& request);
  void finish();

 private:
  static constexpr std::chrono::milliseconds kFlushInterval{20};
  // Beyond this much text waiting, print() waits for the writer, as a slow
  // reader of the text would have made it wait.
  static constexpr size_t kMostPendingBytes = 8 * 1024 * 1024;

  void writeLoop();

  // Constant after construction.
  const Options options_;

  std::mutex mutex_;
  std::condition_variable wakeWriter_;
  std::condition_variable roomLeft_;
  // Guarded by mutex_.
  bool finishing_ = false;
  size_t printed_ = 0;
  std::string text_;    // not yet written
  std::string bodies_;  // not yet written

  std::thread writer_;  // last: it starts once the members above exist
};

#endif  // QUORVEX_TOOLS_COLLECTOR_QXHITPRINTER_H_
