#ifndef QUORVEX_PLATFORM_QXSTANDARDUSERDEFAULTS_H_
#define QUORVEX_PLATFORM_QXSTANDARDUSERDEFAULTS_H_

#include <optional>
#include <string>

#include "platform/QXExport.h"

// The application's persisted key/value store of strings (the platform's
// standard user defaults). Keys and values are arbitrary bytes.
//
// Implementations are safe for concurrent use from several threads. A write
// is visible to every later read at once; when it reaches the disk is the
// implementation's affair, but the file-backed one has handed every write to
// the kernel before the call returns, so it survives a crash of the process.
class QX_EXPORT QXStandardUserDefaults {
 public:
  virtual ~QXStandardUserDefaults() = default;

  // The value stored under `key`, or nullopt.
  virtual std::optional<std::string> objectForKey(const std::string& key) = 0;
  // Stores `value` under `key`, replacing what was there.
  virtual void setObject(const std::string& value, const std::string& key) = 0;
  // Removes `key` and its value.
  virtual void removeObject(const std::string& key) = 0;
  // Writes pending changes out and makes them durable. False when that failed
  // (the failure has been reported through the platform's error log).
  virtual bool synchronize() = 0;
};

#endif  // QUORVEX_PLATFORM_QXSTANDARDUSERDEFAULTS_H_
