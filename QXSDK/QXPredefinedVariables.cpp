#include "QXSDK/QXPredefinedVariables.h"

#include "QXSDK/QXPostData.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXApplicationVariables.h"
#include "QXSDK/predefined/QXDeviceVariables.h"
#include "QXSDK/predefined/QXLocaleVariables.h"
#include "QXSDK/predefined/QXReadings.h"
#include "QXSDK/predefined/QXTimeAccounting.h"
#include "QXSDK/predefined/QXVisitHistory.h"
#include "core/QXCoreConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXGuard.h"
#include "core/QXInitState.h"
#include "core/QXReachability.h"
#include "platform/QXApplication.h"
#include "platform/QXNotificationCenter.h"
#include "platform/QXPlatform.h"

namespace {

// The registry's own initialisation state (the application-state singleton
// has another).
QXInitState QX_INIT_STATE;

constexpr const char* kRuntimeName = "ios";

}  // namespace

QXPredefinedVariables::QXPredefinedVariables() = default;

QXPredefinedVariables::~QXPredefinedVariables() {
  QXNotificationCenter::defaultCenter()->removeObserver(this);
  std::unique_ptr<QXEventListener> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = std::move(listenerDelegate_);
  }
  listener.reset();  // waits for a delivery under way on another thread
}

QXPlatform& QXPredefinedVariables::platform() const {
  return QXPlatform::current();
}

QXTimeAccounting QXPredefinedVariables::timeAccounting() {
  return QXTimeAccounting(time_, dynamicStore_, platform());
}

// --- Life cycle --------------------------------------------------------------

QXPredefinedVariables* QXPredefinedVariables::init() {
  if (!QX_INIT_STATE.begin()) return this;
  if (!initSingleton()) {
    QX_INIT_STATE.markFailed();
    return nullptr;
  }
  {
    // Under the registry's mutex, so that a hit on another thread copies the
    // store whole, before or after it is emptied, never between its refresh
    // and its copy.
    std::lock_guard<std::mutex> lock(mutex_);
    dynamicStore_.clearData();
  }
  // From here on every init() returns at once, also one sent from the steps.
  QX_INIT_STATE.markInitialised();
  try {
    initialise();
  } catch (...) {
    // A later init() tries again rather than finding the registry
    // initialised without its variables.
    QX_INIT_STATE.markFailed();
    throw;
  }
  return this;
}

void QXPredefinedVariables::initialise() {
  auto listener = std::make_unique<QXEventListener>();
  listener->setParent(this);
  listener->listen(kQXNotification_UserAgentAvailable);
  std::unique_ptr<QXEventListener> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wasBackground = time_.isBackground;
    time_ = QXTimeState();
    time_.isBackground = wasBackground;
    time_.lastTime = QXReadings::nowMs(platform());
    previous = std::move(listenerDelegate_);
    listenerDelegate_ = std::move(listener);
    time_.visitDuration = static_cast<uint64_t>(kQXVisitDurationDefaultValue) * 1000;
    pid_ = std::to_string(platform().processIdentifier());
  }
  previous.reset();

  predefinedVariableInitialisation();
  registerForTransitions();
  dynamicStore_.addData(kQXPredefinedVariable_DeltaBackgroundTime, std::string("0"));
  if (!dynamicStore_.getData(kQXPredefinedVariable_ApplicationPreviousVersion)) {
    dynamicStore_.addData(kQXPredefinedVariable_ApplicationPreviousVersion, std::string("0"));
  }
  dynamicStore_.addData(kQXPredefinedVariable_ForegroundTransitions,
                        QXReadings::text(totalForegroundTransitions()));
}

QXPredefinedVariables* QXPredefinedVariables::reinit() {
  QX_INIT_STATE.requestReinit();
  return init();
}

void QXPredefinedVariables::registerForTransitions() {
  // A re-initialisation registers again; the earlier observations go first
  // so that one transition is never counted twice.
  auto center = QXNotificationCenter::defaultCenter();
  center->removeObserver(this, UIApplicationDidEnterBackgroundNotification);
  center->removeObserver(this, UIApplicationWillEnterForegroundNotification);
  center->addObserver(this, UIApplicationDidEnterBackgroundNotification,
                      [this](const QXNotification& n) { didEnterBackground(n); });
  center->addObserver(this, UIApplicationWillEnterForegroundNotification,
                      [this](const QXNotification& n) { willEnterForeground(n); });
}

