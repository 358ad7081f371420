#include "QXSDK/Quorvex.h"

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPostData.h"
#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXGuard.h"
#include "core/QXLogger.h"
#include "core/QXNetworkManager.h"
#include "platform/QXPlatform.h"

namespace {

// The collection host is "collect<siteID>.quorvex.net".
constexpr const char* kCollectionHostWord = "collect";
constexpr const char* kCollectionDomain = ".quorvex.net";
constexpr const char* kPrivacyComponentName = "QXMobilePrivacy";
constexpr const char* kConsentResponse = "Consent";

// Reads the store itself, whose failures reach the caller (where
// QXAppVars::isConsentHit() would answer false).
bool isConsentHit(const QXAppVars* appVars) {
  return appVars != nullptr && appVars->dynamicStore() != nullptr &&
         appVars->dynamicStore()->getData(kQXConsentHitKey).has_value();
}

// Never throws: a line that cannot be built is not written.
void log(const char* message, int level) noexcept {
  try {
    QXLogger::sharedInstance().logMessage(message, level);
  } catch (...) {
  }
}

void log(const std::string& message, int level) noexcept {
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
  siteID_.store(siteID);
  containerID_.store(containerID);
  // A tracker whose creation failed half-way exists all the same: without
  // its sender it refuses its hits, counting each, and says so.
  QXGuarded("Creating a tracker", [&] {
    initialisation_ = std::make_unique<QXSDKInitialisation>();
    log(std::string("Quorvex Init: version ") + kQXSDKVersion, 2);
    setUrl(collectionURL(siteID, containerID));
    enableSDK_.store(QXPlatform::current().hasComponent(kPrivacyComponentName) ? 0 : 1);

    auto sender = std::make_unique<QXEventSender>();
    sender->setParent(this);
    sender->setNotificationCenter(center ? std::move(center)
                                         : QXNotificationCenter::defaultCenter());
    auto listener = std::make_unique<QXEventListener>();
    listener->setParent(this);
    listener->listen(kQXNotification_StartingTheSDK);
    listener->listen(kQXNotification_StoppingTheSDK);
    senderDelegate_ = std::move(sender);
    listenerDelegate_ = std::move(listener);

    if (siteID != 0 && containerID != 0) {
      log("Quorvex init with siteID " + std::to_string(siteID) + " and container ID " +
              std::to_string(containerID),
          2);
    }
  });
}

Quorvex::~Quorvex() {
  // The listener goes first: once it is destroyed no notification reaches
  // this object, even one being posted on another thread right now.
  listenerDelegate_.reset();
  dynamicStore_.clearData();
  permanentStore_.clearData();
  senderDelegate_.reset();
}

void Quorvex::addData(const QXDynamicStore* store) noexcept {
  if (store == nullptr || isDeactivated()) return;
  QXGuarded("Adding data", [&] { dynamicStore_.addData(*store); });
}

void Quorvex::addData(const std::string& key, const std::optional<std::string>& value) noexcept {
  if (isDeactivated()) return;
  QXGuarded("Adding data", [&] { dynamicStore_.addData(key, value); });
}

void Quorvex::addData(const std::string& name, const QXProduct& product) noexcept {
  if (isDeactivated()) return;
  // Taking the index and moving the counter in one step gives two products
  // added at the same moment on two threads two distinct indexes.
  QXGuarded("Adding a product",
            [&] { product.flattenInto(dynamicStore_, name, numberOfProducts_.fetch_add(1)); });
}

std::optional<std::string> Quorvex::getData(const std::string& key) noexcept {
  return QXGuarded("Reading data", std::optional<std::string>(),
                   [&] { return dynamicStore_.getData(key); });
}

std::optional<std::string> Quorvex::removeData(const std::string& key) noexcept {
  return QXGuarded("Removing data", std::optional<std::string>(),
                   [&] { return dynamicStore_.removeData(key); });
}

void Quorvex::clearData() noexcept {
  QXGuarded("Clearing data", [&] { dynamicStore_.clearData(); });
  numberOfProducts_.store(0);
}

void Quorvex::addPermanentData(const std::string& key,
                               const std::optional<std::string>& value) noexcept {
  QXGuarded("Adding permanent data", [&] { permanentStore_.addData(key, value); });
}

std::optional<std::string> Quorvex::getPermanentData(const std::string& key) noexcept {
  return QXGuarded("Reading permanent data", std::optional<std::string>(),
                   [&] { return permanentStore_.getData(key); });
}

std::optional<std::string> Quorvex::removePermanentData(const std::string& key) noexcept {
  return QXGuarded("Removing permanent data", std::optional<std::string>(),
                   [&] { return permanentStore_.removeData(key); });
}

void Quorvex::setDynamicStore(const QXDynamicStore& store) noexcept {
  QXGuarded("Replacing the data", [&] { dynamicStore_ = store; });
}

void Quorvex::setPermanentStore(const QXDynamicStore& store) noexcept {
  QXGuarded("Replacing the permanent data", [&] { permanentStore_ = store; });
}

void Quorvex::sendData() noexcept {
  execute(nullptr);
}

void Quorvex::execute(const QXAppVars* appVars) noexcept {
  // Past this point the hit belongs to the core, which counts it whatever
  // becomes of it.
  bool handedOver = false;
  try {
    if (isDeactivated() && !isConsentHit(appVars)) return;
    logExecution(appVars);
    if (senderDelegate_ == nullptr) {
      refuseHit("the tracker could not be created whole");
      clearData();
      return;
    }
    bool complete = false;
    std::string url = currentURL();
    // A hit larger than the delivery takes is refused before its body is
    // rendered and handed over.
    const size_t limit = QXNetworkManager::sharedInstance().maxHitBytes();
    std::optional<size_t> tooLarge;
    std::string body =
        renderPostData(appVars, &complete, limit - std::min(limit, url.size()), &tooLarge);
    if (tooLarge) {
      const std::string detail = std::to_string(*tooLarge + url.size()) +
                                 " bytes, the largest allowed being " + std::to_string(limit) +
                                 " (maxHitBytes)";
      refuseHit("it is too large: ", detail.c_str());
      clearData();
      return;
    }
    if (!complete) {
      // Half a body would reach the collector as a hit that never happened.
      refuseHit("its body could not be rendered");
      clearData();
      return;
    }
    QXUserInfo userInfo;
    userInfo.emplace(kQXUserInfo_URLKey, std::move(url));
    userInfo.emplace(kQXUserInfo_POSTData, std::move(body));
    if (isConsentHit(appVars)) userInfo.emplace(kQXUserInfo_ResponseKey, kConsentResponse);
    const QXNotification request = QXNotification::notificationWithName(kQXNotification_HTTPRequest,
                                                                        this, std::move(userInfo));
    handedOver = true;
    senderDelegate_->send(request);

    QXPredefinedVariables::sharedInstance().firstExecute();
    clearData();
  } catch (...) {
    if (handedOver) {
      QXReportAbandoned("Finishing a hit");
    } else {
      refuseHit("it could not be built: ", QXCurrentExceptionText());
    }
    // What the hit carried goes with it rather than into the next one.
    clearData();
  }
}

void Quorvex::logExecution(const QXAppVars* appVars) const noexcept {
  QXLogger& logger = QXLogger::sharedInstance();
  if (!logger.isLoggable(0)) return;
  // The hit's own variables as the application sees them; building the text
  // costs more than the hit, so only when it will be written. A failure
  // here costs the line, not the hit.
  try {
    QXDynamicStore view;
    view.addData(dynamicStore_);
    if (appVars != nullptr && appVars->dynamicStore() != nullptr) {
      view.addData(*appVars->dynamicStore());
    }
    logger.logMessage("Quorvex Executing with the following data: \n" + view.debugDescription(), 0);
  } catch (...) {
  }
}

void Quorvex::refuseHit(const char* reason, const char* detail) const noexcept {
  std::string collectionURL;
  std::string why;
  try {
    collectionURL = currentURL();
    why = std::string(reason) + detail;
    log("A hit was refused: " + why, 4);
  } catch (...) {
    // No memory to say it: the hit is counted all the same.
  }
  try {
    QXNetworkManager::sharedInstance().refuseHit(collectionURL, why.empty() ? reason : why.c_str());
  } catch (...) {
    // The core could not even be created: there is nothing to count in.
  }
}

std::string Quorvex::getPostData(const QXAppVars* appVars) noexcept {
  return QXGuarded("Rendering a body", std::string(),
                   [&] { return renderPostData(appVars, nullptr); });
}

std::string Quorvex::renderPostData(const QXAppVars* appVars, bool* complete, size_t maxBytes,
                                    std::optional<size_t>* tooLarge) {
  QXPostData postData;
  // The registry's refresh and the copy of its store go together, so that
  // this body carries this hit's times even while other threads hit too.
  QXPredefinedVariables::sharedInstance().computeTimeChangingVariablesInto(postData);
  postData.insertStore(dynamicStore_);
  postData.insertStore(permanentStore_);
  if (appVars != nullptr) postData.insertStore(appVars->dynamicStore());
  if (tooLarge != nullptr) {
    *tooLarge = postData.sizeIfLargerThan(maxBytes);
    if (*tooLarge) return std::string();
  }
  return postData.getParameters(complete);
}

void Quorvex::activateSDK() noexcept {
  enableSDK_.store(1);
  log("Quorvex's SDK is now activated", 1);
}

void Quorvex::deactivateSDK() noexcept {
  enableSDK_.store(kDeactivated);
  log("Quorvex's SDK is now deactivated", 1);
}

void Quorvex::onNotificationReceived(const QXNotification& notification) noexcept {
  if (notification.name == kQXNotification_StoppingTheSDK) {
    enableSDK_.store(kDeactivated);
  } else if (notification.name == kQXNotification_StartingTheSDK) {
    enableSDK_.store(1);
  }
}

void Quorvex::changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) noexcept {
  if (senderDelegate_ != nullptr) senderDelegate_->setNotificationCenter(std::move(center));
}

void Quorvex::enableRunningInBackground() noexcept {
  QXGuarded("Enabling background delivery", [] {
    QXCoreVariables::sharedInstance().setEnableSDKInBG(true);
    QXNetworkManager::sharedInstance().enableRunningInBackground();
    log("SDK is enabled to run in background", 1);
  });
}

std::string Quorvex::url() const noexcept {
  return QXGuarded("Reading the URL", std::string(), [this] { return currentURL(); });
}

std::string Quorvex::currentURL() const {
  std::lock_guard<std::mutex> lock(urlMutex_);
  return url_;
}

void Quorvex::setUrl(std::string url) noexcept {
  std::lock_guard<std::mutex> lock(urlMutex_);
  url_ = std::move(url);
}
