#include "bindings/c/QXCPlatform.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "QXSDK/QXSDKConstants.h"
#include "bindings/c/QXCErrors.h"
#include "bindings/c/QXCStructs.h"
#include "platform/QXApplication.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXPlatformUse.h"

namespace {

std::optional<std::string> optionalText(const char* name, const char* text) {
  if (text == nullptr) return std::nullopt;
  return QXCNonEmptyText(name, text);
}

double screenDimension(const char* name, double value) {
  if (!std::isfinite(value) || value < 0 || value > 1e6)
    throw QXCError(QX_E_INVALID_ARGUMENT, std::string(name) + " is not a number from 0 to 1e6");
  return value;
}

QXLinuxPlatform::Options optionsOf(const qx_platform_options& in) {
  QXLinuxPlatform::Options options;
  if (in.data_directory != nullptr)
    options.dataDirectory = QXCNonEmptyText("data_directory", in.data_directory);
  options.bundleIdentifier = optionalText("bundle_identifier", in.bundle_identifier);
  options.localeIdentifier = optionalText("locale_identifier", in.locale_identifier);
  if (in.info_dictionary_count > 0) QXCRequire(in.info_dictionary, "info_dictionary");
  for (size_t i = 0; i < in.info_dictionary_count; ++i) {
    const std::string entry = "info_dictionary[" + std::to_string(i) + "]";
    options.infoDictionary[QXCNonEmptyText((entry + ".key").c_str(), in.info_dictionary[i].key)] =
        QXCText((entry + ".value").c_str(), in.info_dictionary[i].value);
  }
  if (in.has_screen != 0) {
    options.screen = QXScreenBounds{screenDimension("screen_width", in.screen_width),
                                    screenDimension("screen_height", in.screen_height)};
  }
  return options;
}

int install(const qx_platform_options& in) {
  // Checked whole before anything is installed.
  QXLinuxPlatform::Options options = optionsOf(in);
  auto platform = std::make_shared<QXLinuxPlatform>(std::move(options));
  if (!QXInstallPlatformBeforeUse(std::move(platform))) {
    throw QXCError(QX_E_STATE,
                   "the platform is installed before the first tracker, delivery call or "
                   "application transition");
  }
  return QX_OK;
}

// A transition posts on the default center, whose observers read the
// platform.
int transition(void (*post)()) {
  QXCStartSDK();
  post();
  return QX_OK;
}

}  // namespace

void QXCStartSDK() noexcept {
  QXMarkPlatformInUse();
}

extern "C" {

QX_API const char* qx_version(void) {
  return kQXSDKVersion;
}

QX_API void qx_free(void* memory) {
  std::free(memory);
}

QX_API int qx_platform_install_linux(const char* data_directory, const char* bundle_identifier) {
  return QXCRun(__func__, [&] {
    qx_platform_options options{};
    options.size = sizeof options;
    options.data_directory = data_directory;
    options.bundle_identifier = bundle_identifier;
    return install(options);
  });
}

QX_API int qx_platform_install_linux_options(const qx_platform_options* options) {
  return QXCRun(__func__, [&] {
    qx_platform_options defaults{};
    return install(QXCReadSized(options, defaults, sizeof(qx_platform_options), "options"));
  });
}

QX_API int qx_application_did_enter_background(void) {
  return QXCRun(__func__, [] { return transition(&QXApplication::didEnterBackground); });
}

QX_API int qx_application_will_enter_foreground(void) {
  return QXCRun(__func__, [] { return transition(&QXApplication::willEnterForeground); });
}

}  // extern "C"