void QXPredefinedVariables::predefinedVariableInitialisation() {
  // Each step sets variables of its own. One that fails (a platform reading
  // that throws, memory running out) leaves its variables out and says so
  // at level 4; the steps after it run all the same, so that one bad reading
  // never costs the rest of the registry. The step's name in that line is
  // its function's, so the two cannot drift apart.
  struct Step {
    const char* operation;
    void (*run)(QXPredefinedVariables&);
  };
#define QX_REGISTRY_STEP(step)                                                          \
  Step {                                                                                \
    "The predefined variables' step " #step, [](QXPredefinedVariables& v) { v.step(); } \
  }
  static const Step kSteps[] = {
      QX_REGISTRY_STEP(initIsFirstVisit),
      QX_REGISTRY_STEP(setDefaultReachability),
      QX_REGISTRY_STEP(setManufacturer),
      QX_REGISTRY_STEP(initLastCallLastVisit),
      QX_REGISTRY_STEP(setQuorvexVersion),
      QX_REGISTRY_STEP(setVisitorIDCurrentCallUniqueID),
      QX_REGISTRY_STEP(setLocalCharset),
      QX_REGISTRY_STEP(setLocalScreen),
      QX_REGISTRY_STEP(setApplicationBuild),
      QX_REGISTRY_STEP(setLocalModel),
      QX_REGISTRY_STEP(setLocalSysVersion),
      QX_REGISTRY_STEP(setLocalSysName),
      QX_REGISTRY_STEP(setLocalLanguage),
      QX_REGISTRY_STEP(setEmptyString),
      QX_REGISTRY_STEP(setRandom),
      QX_REGISTRY_STEP(setIP),
      QX_REGISTRY_STEP(setBundleIdentifier),
      QX_REGISTRY_STEP(setApplicationName),
      QX_REGISTRY_STEP(setRuntimeName),
      QX_REGISTRY_STEP(setModelAndVersion),
      QX_REGISTRY_STEP(setIsJailBroken),
      QX_REGISTRY_STEP(initApplicationVersion),
      QX_REGISTRY_STEP(initColdStartNumber),
      QX_REGISTRY_STEP(setTimestamps),
      QX_REGISTRY_STEP(initComScoreSession),
      QX_REGISTRY_STEP(firstExecute),
      QX_REGISTRY_STEP(currencyCode),
      QX_REGISTRY_STEP(currencySymbol),
      QX_REGISTRY_STEP(updateVariablesForNewVisit),
  };
#undef QX_REGISTRY_STEP
  for (const Step& step : kSteps)
    QXGuarded(step.operation, [&] { step.run(*this); });
}

// --- Store -------------------------------------------------------------------

void QXPredefinedVariables::addData(const QXDynamicStore* store) {
  if (store != nullptr) dynamicStore_.addData(*store);
}

void QXPredefinedVariables::addData(const std::string& key,
                                    const std::optional<std::string>& value) {
  dynamicStore_.addData(key, value);
}

std::optional<std::string> QXPredefinedVariables::getData(const std::string& key) {
  return dynamicStore_.getData(key);
}

std::optional<std::string> QXPredefinedVariables::removeData(const std::string& key) {
  return dynamicStore_.removeData(key);
}

void QXPredefinedVariables::clearData() {
  dynamicStore_.clearData();
}

// --- Notifications -----------------------------------------------------------

void QXPredefinedVariables::changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listenerDelegate_) listenerDelegate_->setNotificationCenter(std::move(center));
}

void QXPredefinedVariables::onNotificationReceived(const QXNotification& notification) {
  if (notification.name != kQXNotification_UserAgentAvailable || !notification.userInfo) return;
  auto it = notification.userInfo->find(kQXUserInfo_DataKey);
  if (it == notification.userInfo->end()) return;
  dynamicStore_.addData(kQXPredefinedVariable_UserAgent, it->second);
}

