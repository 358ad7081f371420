#ifndef QUORVEX_PLATFORM_QXNOTIFICATIONCENTER_H_
#define QUORVEX_PLATFORM_QXNOTIFICATIONCENTER_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/QXExport.h"

// The user information of a notification: string keys to string values.
using QXUserInfo = std::map<std::string, std::string>;

// A named message with an optional sender and optional user information.
// `object` only identifies the sender; the center never dereferences it.
struct QXNotification {
  std::string name;                    // what the notification says
  const void* object = nullptr;        // its sender, or null
  std::optional<QXUserInfo> userInfo;  // what it carries, if anything

  // A notification without user information.
  static QXNotification notificationWithName(std::string name, const void* object) {
    QXNotification notification;
    notification.name = std::move(name);
    notification.object = object;
    return notification;
  }
  // A notification with `userInfo`.
  static QXNotification notificationWithName(std::string name, const void* object,
                                             std::optional<QXUserInfo> userInfo) {
    QXNotification notification = notificationWithName(std::move(name), object);
    if (userInfo) notification.userInfo.emplace(std::move(*userInfo));
    return notification;
  }
};

// Delivers notifications to the observers of their name, synchronously, on
// the posting thread, in the order in which the observers were added.
//
// Thread safety: every member may be called from any thread, also from inside
// an observer's callback. Lifetime guarantee: once removeObserver() has
// returned, no callback of the removed observations is running or will start,
// even while other threads are posting; a callback may remove its own
// observation (the call then does not wait for itself).
//
// Centers are shared: whoever posts to or observes a center holds a
// shared_ptr to it, so a center outlives every object that uses it.
class QX_EXPORT QXNotificationCenter {
 public:
  // An observer's code, called with each notification it observes.
  using Callback = std::function<void(const QXNotification&)>;

  // The process's default center. Never destroyed.
  static std::shared_ptr<QXNotificationCenter> defaultCenter();
  // A new, independent center.
  static std::shared_ptr<QXNotificationCenter> create();

  QXNotificationCenter() = default;
  QXNotificationCenter(const QXNotificationCenter&) = delete;
  QXNotificationCenter& operator=(const QXNotificationCenter&) = delete;

  // Observes `name` for any sender. `observer` identifies the owner of the
  // observation for removeObserver(); it is never dereferenced.
  void addObserver(const void* observer, const std::string& name, Callback callback);
  // Ends every observation of `observer`.
  void removeObserver(const void* observer);
  // Ends the observations of `name` by `observer`.
  void removeObserver(const void* observer, const std::string& name);

  // Calls the observers of the notification's name on this thread, in the
  // order they were added. A callback must not throw: if one does, the
  // exception is caught, the observers after it are still called, and the
  // first exception of each observation is reported once (QXPlatformLog).
  // Posting itself never throws.
  void postNotification(const QXNotification& notification) noexcept;

  // Number of live observations of `name` (for diagnostics and tests).
  size_t observerCount(const std::string& name) const;

 private:
  // A thread inside an observation's callback. It lives in the delivering
  // frame, so that entering a callback never allocates: a post delivers to
  // every observer even when memory has run out.
  struct Delivery {
    std::thread::id thread;
    Delivery* next = nullptr;
  };
  struct Observation {
    Observation(const void* o, Callback cb) : observer(o), callback(std::move(cb)) {}
    const void* const observer;
    const Callback callback;
    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;                    // guarded by mutex
    std::atomic<bool> threwBefore{false};  // its callback has thrown
    Delivery* running = nullptr;           // guarded by mutex: threads inside callback
  };
  using ObservationList = std::vector<std::shared_ptr<Observation>>;

  // Marks the observations inactive, then waits until no other thread is
  // inside one of their callbacks.
  static void retire(const ObservationList& observations);
  static void deliver(Observation& observation, const QXNotification& notification);
  static bool onlyOnThisThread(const Observation& observation, std::thread::id self);
  static void observerThrew(Observation& observation, const std::string& name,
                            const char* what) noexcept;

  mutable std::mutex mutex_;
  // Copy-on-write lists per name: a post takes the current list under the
  // lock and walks it without holding the lock. Guarded by mutex_.
  std::unordered_map<std::string, std::shared_ptr<const ObservationList>> byName_;
};

#endif  // QUORVEX_PLATFORM_QXNOTIFICATIONCENTER_H_
