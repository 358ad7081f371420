#ifndef QUORVEX_CORE_QXCORECONSTANTS_H_
#define QUORVEX_CORE_QXCORECONSTANTS_H_

// Notification names of the core.
extern const char* const kQXNotification_HTTPRequest;   // a hit to deliver
extern const char* const kQXNotification_OnBackground;  // the application went to background
extern const char* const kQXNotification_OnForeground;  // the application came to foreground
extern const char* const kQXNotification_StartingTheSDK;
extern const char* const kQXNotification_StoppingTheSDK;
extern const char* const kQXNotification_UserAgentAvailable;

// User-information keys.
extern const char* const kQXUserInfo_URLKey;       // the collection URL of a request
extern const char* const kQXUserInfo_POSTData;     // the form-encoded body of a request
extern const char* const kQXUserInfo_ResponseKey;  // "Consent" for a consent hit
extern const char* const kQXUserInfo_DataKey;      // the payload of a core notification

// Variables that the core computes.
extern const char* const kQXPredefinedVariable_Connexion;
extern const char* const kQXPredefinedVariable_IDFA;
extern const char* const kQXPredefinedVariable_UniqueID;
extern const char* const kQXPredefinedVariable_UserAgent;
extern const char* const kQXCoreVariable_IDFV;

// The core's version, as it appears in its user agent.
extern const char* const kQXCoreVersion;

#endif  // QUORVEX_CORE_QXCORECONSTANTS_H_
