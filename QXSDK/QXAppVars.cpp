#include "QXSDK/QXAppVars.h"

QXAppVars::QXAppVars() : dynamicStore_(std::make_unique<QXDynamicStore>()) {}

QXAppVars::QXAppVars(const std::map<std::string, std::string>& dictionary) : QXAppVars() {
  for (const auto& [key, value] : dictionary)
    addData(key, value);
}

QXAppVars::~QXAppVars() = default;

void QXAppVars::addData(const QXDynamicStore* store) {
  if (store == nullptr || !dynamicStore_) return;
  dynamicStore_->addData(*store);
}

void QXAppVars::addData(const std::string& key, const std::optional<std::string>& value) {
  if (dynamicStore_) dynamicStore_->addData(key, value);
}

std::optional<std::string> QXAppVars::getData(const std::string& key) {
  return static_cast<const QXAppVars*>(this)->getData(key);
}

std::optional<std::string> QXAppVars::getData(const std::string& key) const {
  if (!dynamicStore_) return std::nullopt;
  return dynamicStore_->getData(key);
}

std::optional<std::string> QXAppVars::removeData(const std::string& key) {
  if (!dynamicStore_) return std::nullopt;
  return dynamicStore_->removeData(key);
}

void QXAppVars::clearData() {
  if (dynamicStore_) dynamicStore_->clearData();
}

void QXAppVars::addData(const std::string& prefix, const std::vector<QXProduct>& products) {
  if (!dynamicStore_) return;
  for (size_t i = 0; i < products.size(); ++i) {
    products[i].flattenInto(*dynamicStore_, prefix, static_cast<int32_t>(i));
  }
}

std::string QXAppVars::description() const {
  std::string text = "{\n";
  if (dynamicStore_) {
    dynamicStore_->forEach([&](std::string_view key, std::string_view value) {
      text.append("\t\"").append(key).append("\" = \"").append(value).append("\"\n");
    });
  }
  text += "\n";
  return text;
}

// encode() and decode() follow.