void QXPredefinedVariables::didEnterBackground(const QXNotification&) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeAccounting().didEnterBackground();
}

void QXPredefinedVariables::willEnterForeground(const QXNotification&) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (timeAccounting().willEnterForeground()) {
    QXVisitHistory(dynamicStore_, platform(), pid_).updateVariablesForNewVisit();
  }
}

// --- Hits --------------------------------------------------------------------

void QXPredefinedVariables::computeTimeChangingVariables() {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshForHitLocked();
}

void QXPredefinedVariables::computeTimeChangingVariablesInto(QXPostData& postData) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshForHitLocked();
  postData.insertStore(dynamicStore_);
}

void QXPredefinedVariables::refreshForHitLocked() {
  // The device identifiers come from the core once; after that the key is
  // here and the step does nothing.
  if (!dynamicStore_.getData(kQXPredefinedVariable_IDFA)) {
    QXCoreVariables& core = QXCoreVariables::sharedInstance();
    core.setIDFV();
    dynamicStore_.addData(core.dynamicStore());
  }
  timeAccounting().refreshForHit();
}

void QXPredefinedVariables::firstExecute() {
  std::lock_guard<std::mutex> lock(mutex_);
  QXVisitHistory(dynamicStore_, platform(), pid_).firstExecute();
}

// --- Initialisation steps ----------------------------------------------------

void QXPredefinedVariables::initIsFirstVisit() {
  std::lock_guard<std::mutex> lock(mutex_);
  QXVisitHistory(dynamicStore_, platform(), pid_).initIsFirstVisit();
}

void QXPredefinedVariables::setDefaultReachability() {
  dynamicStore_.addData(kQXPredefinedVariable_Connexion,
                        QXReachability(platform()).currentReachabilityString());
}

void QXPredefinedVariables::setManufacturer() {
  dynamicStore_.addData(kQXPredefinedVariable_Manufacturer, std::string(kQXManufacturerName));
}

void QXPredefinedVariables::initLastCallLastVisit() {
  std::lock_guard<std::mutex> lock(mutex_);
  QXVisitHistory(dynamicStore_, platform(), pid_).initLastCallLastVisit();
}

void QXPredefinedVariables::setQuorvexVersion() {
  dynamicStore_.addData(kQXPredefinedVariable_QuorvexVersion, std::string(kQXSDKVersion));
}

void QXPredefinedVariables::setVisitorIDCurrentCallUniqueID() {
  const std::string seconds = nowString();
  const std::string milliseconds = nowMsString();
  dynamicStore_.addData(kQXPredefinedVariable_CurrentCall, seconds);
  dynamicStore_.addData(kQXPredefinedVariable_Now, seconds);
  dynamicStore_.addData(kQXPredefinedVariable_CurrentCallMs, milliseconds);
  dynamicStore_.addData(kQXPredefinedVariable_NowMs, milliseconds);
  QXStandardUserDefaults* defaults = platform().standardUserDefaults();
  if (defaults == nullptr) return;
  std::string identifier = platform().createUUID();
  if (auto stored = defaults->objectForKey(kQXUserDefaultsKey_UniqueID)) {
    identifier = *stored;
  } else {
    defaults->setObject(identifier, kQXUserDefaultsKey_UniqueID);
  }
  dynamicStore_.addData(kQXPredefinedVariable_UniqueID, identifier);
  defaults->synchronize();
}

