#ifndef QUORVEX_PLATFORM_QXMEMORYUSERDEFAULTS_H_
#define QUORVEX_PLATFORM_QXMEMORYUSERDEFAULTS_H_

#include <mutex>
#include <unordered_map>

#include "platform/QXStandardUserDefaults.h"

// User defaults that live in memory only: the fallback when no data directory
// can be had, and the base of the fake platform's defaults. Thread-safe.
class QXMemoryUserDefaults : public QXStandardUserDefaults {
 public:
  std::optional<std::string> objectForKey(const std::string& key) override;
  void setObject(const std::string& value, const std::string& key) override;
  void removeObject(const std::string& key) override;
  bool synchronize() override { return true; }

  size_t count() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::string> values_;  // guarded by mutex_
};

#endif  // QUORVEX_PLATFORM_QXMEMORYUSERDEFAULTS_H_
