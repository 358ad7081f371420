#include "platform/QXMemoryUserDefaults.h"

std::optional<std::string> QXMemoryUserDefaults::objectForKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void QXMemoryUserDefaults::setObject(const std::string& value, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_[key] = value;
}

void QXMemoryUserDefaults::removeObject(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.erase(key);
}

size_t QXMemoryUserDefaults::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.size();
}
