// The C API's trackers: each function looks its handle up, checks its
// arguments whole, then makes one call of the C++ tracker.
#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/Quorvex.h"
#include "bindings/c/QXCErrors.h"
#include "bindings/c/QXCHandles.h"
#include "bindings/c/QXCPlatform.h"

namespace {

constexpr int32_t kDeactivated = 2;

std::shared_ptr<Quorvex> trackerOf(const qx_tracker* handle) {
  return QXCTrackers::shared().find(handle, "tracker");
}

// The application variables of a hit; null for none.
std::shared_ptr<QXAppVars> appVarsOrNone(const qx_app_vars* handle) {
  if (handle == nullptr) return nullptr;
  return QXCAppVarsTable::shared().find(handle, "app_vars");
}

// A URL the delivery can request: libcurl parses it, as it will when
// sending, and its scheme is http or https with a host.
std::string collectorURL(const char* url) {
  std::string text = QXCText("url", url);
  std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
  if (parsed == nullptr) throw std::bad_alloc();
  if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    throw QXCError(QX_E_BAD_URL, "url is not a URL");
  char* scheme = nullptr;
  char* host = nullptr;
  curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0);
  curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0);
  const bool web =
      scheme != nullptr && (std::string(scheme) == "http" || std::string(scheme) == "https");
  const bool hasHost = host != nullptr && host[0] != '\0';
  curl_free(scheme);
  curl_free(host);
  if (!web) throw QXCError(QX_E_BAD_URL, "url is not an http or https URL");
  if (!hasHost) throw QXCError(QX_E_BAD_URL, "url names no host");
  return text;
}

// 1 with the value handed out, 0 when absent.
int found(const std::optional<std::string>& value, char** out, size_t* length) {
  QXCRequire(out, "value");
  *out = nullptr;
  if (!value) return 0;
  QXCReturnText(*value, out, length);
  return 1;
}

}  // namespace

extern "C" {

QX_API qx_tracker* qx_tracker_new(int32_t site_id, int32_t container_id) {
  uintptr_t token = 0;
  QXCRun(__func__, [&] {
    QXCStartSDK();
    auto tracker = std::make_shared<Quorvex>(site_id, container_id);
    // The C++ tracker exists even when its creation failed half-way (it
    // then refuses its hits); a C caller is told at once instead.
    if (tracker->senderDelegate() == nullptr)
      throw QXCError(QX_E_INTERNAL, "the tracker could not be created whole (see the log)");
    token = QXCTrackers::shared().add(std::move(tracker));
    return QX_OK;
  });
  return QXCHandleOf<qx_tracker>(token);
}

QX_API void qx_tracker_free(qx_tracker* tracker) {
  QXCRun(__func__, [&] {
    if (tracker != nullptr && !QXCTrackers::shared().remove(tracker))
      throw QXCError(QX_E_INVALID_HANDLE, "tracker is not a live tracker handle");
    return QX_OK;
  });
}

QX_API int qx_tracker_set_url(qx_tracker* tracker, const char* url) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    object->setUrl(collectorURL(url));
    return QX_OK;
  });
}

QX_API int qx_tracker_get_url(const qx_tracker* tracker, char** url) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    QXCRequire(url, "url");
    QXCReturnText(object->url(), url, nullptr);
    return QX_OK;
  });
}

QX_API int qx_tracker_get_site_id(const qx_tracker* tracker, int32_t* site_id) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    QXCRequire(site_id, "site_id");
    *site_id = object->siteID();
    return QX_OK;
  });
}

QX_API int qx_tracker_set_site_id(qx_tracker* tracker, int32_t site_id) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->setSiteID(site_id);
    return QX_OK;
  });
}

QX_API int qx_tracker_get_container_id(const qx_tracker* tracker, int32_t* container_id) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    QXCRequire(container_id, "container_id");
    *container_id = object->containerID();
    return QX_OK;
  });
}

QX_API int qx_tracker_set_container_id(qx_tracker* tracker, int32_t container_id) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->setContainerID(container_id);
    return QX_OK;
  });
}

QX_API int qx_tracker_add_data(qx_tracker* tracker, const char* key, const char* value) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    object->addData(QXCText("key", key), QXCText("value", value));
    return QX_OK;
  });
}

QX_API int qx_tracker_add_data_n(qx_tracker* tracker, const char* key, size_t key_length,
                                 const char* value, size_t value_length) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    object->addData(QXCText("key", key, key_length), QXCText("value", value, value_length));
    return QX_OK;
  });
}

QX_API int qx_tracker_get_data(const qx_tracker* tracker, const char* key, char** value,
                               size_t* length) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    return found(object->getData(QXCText("key", key)), value, length);
  });
}

QX_API int qx_tracker_remove_data(qx_tracker* tracker, const char* key) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    return object->removeData(QXCText("key", key)) ? 1 : 0;
  });
}

QX_API int qx_tracker_clear_data(qx_tracker* tracker) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->clearData();
    return QX_OK;
  });
}

QX_API int qx_tracker_add_product(qx_tracker* tracker, const char* name,
                                  const qx_product* product) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    const std::string checkedName = QXCNonEmptyText("name", name);
    const QXProduct copy = QXCProducts::shared().find(product, "product")->copy();
    object->addData(checkedName, copy);
    return QX_OK;
  });
}

QX_API int qx_tracker_add_permanent_data(qx_tracker* tracker, const char* key, const char* value) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    object->addPermanentData(QXCText("key", key), QXCText("value", value));
    return QX_OK;
  });
}

QX_API int qx_tracker_add_permanent_data_n(qx_tracker* tracker, const char* key, size_t key_length,
                                           const char* value, size_t value_length) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    object->addPermanentData(QXCText("key", key, key_length),
                             QXCText("value", value, value_length));
    return QX_OK;
  });
}

QX_API int qx_tracker_get_permanent_data(const qx_tracker* tracker, const char* key, char** value,
                                         size_t* length) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    return found(object->getPermanentData(QXCText("key", key)), value, length);
  });
}

QX_API int qx_tracker_remove_permanent_data(qx_tracker* tracker, const char* key) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    return object->removePermanentData(QXCText("key", key)) ? 1 : 0;
  });
}

QX_API int qx_tracker_send(qx_tracker* tracker) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->sendData();
    return QX_OK;
  });
}

QX_API int qx_tracker_execute(qx_tracker* tracker, const qx_app_vars* app_vars) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    const auto appVars = appVarsOrNone(app_vars);
    object->execute(appVars.get());
    return QX_OK;
  });
}

QX_API int qx_tracker_post_data(qx_tracker* tracker, const qx_app_vars* app_vars, char** body,
                                size_t* length) {
  return QXCRun(__func__, [&] {
    auto object = trackerOf(tracker);
    const auto appVars = appVarsOrNone(app_vars);
    QXCRequire(body, "body");
    QXCReturnText(object->getPostData(appVars.get()), body, length);
    return QX_OK;
  });
}

QX_API int qx_tracker_activate(qx_tracker* tracker) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->activateSDK();
    return QX_OK;
  });
}

QX_API int qx_tracker_deactivate(qx_tracker* tracker) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->deactivateSDK();
    return QX_OK;
  });
}

QX_API int qx_tracker_is_deactivated(const qx_tracker* tracker) {
  return QXCRun(__func__, [&] { return trackerOf(tracker)->enableSDK() == kDeactivated ? 1 : 0; });
}

QX_API int qx_tracker_enable_running_in_background(qx_tracker* tracker) {
  return QXCRun(__func__, [&] {
    trackerOf(tracker)->enableRunningInBackground();
    return QX_OK;
  });
}

}  // extern "C"