void QXPredefinedVariables::setLocalCharset() {
  QXLocaleVariables(dynamicStore_, platform()).setLocalCharset();
}
void QXPredefinedVariables::setLocalScreen() {
  QXDeviceVariables(dynamicStore_, platform()).setLocalScreen();
}
void QXPredefinedVariables::setApplicationBuild() {
  QXApplicationVariables(dynamicStore_, platform()).setApplicationBuild();
}
void QXPredefinedVariables::setLocalModel() {
  QXDeviceVariables(dynamicStore_, platform()).setLocalModel();
}
void QXPredefinedVariables::setLocalSysVersion() {
  QXDeviceVariables(dynamicStore_, platform()).setLocalSysVersion();
}
void QXPredefinedVariables::setLocalSysName() {
  QXDeviceVariables(dynamicStore_, platform()).setLocalSysName();
}
void QXPredefinedVariables::setLocalLanguage() {
  QXLocaleVariables(dynamicStore_, platform()).setLocalLanguage();
}
void QXPredefinedVariables::setIP() {
  QXDeviceVariables(dynamicStore_, platform()).setIP();
}
void QXPredefinedVariables::setBundleIdentifier() {
  QXApplicationVariables(dynamicStore_, platform()).setBundleIdentifier();
}
void QXPredefinedVariables::setApplicationName() {
  QXApplicationVariables(dynamicStore_, platform()).setApplicationName();
}
void QXPredefinedVariables::setModelAndVersion() {
  QXDeviceVariables(dynamicStore_, platform()).setModelAndVersion();
}
void QXPredefinedVariables::setIsJailBroken() {
  QXDeviceVariables(dynamicStore_, platform()).setIsJailBroken();
}
void QXPredefinedVariables::initApplicationVersion() {
  QXApplicationVariables(dynamicStore_, platform()).initApplicationVersion();
}

void QXPredefinedVariables::setEmptyString() {
  dynamicStore_.addData(kQXPredefinedVariable_Empty, std::string());
}

void QXPredefinedVariables::setRandom() {
  dynamicStore_.addData(kQXPredefinedVariable_Random, randomString());
}

void QXPredefinedVariables::setRuntimeName() {
  dynamicStore_.addData(kQXPredefinedVariable_RuntimeName, std::string(kRuntimeName));
}

void QXPredefinedVariables::initColdStartNumber() {
  std::lock_guard<std::mutex> lock(mutex_);
  QXVisitHistory(dynamicStore_, platform(), pid_).initColdStartNumber();
}

void QXPredefinedVariables::setTimestamps() {
  std::lock_guard<std::mutex> lock(mutex_);
  QXVisitHistory(dynamicStore_, platform(), pid_).setTimestamps();
}

void QXPredefinedVariables::initComScoreSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeAccounting().initComScoreSession();
}

void QXPredefinedVariables::updateVariablesForNewVisit() {
  std::lock_guard<std::mutex> lock(mutex_);
  QXVisitHistory(dynamicStore_, platform(), pid_).updateVariablesForNewVisit();
}

// --- Accessors ---------------------------------------------------------------

std::optional<std::string> QXPredefinedVariables::IP() {
  return getData(kQXPredefinedVariable_IP);
}
std::optional<std::string> QXPredefinedVariables::phoneModel() {
  return getData(kQXPredefinedVariable_Model);
}
std::optional<std::string> QXPredefinedVariables::systemName() {
  return getData(kQXPredefinedVariable_SystemName);
}
std::optional<std::string> QXPredefinedVariables::systemVersion() {
  return getData(kQXPredefinedVariable_SystemVersion);
}
std::optional<std::string> QXPredefinedVariables::quorvexVersion() {
  return getData(kQXPredefinedVariable_QuorvexVersion);
}
std::optional<std::string> QXPredefinedVariables::applicationVersion() {
  return getData(kQXPredefinedVariable_ApplicationVersion);
}
std::optional<std::string> QXPredefinedVariables::applicationBuild() {
  return getData(kQXPredefinedVariable_ApplicationBuild);
}
std::optional<std::string> QXPredefinedVariables::manufacturer() {
  return getData(kQXPredefinedVariable_Manufacturer);
}
std::optional<std::string> QXPredefinedVariables::language() {
  return getData(kQXPredefinedVariable_Language);
}
std::optional<std::string> QXPredefinedVariables::charset() {
  return getData(kQXPredefinedVariable_Charset);
}
std::optional<std::string> QXPredefinedVariables::uniqueIdentifier() {
  return getData(kQXPredefinedVariable_UniqueID);
}
std::optional<std::string> QXPredefinedVariables::screenSize() {
  return getData(kQXPredefinedVariable_ScreenResolution);
}
std::optional<std::string> QXPredefinedVariables::localConnexion() {
  return getData(kQXPredefinedVariable_Connexion);
}
std::optional<std::string> QXPredefinedVariables::navNumberVisit() {
  return getData(kQXPredefinedVariable_NumberVisits);
}
std::optional<std::string> QXPredefinedVariables::numberSession() {
  return getData(kQXPredefinedVariable_NumberSessions);
}
std::optional<std::string> QXPredefinedVariables::nav_TimestampCurrentVisit() {
  return getData(kQXPredefinedVariable_CurrentVisit);
}
std::optional<std::string> QXPredefinedVariables::nav_TimestampCurrentVisitMs() {
  return getData(kQXPredefinedVariable_CurrentVisitMs);
}
std::optional<std::string> QXPredefinedVariables::timestampCurrentVisit() {
  return getData(kQXPredefinedVariable_CurrentSession);
}
std::optional<std::string> QXPredefinedVariables::timestampCurrentVisitMs() {
  return getData(kQXPredefinedVariable_CurrentSessionMs);
}
std::optional<std::string> QXPredefinedVariables::timestampLastCall() {
  return getData(kQXPredefinedVariable_LastCall);
}
std::optional<std::string> QXPredefinedVariables::timestampLastCallMs() {
  return getData(kQXPredefinedVariable_LastCallMs);
}

