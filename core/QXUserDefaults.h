#ifndef QUORVEX_CORE_QXUSERDEFAULTS_H_
#define QUORVEX_CORE_QXUSERDEFAULTS_H_

#include <optional>
#include <string>

// One persisted string per label, kept in the platform's standard user
// defaults under the label itself. When the platform has no user defaults,
// nothing is stored and every label reads as absent. Thread-safe.
class QXUserDefaults {
 public:
  static std::optional<std::string> retrieveInfoFromUserDefaults(const std::string& label);
  static void saveInfoToUserDefaults(const std::string& info, const std::string& label);
};

#endif  // QUORVEX_CORE_QXUSERDEFAULTS_H_
