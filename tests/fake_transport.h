#ifndef QUORVEX_TESTS_FAKE_TRANSPORT_H_
#define QUORVEX_TESTS_FAKE_TRANSPORT_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/network/QXTransport.h"

namespace qxtest {

// A transport for a worker: it records what it is given and answers what
// the script says (200 without one). While held, requests stay unanswered
// until released or aborted, so that a test can look at what is in flight.
class FakeTransport {
 public:
  using Script = std::function<QXSendResult(const QXHTTPRequest& request, size_t index)>;

  void setScript(Script script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
  }

  QXTransportFactory factory() {
    return [this] { return std::make_unique<Transport>(*this); };
  }

  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  // Holds only the requests `which` picks (until release()).
  void holdIf(std::function<bool(const QXHTTPRequest&)> which) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdIf_ = std::move(which);
  }
  void release() {
    std::vector<Waiting> waiting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
      holdIf_ = nullptr;
      waiting.swap(waiting_);
    }
    for (Waiting& request : waiting)
      answer(request.token, request.request, request.index);
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
  // Requests started and not yet answered back to the worker.
  bool waitForInFlight(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return inFlight_ >= n; });
  }
  size_t mostInFlight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mostInFlight_;
  }

 private:
  struct Waiting {
    uint64_t token;
    QXHTTPRequest request;
    size_t index;
  };

  class Transport : public QXTransport {
   public:
    explicit Transport(FakeTransport& fake) : fake_(fake) {}
    ~Transport() override { abortAll(); }
    void start(uint64_t token, QXHTTPRequest request) override { fake_.start(token, request); }
    std::vector<Answer> collect() override { return fake_.collect(); }
    void waitForActivity(std::optional<Clock::time_point> deadline) override {
      fake_.waitForActivity(deadline);
    }
    void wakeup() override { fake_.wakeup(); }
    std::vector<Answer> abortAll() override { return fake_.abortAll(); }
    size_t inFlight() const override { return fake_.inFlightNow(); }

   private:
    FakeTransport& fake_;
  };

  void start(uint64_t token, const QXHTTPRequest& request) {
    size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = requests_.size();
      requests_.push_back(request);
      ++inFlight_;
      mostInFlight_ = std::max(mostInFlight_, inFlight_);
      if (held_ || (holdIf_ && holdIf_(request))) {
        waiting_.push_back(Waiting{token, request, index});
        changed_.notify_all();
        return;
      }
    }
    answer(token, request, index);
  }
  void answer(uint64_t token, const QXHTTPRequest& request, size_t index) {
    Script script;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      script = script_;
    }
    QXSendResult result = script ? script(request, index) : QXSendResult::response(200);
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(QXTransport::Answer{token, std::move(result)});
    changed_.notify_all();
  }
  std::vector<QXTransport::Answer> collect() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<QXTransport::Answer> answers;
    answers.swap(answers_);
    inFlight_ -= std::min(inFlight_, answers.size());
    changed_.notify_all();
    return answers;
  }
  void waitForActivity(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] { return woken_ || !answers_.empty(); };
    if (deadline) {
      changed_.wait_until(lock, *deadline, ready);
    } else {
      changed_.wait(lock, ready);
    }
    woken_ = false;
  }
  void wakeup() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
  }
  std::vector<QXTransport::Answer> abortAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<QXTransport::Answer> answers;
    answers.swap(answers_);
    for (const Waiting& request : waiting_) {
      answers.push_back(QXTransport::Answer{
          request.token, QXSendResult::failure(QXSendResult::Kind::kAborted, "aborted")});
    }
    waiting_.clear();
    inFlight_ = 0;
    changed_.notify_all();
    return answers;
  }
  size_t inFlightNow() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inFlight_;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Script script_;
  bool held_ = false;
  std::function<bool(const QXHTTPRequest&)> holdIf_;
  bool woken_ = false;
  std::vector<QXHTTPRequest> requests_;
  std::vector<Waiting> waiting_;
  std::vector<QXTransport::Answer> answers_;
  size_t inFlight_ = 0;
  size_t mostInFlight_ = 0;
};

}  // namespace qxtest

#endif  // QUORVEX_TESTS_FAKE_TRANSPORT_H_
