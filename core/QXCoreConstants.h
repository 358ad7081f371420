#ifndef QUORVEX_CORE_QXCORECONSTANTS_H_
#define QUORVEX_CORE_QXCORECONSTANTS_H_

#include "platform/QXExport.h"

// Notification names of the core.
QX_EXPORT extern const char* const kQXNotification_HTTPRequest;  // a hit to deliver
// The application went to background, and came back to foreground.
QX_EXPORT extern const char* const kQXNotification_OnBackground;
QX_EXPORT extern const char* const kQXNotification_OnForeground;
QX_EXPORT extern const char* const kQXNotification_StartingTheSDK;
QX_EXPORT extern const char* const kQXNotification_StoppingTheSDK;
QX_EXPORT extern const char* const kQXNotification_UserAgentAvailable;

// User-information keys.
QX_EXPORT extern const char* const kQXUserInfo_URLKey;       // the collection URL of a request
QX_EXPORT extern const char* const kQXUserInfo_POSTData;     // the form-encoded body of a request
QX_EXPORT extern const char* const kQXUserInfo_ResponseKey;  // "Consent" for a consent hit
QX_EXPORT extern const char* const kQXUserInfo_DataKey;      // the payload of a core notification

// Variables that the core computes.
QX_EXPORT extern const char* const kQXPredefinedVariable_Connexion;
QX_EXPORT extern const char* const kQXPredefinedVariable_IDFA;
QX_EXPORT extern const char* const kQXPredefinedVariable_UniqueID;
QX_EXPORT extern const char* const kQXPredefinedVariable_UserAgent;
QX_EXPORT extern const char* const kQXCoreVariable_IDFV;

// The core's version, as it appears in its user agent.
QX_EXPORT extern const char* const kQXCoreVersion;

#endif  // QUORVEX_CORE_QXCORECONSTANTS_H_
