#include "platform/QXComponentRegistry.h"

#include <mutex>
#include <set>

namespace {

struct Registry {
  std::mutex mutex;
  std::set<std::string> names;  // guarded by mutex
};

// Never destroyed, so that components registering from static initialisers
// and look-ups during exit both find it alive.
Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}

}  // namespace

bool QXComponentRegistry::add(const std::string& name) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().names.insert(name);
  return true;
}

void QXComponentRegistry::remove(const std::string& name) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().names.erase(name);
}

bool QXComponentRegistry::contains(const std::string& name) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return registry().names.count(name) != 0;
}
