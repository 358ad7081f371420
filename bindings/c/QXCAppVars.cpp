// The C API's application variables: a QXAppVars behind a handle. Every
// operation goes through the object's store, which locks, so the handle
// needs no lock of its own; the store is never replaced.
#include <memory>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "bindings/c/QXCErrors.h"
#include "bindings/c/QXCHandles.h"

namespace {

std::shared_ptr<QXAppVars> appVarsOf(const qx_app_vars* handle) {
  return QXCAppVarsTable::shared().find(handle, "app_vars");
}

}  // namespace

extern "C" {

QX_API qx_app_vars* qx_app_vars_new(void) {
  uintptr_t token = 0;
  QXCRun(__func__, [&] {
    auto appVars = std::make_shared<QXAppVars>();
    // The constructor swallows a failure to make the store.
    if (appVars->dynamicStore() == nullptr) throw std::bad_alloc();
    token = QXCAppVarsTable::shared().add(std::move(appVars));
    return QX_OK;
  });
  return QXCHandleOf<qx_app_vars>(token);
}

QX_API void qx_app_vars_free(qx_app_vars* app_vars) {
  QXCRun(__func__, [&] {
    if (app_vars != nullptr && !QXCAppVarsTable::shared().remove(app_vars))
      throw QXCError(QX_E_INVALID_HANDLE, "app_vars is not a live app_vars handle");
    return QX_OK;
  });
}

QX_API int qx_app_vars_add(qx_app_vars* app_vars, const char* key, const char* value) {
  return QXCRun(__func__, [&] {
    auto object = appVarsOf(app_vars);
    object->addData(QXCText("key", key), QXCText("value", value));
    return QX_OK;
  });
}

QX_API int qx_app_vars_add_n(qx_app_vars* app_vars, const char* key, size_t key_length,
                             const char* value, size_t value_length) {
  return QXCRun(__func__, [&] {
    auto object = appVarsOf(app_vars);
    object->addData(QXCText("key", key, key_length), QXCText("value", value, value_length));
    return QX_OK;
  });
}

QX_API int qx_app_vars_get(const qx_app_vars* app_vars, const char* key, char** value,
                           size_t* length) {
  return QXCRun(__func__, [&] {
    std::shared_ptr<const QXAppVars> object = appVarsOf(app_vars);
    const std::string checkedKey = QXCText("key", key);
    QXCRequire(value, "value");
    *value = nullptr;
    const auto text = object->getData(checkedKey);
    if (!text) return 0;
    QXCReturnText(*text, value, length);
    return 1;
  });
}

QX_API int qx_app_vars_remove(qx_app_vars* app_vars, const char* key) {
  return QXCRun(__func__, [&] {
    auto object = appVarsOf(app_vars);
    return object->removeData(QXCText("key", key)) ? 1 : 0;
  });
}

QX_API int qx_app_vars_clear(qx_app_vars* app_vars) {
  return QXCRun(__func__, [&] {
    appVarsOf(app_vars)->clearData();
    return QX_OK;
  });
}

QX_API int qx_app_vars_add_products(qx_app_vars* app_vars, const char* prefix,
                                    const qx_product* const* products, size_t count) {
  return QXCRun(__func__, [&] {
    auto object = appVarsOf(app_vars);
    const std::string checkedPrefix = QXCNonEmptyText("prefix", prefix);
    if (count > 0) QXCRequire(products, "products");
    std::vector<QXProduct> copies;
    copies.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      const std::string name = "products[" + std::to_string(i) + "]";
      copies.push_back(QXCProducts::shared().find(products[i], name.c_str())->copy());
    }
    object->addData(checkedPrefix, copies);
    return QX_OK;
  });
}

QX_API int qx_app_vars_encode(const qx_app_vars* app_vars, char** bytes, size_t* length) {
  return QXCRun(__func__, [&] {
    auto object = appVarsOf(app_vars);
    QXCRequire(bytes, "bytes");
    QXCRequire(length, "length");
    const std::string archive = object->encode();
    // encode() answers empty only when it failed: an archive has a header.
    if (archive.empty()) throw QXCError(QX_E_NO_MEMORY, "the archive could not be made");
    QXCReturnText(archive, bytes, length);
    return QX_OK;
  });
}

QX_API int qx_app_vars_decode(const void* bytes, size_t length, qx_app_vars** app_vars) {
  return QXCRun(__func__, [&] {
    QXCRequire(app_vars, "app_vars");
    *app_vars = nullptr;
    if (length > 0) QXCRequire(bytes, "bytes");
    std::unique_ptr<QXAppVars> decoded;
    const QXStatus status =
        QXAppVars::decode(std::string_view(static_cast<const char*>(bytes), length), &decoded);
    if (!status.ok()) {
      const int code =
          status.code() == QXStatus::Code::kNotSupported ? QX_E_NOT_SUPPORTED : QX_E_CORRUPT;
      throw QXCError(code, "the archive cannot be read: " + status.message());
    }
    *app_vars = QXCHandleOf<qx_app_vars>(
        QXCAppVarsTable::shared().add(std::shared_ptr<QXAppVars>(std::move(decoded))));
    return QX_OK;
  });
}

}  // extern "C"
