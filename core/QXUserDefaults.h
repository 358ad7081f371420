#ifndef QUORVEX_CORE_QXUSERDEFAULTS_H_
#define QUORVEX_CORE_QXUSERDEFAULTS_H_

#include <optional>
#include <string>

class QXPlatform;

// One persisted string per label, kept in the platform's standard user
// defaults under the label itself. When the platform has no user defaults,
// nothing is stored and every label reads as absent. Thread-safe.
class QXUserDefaults {
 public:
  // Through the current platform.
  static std::optional<std::string> retrieveInfoFromUserDefaults(const std::string& label);
  static void saveInfoToUserDefaults(const std::string& info, const std::string& label);
  // Through a given platform.
  static std::optional<std::string> retrieveInfoFromUserDefaults(const std::string& label,
                                                                 QXPlatform& platform);
  static void saveInfoToUserDefaults(const std::string& info, const std::string& label,
                                     QXPlatform& platform);
};

#endif  // QUORVEX_CORE_QXUSERDEFAULTS_H_
