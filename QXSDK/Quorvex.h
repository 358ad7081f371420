#ifndef QUORVEX_QXSDK_QUORVEX_H_
#define QUORVEX_QXSDK_QUORVEX_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "QXSDK/QXProduct.h"
#include "QXSDK/QXSDKInitialisation.h"
#include "core/IQXDynamicStore.h"
#include "core/IQXEventListenerDelegate.h"
#include "core/IQXEventSenderDelegate.h"
#include "core/QXDynamicStore.h"
#include "core/QXEventListener.h"
#include "core/QXEventSender.h"
#include "platform/QXExport.h"
#include "platform/QXNotificationCenter.h"

class QXAppVars;

// A tracker: one site and container of the tag-management service.
//
// The host application creates one per site and container, adds the
// variables and products of the next hit, keeps permanent data that goes with
// every hit, and executes hits. Several trackers may live side by side; they
// share the process-wide singletons, their stores and counters are their own.
//
// Activation (enableSDK): 0 or 1 active (0 when the privacy component
// "QXMobilePrivacy" is present at creation), 2 deactivated. While
// deactivated, only consent hits go out (a QXAppVars with setConsentHit(),
// the key kQXConsentHitKey):
//   - dropped silently: the variables and products added meanwhile
//     (addData), and every hit that is not a consent hit;
//   - kept: the hit's variables added before the deactivation (a hit that
//     does not go out leaves them for the next one that does), the permanent
//     data (addPermanentData works as usual) and the application variables.
//
// A consent hit made while deactivated carries all that is kept, and clears
// the hit's variables as every hit does. The start and stop notifications of
// the core switch every tracker that listens on the center where they are
// posted.
//
// The body of a hit (see the README, "The body of a hit"): the predefined
// variables, then the hit's variables, the permanent data and the
// application variables, each source overriding the ones before it for a
// key they share; "#" is removed from every key; execute() then clears the
// hit's variables and product count.
//
// Failures: no operation throws. One that meets an exception (memory
// running out, say) is abandoned, says so once at level 4 and returns; a
// getter then returns nullopt or an empty string. A hit that cannot be built
// whole is refused: it is never sent in part, it counts as dropped in
// QXNetworkManager::counters() and goes to the outcome callback, and the
// hit's variables are dropped with it.
//
// Threads: a tracker is meant to be driven from one thread at a time, but
// every member is safe to call concurrently (the stores lock, the counters
// and the activation state are atomic), and the start/stop notifications may
// arrive on any thread.
//
// Lifetime: a tracker must not be destroyed while another thread still uses
// it (calls a member, executes a hit): the host makes sure those calls have
// returned first, as for any object. What the destructor does guard against
// is the SDK's own notifications: it ends the tracker's observations first,
// waiting for a start or stop notification being delivered to it on another
// thread, so that none reaches it afterwards. (The C API's handles, looked
// up on every call, are the exception: a qx_tracker freed on one thread is
// refused on the others.)
class QX_EXPORT Quorvex : public IQXDynamicStore,
                          public IQXEventSenderDelegate,
                          public IQXEventListenerDelegate {
 public:
  // Creates a tracker that posts its requests on `center` (the default
  // center when null). IDs are accepted in any range.
  Quorvex(int32_t siteID, int32_t containerID, std::shared_ptr<QXNotificationCenter> center);
  // Creates a tracker that posts its requests on the default center, where
  // the core's network manager delivers them.
  Quorvex(int32_t siteID, int32_t containerID);
  ~Quorvex() override;
  Quorvex(const Quorvex&) = delete;
  Quorvex& operator=(const Quorvex&) = delete;

  // --- Variables of the current hit (dynamicStore) ---
  using IQXDynamicStore::addData;
  // Copies every entry of `store` over the hit's variables; ignored when null
  // or while deactivated.
  void addData(const QXDynamicStore* store) noexcept override;
  // Ignored while deactivated; nullopt removes the key.
  void addData(const std::string& key, const std::optional<std::string>& value) noexcept override;
  // Flattens the product under `name` with the product counter as index
  // (name[field][index]) and moves the counter; ignored while deactivated.
  void addData(const std::string& name, const QXProduct& product) noexcept;
  std::optional<std::string> getData(const std::string& key) noexcept override;
  std::optional<std::string> removeData(const std::string& key) noexcept override;
  // Empties the hit's variables and restarts the product count; the
  // permanent data stays.
  void clearData() noexcept override;

  // --- Permanent data, sent with every hit of this tracker ---
  void addPermanentData(const std::string& key, const std::optional<std::string>& value) noexcept;
  std::optional<std::string> getPermanentData(const std::string& key) noexcept;
  std::optional<std::string> removePermanentData(const std::string& key) noexcept;

  // --- Hits ---
  // One hit without application variables.
  void sendData() noexcept;
  // One hit; `appVars` may be null. Returns once the request has been handed
  // to the core; nothing about delivery comes back here.
  void execute(const QXAppVars* appVars) noexcept;
  // One hit with `appVars`.
  void execute(const QXAppVars& appVars) noexcept { execute(&appVars); }
  // The POST body that a hit with `appVars` would carry now. Changes nothing
  // in the tracker, but refreshes the time-dependent predefined variables.
  // Empty when it could not be rendered.
  std::string getPostData(const QXAppVars* appVars) noexcept;

  // --- Activation and environment ---
  void activateSDK() noexcept;
  void deactivateSDK() noexcept;
  // Background delivery for every tracker of the process, for good.
  void enableRunningInBackground() noexcept;
  // Hands `center` to the sender: later hits are posted there. The listener
  // keeps the center it has.
  void changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) noexcept override;
  void onNotificationReceived(const QXNotification& notification) noexcept override;

  // --- Properties ---
  // Null when the tracker's creation failed.
  QXSDKInitialisation* initialisation() const { return initialisation_.get(); }
  // The site ID given at creation (or set since).
  int32_t siteID() const { return siteID_.load(); }
  // Changes the site ID; the URL stays as it is.
  void setSiteID(int32_t siteID) { siteID_.store(siteID); }
  // The container ID given at creation (or set since).
  int32_t containerID() const { return containerID_.load(); }
  // Changes the container ID; the URL stays as it is.
  void setContainerID(int32_t containerID) { containerID_.store(containerID); }
  // The index the next product added takes (0 after each hit).
  int32_t numberOfProducts() const { return numberOfProducts_.load(); }
  // Sets the index the next product added takes.
  void setNumberOfProducts(int32_t count) { numberOfProducts_.store(count); }
  // Where the hits go: the collection URL, built once at creation (see
  // collectionURL()), until setUrl() replaces it; it does not follow later
  // changes of the IDs.
  std::string url() const noexcept;
  // Sends this tracker's later hits to `url` instead. By default a tracker
  // sends to the production collector of its site
  // (https://collect<siteID>.quorvex.net/<containerID>/), where every hit
  // counts as real traffic: while developing, point it at a development
  // collector such as `quorvex collect` (http://127.0.0.1:<port>/<container>/).
  // Only http and https URLs are requested; a hit to another one is dropped.
  void setUrl(std::string url) noexcept;
  // The activation state: 0 or 1 active, 2 deactivated (see the class).
  int32_t enableSDK() const { return enableSDK_.load(); }
  // Sets the activation state (2 deactivates, as deactivateSDK() does).
  void setEnableSDK(int32_t state) { enableSDK_.store(state); }
  // The hit's variables and flattened products.
  QXDynamicStore& dynamicStore() { return dynamicStore_; }
  // Replaces the hit's variables by a copy of `store`.
  void setDynamicStore(const QXDynamicStore& store) noexcept;
  // The permanent data.
  QXDynamicStore& permanentStore() { return permanentStore_; }
  // Replaces the permanent data by a copy of `store`.
  void setPermanentStore(const QXDynamicStore& store) noexcept;
  // What posts the hits; null when the tracker's creation failed.
  QXEventSender* senderDelegate() const { return senderDelegate_.get(); }
  // What hears the core's start and stop notifications; null when the
  // tracker's creation failed.
  QXEventListener* listenerDelegate() const { return listenerDelegate_.get(); }

  // "https://" collection host "/" containerID "/"; the host's first label is
  // a fixed word followed by the site ID, both IDs in signed decimal.
  static std::string collectionURL(int32_t siteID, int32_t containerID);

 private:
  static constexpr int32_t kDeactivated = 2;

  bool isDeactivated() const { return enableSDK_.load() == kDeactivated; }
  // The body of a hit; `complete` (when given) tells whether it is whole.
  // A body over `maxBytes` is not rendered: `*tooLarge` gets its size.
  std::string renderPostData(const QXAppVars* appVars, bool* complete,
                             size_t maxBytes = static_cast<size_t>(-1),
                             std::optional<size_t>* tooLarge = nullptr);
  void logExecution(const QXAppVars* appVars) const noexcept;
  // url() for the tracker's own use: what fails reaches the caller.
  std::string currentURL() const;
  // Counts a hit that never reached the core as dropped, and says why.
  void refuseHit(const char* reason, const char* detail = "") const noexcept;

  // Constant after construction (owned parts are never replaced); the
  // sender and the listener are null when the creation failed.
  std::unique_ptr<QXSDKInitialisation> initialisation_;
  QXDynamicStore dynamicStore_;
  QXDynamicStore permanentStore_;
  std::unique_ptr<QXEventSender> senderDelegate_;
  std::unique_ptr<QXEventListener> listenerDelegate_;

  std::atomic<int32_t> containerID_{0};
  std::atomic<int32_t> siteID_{0};
  std::atomic<int32_t> numberOfProducts_{0};
  std::atomic<int32_t> enableSDK_{1};

  mutable std::mutex urlMutex_;
  std::string url_;  // guarded by urlMutex_
};

#endif  // QUORVEX_QXSDK_QUORVEX_H_
