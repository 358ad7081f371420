#ifndef QUORVEX_PLATFORM_QXREGISTEREDUSERDEFAULTS_H_
#define QUORVEX_PLATFORM_QXREGISTEREDUSERDEFAULTS_H_

#include <map>
#include <memory>

#include "platform/QXStandardUserDefaults.h"

// User defaults with a registration domain: values that the platform offers
// for keys that hold nothing (the user's locale under "AppleLocale", say).
// Registered values are never persisted; a stored value always wins.
class QXRegisteredUserDefaults : public QXStandardUserDefaults {
 public:
  QXRegisteredUserDefaults(std::unique_ptr<QXStandardUserDefaults> stored,
                           std::map<std::string, std::string> registered)
      : stored_(std::move(stored)), registered_(std::move(registered)) {}

  std::optional<std::string> objectForKey(const std::string& key) override {
    if (auto value = stored_->objectForKey(key)) return value;
    auto it = registered_.find(key);
    if (it == registered_.end()) return std::nullopt;
    return it->second;
  }
  void setObject(const std::string& value, const std::string& key) override {
    stored_->setObject(value, key);
  }
  void removeObject(const std::string& key) override { stored_->removeObject(key); }
  bool synchronize() override { return stored_->synchronize(); }

  QXStandardUserDefaults& stored() { return *stored_; }

 private:
  const std::unique_ptr<QXStandardUserDefaults> stored_;
  const std::map<std::string, std::string> registered_;
};

#endif  // QUORVEX_PLATFORM_QXREGISTEREDUSERDEFAULTS_H_
