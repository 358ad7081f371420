#ifndef QUORVEX_TESTS_FAKE_TRANSPORT_H_
#define QUORVEX_TESTS_FAKE_TRANSPORT_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/network/QXHTTPSender.h"

namespace qxtest {

// A transport for all connections of a worker: it records what it is given
// and answers what the script says (200 without one). While held, sends
// wait until released or aborted, so that a test can look at what is in
// flight.
class FakeTransport {
 public:
  using Script = std::function<QXSendResult(const QXHTTPRequest& request, size_t index)>;

  void setScript(Script script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
  }

  QXSenderFactory factory() {
    return [this] { return std::make_unique<Sender>(*this); };
  }

  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }

  std::vector<QXHTTPRequest> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<std::string> bodies() const {
    std::vector<std::string> bodies;
    for (const auto& request : requests())
      bodies.push_back(request.body);
    return bodies;
  }
  bool waitForRequests(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
  }
  bool waitForInFlight(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return inFlight_ >= n; });
  }
  size_t mostInFlight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mostInFlight_;
  }

 private:
  class Sender : public QXHTTPSender {
   public:
    explicit Sender(FakeTransport& transport) : transport_(transport) {}
    QXSendResult send(const QXHTTPRequest& request) override {
      return transport_.perform(request, *this);
    }
    void abort() override {
      {
        std::lock_guard<std::mutex> lock(transport_.mutex_);
        aborted_ = true;
      }
      transport_.changed_.notify_all();
    }
    bool aborted_ = false;  // guarded by the transport's mutex

   private:
    FakeTransport& transport_;
  };

  QXSendResult perform(const QXHTTPRequest& request, Sender& sender) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (sender.aborted_) return QXSendResult::failure(QXSendResult::Kind::kAborted, "aborted");
    const size_t index = requests_.size();
    requests_.push_back(request);
    ++inFlight_;
    mostInFlight_ = std::max(mostInFlight_, inFlight_);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_ || sender.aborted_; });
    --inFlight_;
    if (sender.aborted_) return QXSendResult::failure(QXSendResult::Kind::kAborted, "aborted");
    const Script script = script_;
    lock.unlock();
    return script ? script(request, index) : QXSendResult::response(200);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Script script_;
  bool held_ = false;
  std::vector<QXHTTPRequest> requests_;
  size_t inFlight_ = 0;
  size_t mostInFlight_ = 0;
};

}  // namespace qxtest

#endif  // QUORVEX_TESTS_FAKE_TRANSPORT_H_
