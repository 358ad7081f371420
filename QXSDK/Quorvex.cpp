#include "QXSDK/Quorvex.h"

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPostData.h"
#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXLogger.h"
#include "core/QXNetworkManager.h"
#include "platform/QXPlatform.h"

namespace {

// The collection host is "collect<siteID>.quorvex.net".
constexpr const char* kCollectionHostWord = "collect";
constexpr const char* kCollectionDomain = ".quorvex.net";
constexpr const char* kPrivacyComponentName = "QXMobilePrivacy";
constexpr const char* kConsentHitKey = "#CONSENT_HIT#";
constexpr const char* kConsentResponse = "Consent";

// A consent hit is one whose application variables hold any value, even an
// empty one, under "#CONSENT_HIT#".
bool isConsentHit(const QXAppVars* appVars) {
  return appVars != nullptr && appVars->getData(kConsentHitKey).has_value();
}

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

}  // namespace

std::string Quorvex::collectionURL(int32_t siteID, int32_t containerID) {
  return std::string("https://") + kCollectionHostWord + std::to_string(siteID) +
         kCollectionDomain + "/" + std::to_string(containerID) + "/";
}

Quorvex::Quorvex(int32_t siteID, int32_t containerID)
    : Quorvex(siteID, containerID, QXNotificationCenter::defaultCenter()) {}

Quorvex::Quorvex(int32_t siteID, int32_t containerID,
                 std::shared_ptr<QXNotificationCenter> center) {
  initialisation_ = std::make_unique<QXSDKInitialisation>();
  log(std::string("Quorvex Init: version ") + kQXSDKVersion, 2);
  url_ = collectionURL(siteID, containerID);
  numberOfProducts_.store(0);
  enableSDK_.store(QXPlatform::current().hasComponent(kPrivacyComponentName) ? 0 : 1);

  senderDelegate_ = std::make_unique<QXEventSender>();
  senderDelegate_->setParent(this);
  listenerDelegate_ = std::make_unique<QXEventListener>();
  listenerDelegate_->setParent(this);
  listenerDelegate_->listen(kQXNotification_StartingTheSDK);
  listenerDelegate_->listen(kQXNotification_StoppingTheSDK);
  changeNotificationCenter(center ? std::move(center) : QXNotificationCenter::defaultCenter());

  siteID_.store(siteID);
  containerID_.store(containerID);
  if (siteID != 0 && containerID != 0) {
    log("Quorvex init with siteID " + std::to_string(siteID) + " and container ID " +
            std::to_string(containerID),
        2);
  }
}

Quorvex::~Quorvex() {
  // The listener goes first: once it is destroyed no notification reaches
  // this object, even one being posted on another thread right now.
  listenerDelegate_.reset();
  dynamicStore_.clearData();
  permanentStore_.clearData();
  senderDelegate_.reset();
}

void Quorvex::addData(const QXDynamicStore* store) {
  if (store == nullptr || isDeactivated()) return;
  dynamicStore_.addData(*store);
}

void Quorvex::addData(const std::string& key, const std::optional<std::string>& value) {
  if (isDeactivated()) return;
  dynamicStore_.addData(key, value);
}

void Quorvex::addData(const std::string& name, const QXProduct& product) {
  if (isDeactivated()) return;
  // Taking the index and moving the counter in one step gives two products
  // added at the same moment on two threads two distinct indexes.
  product.flattenInto(dynamicStore_, name, numberOfProducts_.fetch_add(1));
}

std::optional<std::string> Quorvex::getData(const std::string& key) {
  return dynamicStore_.getData(key);
}

std::optional<std::string> Quorvex::removeData(const std::string& key) {
  return dynamicStore_.removeData(key);
}

void Quorvex::clearData() {
  dynamicStore_.clearData();
  numberOfProducts_.store(0);
}

void Quorvex::addPermanentData(const std::string& key, const std::optional<std::string>& value) {
  permanentStore_.addData(key, value);
}

std::optional<std::string> Quorvex::getPermanentData(const std::string& key) {
  return permanentStore_.getData(key);
}

std::optional<std::string> Quorvex::removePermanentData(const std::string& key) {
  return permanentStore_.removeData(key);
}

void Quorvex::sendData() {
  execute(nullptr);
}

void Quorvex::execute(const QXAppVars* appVars) {
  if (isDeactivated() && !isConsentHit(appVars)) return;

  QXLogger& logger = QXLogger::sharedInstance();
  if (logger.isLoggable(0)) {
    // The hit's own variables as the application sees them; building the
    // text costs more than the hit, so only when it will be written.
    QXDynamicStore view;
    view.addData(dynamicStore_);
    if (appVars != nullptr && appVars->dynamicStore() != nullptr) {
      view.addData(*appVars->dynamicStore());
    }
    logger.logMessage("Quorvex Executing with the following data: \n" + view.debugDescription(), 0);
  }

  QXUserInfo userInfo;
  userInfo.emplace(kQXUserInfo_URLKey, url());
  userInfo.emplace(kQXUserInfo_POSTData, getPostData(appVars));
  if (isConsentHit(appVars)) userInfo.emplace(kQXUserInfo_ResponseKey, kConsentResponse);
  senderDelegate_->send(
      QXNotification::notificationWithName(kQXNotification_HTTPRequest, this, std::move(userInfo)));

  QXPredefinedVariables::sharedInstance().firstExecute();
  clearData();
}

std::string Quorvex::getPostData(const QXAppVars* appVars) {
  QXPostData postData;
  // The registry's refresh and the copy of its store go together, so that
  // this body carries this hit's times even while other threads hit too.
  QXPredefinedVariables::sharedInstance().computeTimeChangingVariablesInto(postData);
  postData.insertStore(dynamicStore_);
  postData.insertStore(permanentStore_);
  if (appVars != nullptr) postData.insertStore(appVars->dynamicStore());
  return postData.getParameters();
}

void Quorvex::activateSDK() {
  enableSDK_.store(1);
  log("Quorvex's SDK is now activated", 1);
}

void Quorvex::deactivateSDK() {
  enableSDK_.store(kDeactivated);
  log("Quorvex's SDK is now deactivated", 1);
}

void Quorvex::onNotificationReceived(const QXNotification& notification) {
  if (notification.name == kQXNotification_StoppingTheSDK) {
    enableSDK_.store(kDeactivated);
  } else if (notification.name == kQXNotification_StartingTheSDK) {
    enableSDK_.store(1);
  }
}

void Quorvex::changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) {
  senderDelegate_->setNotificationCenter(std::move(center));
}

void Quorvex::enableRunningInBackground() {
  QXCoreVariables::sharedInstance().setEnableSDKInBG(true);
  QXNetworkManager::sharedInstance().enableRunningInBackground();
  log("SDK is enabled to run in background", 1);
}

std::string Quorvex::url() const {
  std::lock_guard<std::mutex> lock(urlMutex_);
  return url_;
}

void Quorvex::setUrl(std::string url) {
  std::lock_guard<std::mutex> lock(urlMutex_);
  url_ = std::move(url);
}
