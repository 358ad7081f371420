#include "tools/collector/QXHitHistory.h"

#include <algorithm>
#include <utility>

namespace {

// A body this large is not worth keeping the room of once dropped.
constexpr size_t kMostReusedBytes = 64 * 1024;

}  // namespace

QXHitHistory::QXHitHistory(size_t capacity, size_t maxBytes)
    : capacity_(std::max<size_t>(capacity, 1)), maxBytes_(maxBytes) {}

uint64_t QXHitHistory::append(const QXCollector::Request& request, int64_t receivedMs) {
  const std::string_view identifier = request.headerValue("X-Quorvex-Hit-Id");
  std::lock_guard<std::mutex> lock(mutex_);
  QXRecordedHit hit = std::move(spare_);
  spare_ = QXRecordedHit();
  hit.sequence = next_++;
  hit.receivedMs = receivedMs;
  hit.method.assign(request.method);
  hit.target.assign(request.target);
  hit.identifier.assign(identifier);
  // Room to spare, so that the body of a dropped hit takes the next one
  // without a new allocation, bodies varying a little in size.
  if (hit.body.capacity() < request.body.size())
    hit.body.reserve(request.body.size() + request.body.size() / 4);
  hit.body.assign(request.body);
  bytes_ += hit.body.size();
  hits_.push_back(std::move(hit));
  while (hits_.size() > capacity_ || (bytes_ > maxBytes_ && hits_.size() > 1)) {
    bytes_ -= hits_.front().body.size();
    spare_ = std::move(hits_.front());
    hits_.pop_front();
  }
  if (spare_.body.capacity() > kMostReusedBytes) spare_.body = std::string();
  return next_ - 1;
}

QXHitHistory::Window QXHitHistory::copySince(uint64_t from, size_t limit,
                                             std::vector<QXRecordedHit>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Window window;
  window.next = next_;
  window.first = next_ - hits_.size();
  const uint64_t start = std::max(from, window.first);
  const size_t count = start >= window.next
                           ? 0
                           : static_cast<size_t>(std::min<uint64_t>(window.next - start, limit));
  out.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const QXRecordedHit& hit = hits_[static_cast<size_t>(start - window.first) + i];
    QXRecordedHit& copy = out[i];
    copy.sequence = hit.sequence;
    copy.receivedMs = hit.receivedMs;
    copy.method.assign(hit.method);
    copy.target.assign(hit.target);
    copy.identifier.assign(hit.identifier);
    copy.body.assign(hit.body);
  }
  return window;
}

uint64_t QXHitHistory::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_ - hits_.size();
}