std::optional<std::string> QXPredefinedVariables::currencyCode() {
  return QXLocaleVariables(dynamicStore_, platform()).currencyCode();
}

std::optional<std::string> QXPredefinedVariables::currencySymbol() {
  return QXLocaleVariables(dynamicStore_, platform()).currencySymbol();
}

std::optional<std::string> QXPredefinedVariables::userAgent() {
  return QXCoreVariables::sharedInstance().getData(kQXPredefinedVariable_UserAgent);
}

// --- Clock and random numbers ------------------------------------------------

uint64_t QXPredefinedVariables::now() {
  return QXReadings::now(platform());
}
uint64_t QXPredefinedVariables::nowMs() {
  return QXReadings::nowMs(platform());
}
std::string QXPredefinedVariables::nowString() {
  return QXReadings::text(now());
}
std::string QXPredefinedVariables::nowMsString() {
  return QXReadings::text(nowMs());
}
int32_t QXPredefinedVariables::randomInt() {
  return QXReadings::randomInt(platform());
}
std::string QXPredefinedVariables::randomString() {
  return QXReadings::text(randomInt());
}

// --- Properties --------------------------------------------------------------

#define QX_LOCKED_PROPERTY(Type, getter, setter, field) \
  Type QXPredefinedVariables::getter() const {          \
    std::lock_guard<std::mutex> lock(mutex_);           \
    return time_.field;                                 \
  }                                                     \
  void QXPredefinedVariables::setter(Type value) {      \
    std::lock_guard<std::mutex> lock(mutex_);           \
    time_.field = value;                                \
  }

QX_LOCKED_PROPERTY(bool, isBackground, setIsBackground, isBackground)
QX_LOCKED_PROPERTY(int32_t, totalForegroundTransitions, setTotalForegroundTransitions,
                   totalForegroundTransitions)
QX_LOCKED_PROPERTY(uint64_t, totalForegroundTime, setTotalForegroundTime, totalForegroundTime)
QX_LOCKED_PROPERTY(uint64_t, deltaForeground, setDeltaForeground, deltaForeground)
QX_LOCKED_PROPERTY(uint64_t, totalBackgroundTime, setTotalBackgroundTime, totalBackgroundTime)
QX_LOCKED_PROPERTY(uint64_t, deltaBackground, setDeltaBackground, deltaBackground)
QX_LOCKED_PROPERTY(uint64_t, lastTime, setLastTime, lastTime)
QX_LOCKED_PROPERTY(uint64_t, startUsage, setStartUsage, startUsage)
QX_LOCKED_PROPERTY(uint64_t, visitDuration, setVisitDuration, visitDuration)
#undef QX_LOCKED_PROPERTY

QXTimeState QXPredefinedVariables::timeState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return time_;
}

std::string QXPredefinedVariables::pid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pid_;
}

void QXPredefinedVariables::setPid(std::string value) {
  std::lock_guard<std::mutex> lock(mutex_);
  pid_ = std::move(value);
}

QXEventListener* QXPredefinedVariables::listenerDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listenerDelegate_.get();
}
