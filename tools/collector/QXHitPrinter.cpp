#include "tools/collector/QXHitPrinter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "tools/collector/QXFormFields.h"

namespace {

// Writes all of `text` to `fd`; output that cannot be written is lost, as
// it would be with stdio.
void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

QXHitPrinter::QXHitPrinter(Options options) : options_(options), writer_([this] { writeLoop(); }) {}

QXHitPrinter::~QXHitPrinter() {
  finish();
}

void QXHitPrinter::print(const QXCollector::Request& request) {
  const std::string_view identifier = request.headerValue("X-Quorvex-Hit-Id");
  const size_t count = options_.count;
  std::unique_lock<std::mutex> lock(mutex_);
  roomLeft_.wait(lock, [&] { return text_.size() < kMostPendingBytes; });
  if (count != 0 && printed_ >= count) return;
  const bool wasEmpty = text_.empty();
  text_ += "--- hit " + std::to_string(++printed_) + ": ";
  text_ += request.method;
  text_ += ' ';
  text_ += request.target;
  text_ += ", " + std::to_string(request.body.size()) + " bytes";
  if (!identifier.empty()) {
    text_ += ", id ";
    text_ += identifier;
  }
  text_ += '\n';
  QXAppendFormattedFields(text_, request.body);
  if (options_.bodiesFd >= 0) {
    bodies_ += request.body;
    bodies_ += '\n';
  }
  if (wasEmpty || text_.size() >= kMostPendingBytes) wakeWriter_.notify_one();
  if (count != 0 && printed_ == count && options_.doneFd >= 0) {
    const uint64_t one = 1;
    if (::write(options_.doneFd, &one, sizeof one) < 0) {
      // Cannot happen with one write to an eventfd; the caller would then
      // wait for another end.
    }
  }
}

void QXHitPrinter::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finishing_) return;
    finishing_ = true;
  }
  wakeWriter_.notify_one();
  writer_.join();
}

void QXHitPrinter::writeLoop() {
  // Swapped with the pending buffers, so that both keep their capacity.
  std::string text;
  std::string bodies;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wakeWriter_.wait(lock, [&] { return finishing_ || !text_.empty(); });
    // Gathers what else comes meanwhile, so that one write carries many hits.
    wakeWriter_.wait_for(lock, kFlushInterval,
                         [&] { return finishing_ || text_.size() >= kMostPendingBytes; });
    if (finishing_ && text_.empty()) return;
    text.swap(text_);
    bodies.swap(bodies_);
    lock.unlock();
    roomLeft_.notify_all();
    writeAll(options_.textFd, text);
    if (options_.bodiesFd >= 0) writeAll(options_.bodiesFd, bodies);
    text.clear();
    bodies.clear();
    lock.lock();
  }
}
