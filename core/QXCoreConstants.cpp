#include "core/QXCoreConstants.h"

const char* const kQXNotification_HTTPRequest = "QXNotification: HTTP Request";
const char* const kQXNotification_OnBackground = "QXNotification: On Background";
const char* const kQXNotification_OnForeground = "QXNotification: On Foreground";
const char* const kQXNotification_StartingTheSDK = "QXNotification: Starting The SDK";
const char* const kQXNotification_StoppingTheSDK = "QXNotification: Stopping The SDK";
const char* const kQXNotification_UserAgentAvailable = "QXNotification: User Agent Available";

const char* const kQXUserInfo_URLKey = "url";
const char* const kQXUserInfo_POSTData = "postData";
const char* const kQXUserInfo_ResponseKey = "response";
const char* const kQXUserInfo_DataKey = "data";

const char* const kQXPredefinedVariable_Connexion = "#QX_CONNEXION#";
const char* const kQXPredefinedVariable_IDFA = "#QX_IDFA#";
const char* const kQXPredefinedVariable_UniqueID = "#QX_UNIQUE_ID#";
const char* const kQXPredefinedVariable_UserAgent = "#QX_USER_AGENT#";
const char* const kQXCoreVariable_IDFV = "#QX_IDFV#";

const char* const kQXCoreVersion = "1.0.0";
