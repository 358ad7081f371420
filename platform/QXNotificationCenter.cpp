#include "platform/QXNotificationCenter.h"

#include <algorithm>
#include <exception>

#include "platform/QXPlatformLog.h"

std::shared_ptr<QXNotificationCenter> QXNotificationCenter::defaultCenter() {
  // Held by a pointer that is never destroyed: observers that live in
  // never-destroyed singletons may still use it while the process exits.
  static auto* center = new std::shared_ptr<QXNotificationCenter>(create());
  return *center;
}

std::shared_ptr<QXNotificationCenter> QXNotificationCenter::create() {
  return std::make_shared<QXNotificationCenter>();
}

void QXNotificationCenter::addObserver(const void* observer, const std::string& name,
                                       Callback callback) {
  if (!callback) return;
  auto observation = std::make_shared<Observation>(observer, std::move(callback));
  std::lock_guard<std::mutex> lock(mutex_);
  auto& list = byName_[name];
  auto updated =
      list ? std::make_shared<ObservationList>(*list) : std::make_shared<ObservationList>();
  updated->push_back(std::move(observation));
  list = std::move(updated);
}

void QXNotificationCenter::removeObserver(const void* observer) {
  ObservationList removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = byName_.begin(); it != byName_.end();) {
      auto updated = std::make_shared<ObservationList>();
      for (const auto& observation : *it->second) {
        (observation->observer == observer ? removed : *updated).push_back(observation);
      }
      if (updated->empty()) {
        it = byName_.erase(it);
      } else {
        it->second = std::move(updated);
        ++it;
      }
    }
  }
  retire(removed);
}

void QXNotificationCenter::removeObserver(const void* observer, const std::string& name) {
  ObservationList removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byName_.find(name);
    if (it == byName_.end()) return;
    auto updated = std::make_shared<ObservationList>();
    for (const auto& observation : *it->second) {
      (observation->observer == observer ? removed : *updated).push_back(observation);
    }
    if (updated->empty()) {
      byName_.erase(it);
    } else {
      it->second = std::move(updated);
    }
  }
  retire(removed);
}

void QXNotificationCenter::retire(const ObservationList& observations) {
  const auto self = std::this_thread::get_id();
  for (const auto& observation : observations) {
    std::unique_lock<std::mutex> lock(observation->mutex);
    observation->active = false;
    observation->idle.wait(lock, [&] { return onlyOnThisThread(*observation, self); });
  }
}

bool QXNotificationCenter::onlyOnThisThread(const Observation& observation, std::thread::id self) {
  for (const Delivery* delivery = observation.running; delivery != nullptr;
       delivery = delivery->next) {
    if (delivery->thread != self) return false;
  }
  return true;
}

void QXNotificationCenter::deliver(Observation& observation, const QXNotification& notification) {
  Delivery delivery{std::this_thread::get_id()};
  {
    std::lock_guard<std::mutex> lock(observation.mutex);
    if (!observation.active) return;
    delivery.next = observation.running;
    observation.running = &delivery;
  }
  struct Leave {
    Observation& observation;
    Delivery& delivery;
    ~Leave() {
      std::lock_guard<std::mutex> lock(observation.mutex);
      Delivery** link = &observation.running;
      while (*link != &delivery)
        link = &(*link)->next;
      *link = delivery.next;
      observation.idle.notify_all();
    }
  } leave{observation, delivery};
  observation.callback(notification);
}

void QXNotificationCenter::postNotification(const QXNotification& notification) noexcept {
  std::shared_ptr<const ObservationList> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byName_.find(notification.name);
    if (it == byName_.end()) return;
    observers = it->second;
  }
  for (const auto& observation : *observers) {
    // An observer may be the host's: what it throws stays here, so that the
    // observers after it are told too and the poster (a tracker's execute,
    // say) goes on. Each throwing observer is reported once.
    try {
      deliver(*observation, notification);
    } catch (const std::exception& error) {
      observerThrew(*observation, notification.name, error.what());
    } catch (...) {
      observerThrew(*observation, notification.name, "an exception that is no std::exception");
    }
  }
}

void QXNotificationCenter::observerThrew(Observation& observation, const std::string& name,
                                         const char* what) noexcept {
  if (observation.threwBefore.exchange(true)) return;
  try {
    QXReportPlatformError("an observer of \"" + name + "\" threw (" + what +
                          "); what it throws is ignored from now on");
  } catch (...) {
  }
}

size_t QXNotificationCenter::observerCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byName_.find(name);
  return it == byName_.end() ? 0 : it->second->size();
}
