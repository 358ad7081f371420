#ifndef QUORVEX_BINDINGS_C_QXCHANDLES_H_
#define QUORVEX_BINDINGS_C_QXCHANDLES_H_

// The objects behind the C API's opaque handles, and the tables that turn a
// handle back into its object.
//
// A handle is a token, not an address: a number handed out once in the
// process (from one counter for every kind), never dereferenced. A call
// looks its handle up in the table of its kind, so a freed handle, one of
// another kind or any other pointer is refused without touching memory, and
// a handle that is freed and then reused finds nothing even after the
// allocator has given its object's memory to another one.
//
// Lifetime: the table holds the object by a shared pointer and so does each
// call while it runs, so that a free on one thread while a call uses the
// object on another ends the object when the call returns. The tables are
// never destroyed: a call at process exit, after static destructors, still
// finds them.
//
// Threads: every member is safe to call from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "bindings/c/QXCErrors.h"

// QXProduct is a plain value; the handle makes it safe across threads.
struct QXCProduct {
  std::mutex mutex;
  QXProduct product;  // guarded by mutex

  QXProduct copy() {
    std::lock_guard<std::mutex> lock(mutex);
    return product;
  }
};

// A new token: never 0, never the same twice.
uintptr_t QXCNewToken() noexcept;

template <typename Object>
class QXCHandleTable {
 public:
  // The process's one table of this kind.
  static QXCHandleTable& shared() {
    static QXCHandleTable* table = new QXCHandleTable();
    return *table;
  }

  // Registers `object` and returns its handle.
  uintptr_t add(std::shared_ptr<Object> object) {
    const uintptr_t token = QXCNewToken();
    std::lock_guard<std::mutex> lock(mutex_);
    objects_.emplace(token, std::move(object));
    return token;
  }

  // The object of `handle`; throws QXCError when there is none. `name`
  // names the argument.
  std::shared_ptr<Object> find(const void* handle, const char* name) const {
    if (handle == nullptr) throw QXCError(QX_E_INVALID_ARGUMENT, std::string(name) + " is NULL");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
      if (found != objects_.end()) return found->second;
    }
    throw QXCError(QX_E_INVALID_HANDLE,
                   std::string(name) + " is not a live handle of its kind (freed, or another's)");
  }

  // Forgets `handle`; its object goes once no call uses it. False when it
  // was not a live handle.
  bool remove(const void* handle) {
    std::shared_ptr<Object> object;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == objects_.end()) return false;
    // Destroyed after the lock is released: a tracker's destructor may take
    // a while, and must not hold up the other handles.
    object = std::move(found->second);
    objects_.erase(found);
    return true;
  }

 private:
  QXCHandleTable() = default;

  mutable std::mutex mutex_;
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects_;  // guarded by mutex_
};

using QXCTrackers = QXCHandleTable<Quorvex>;
using QXCAppVarsTable = QXCHandleTable<QXAppVars>;
using QXCProducts = QXCHandleTable<QXCProduct>;

template <typename Handle>
Handle* QXCHandleOf(uintptr_t token) {
  return reinterpret_cast<Handle*>(token);
}

#endif  // QUORVEX_BINDINGS_C_QXCHANDLES_H_
