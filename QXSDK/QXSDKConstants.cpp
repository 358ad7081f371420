#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/QXVersion.h"

const double QXSDKVersionNumber = 1.0;
const unsigned char QXSDKVersionString[] = "@(#)PROGRAM:QXSDK  PROJECT:QXSDK-1\n";

const int64_t kQXVisitDurationDefaultValue = 1800;

const char* const kQXSDKVersion = QX_VERSION_STRING;
const char* const kQXReleaseDate = "30/10/2019";
const char* const kQXReleaseTime = "10:24:37";
const char* const kQXManufacturerName = "Apple";
const char* const kQXNotification_HitSent = "QXNotification: Hit Sent";

const char* const kQXConsentHitKey = "#CONSENT_HIT#";

const char* const kQXProductIDKey = "product_id";
const char* const kQXProductNameKey = "product_name";
const char* const kQXProductQuantityKey = "product_quantity";
const char* const kQXProductPriceKey = "product_price";
const char* const kQXProductCategoryKey = "product_category";
const char* const kQXProductUnitPriceATIKey = "product_unit_price_ati";
const char* const kQXProductUnitDiscountATIKey = "product_unit_discount_ati";
const char* const kQXProductUnitPriceTFKey = "product_unit_price_tf";
const char* const kQXProductUnitDiscountTFKey = "product_unit_discount_tf";
const char* const kQXProductTrademark = "product_trademark";
const char* const kQXProductURLPage = "product_url_page";
const char* const kQXProductURLPicture = "product_url_picture";
const char* const kQXProductRating = "product_rating";
const char* const kQXProductInStock = "product_in_stock";

const char* const kQXUserDefaultsKey_UniqueID = "qx_unique_id";
const char* const kQXDateFirstVisitFormat = "qx_date_first_visit";
const char* const kQXDateLastVisitFormat = "qx_date_last_visit";
const char* const kQXDateCurrentVisitFormat = "qx_date_current_visit";
const char* const kQXNumberVisitsFormat = "qx_number_visits";
const char* const kQXNumberColdStarts = "qx_number_coldStarts";
const char* const kQXLastPID = "qx_last_pid";

const char* const kQXSessionStartTimestamp = "SessionStartTimestamp";
const char* const kQXLastSessionStartTimestamp = "LastSessionStartTimestamp";
const char* const kQXUsageDuration = "UsageDuration";
const char* const kQXExitTimestamp = "ExitTimestamp";
const char* const kQXTimeSinceLastMeasurement = "TimeSinceLastMeasurement";
const char* const kQXLastForegroundTime = "LastForegroundTime";
const char* const kQXLastBackgroundTime = "LastBackgroundTime";

const char* const kQXPredefinedVariable_Empty = "#QX_EMPTY#";
const char* const kQXPredefinedVariable_Manufacturer = "#QX_MANUFACTURER#";
const char* const kQXPredefinedVariable_QuorvexVersion = "#QX_QUORVEX_VERSION#";
const char* const kQXPredefinedVariable_RuntimeName = "#QX_RUNTIME_NAME#";
const char* const kQXPredefinedVariable_Charset = "#QX_CHARSET#";
const char* const kQXPredefinedVariable_ScreenResolution = "#QX_SCREEN#";
const char* const kQXPredefinedVariable_Model = "#QX_MODEL#";
const char* const kQXPredefinedVariable_SystemVersion = "#QX_SYSVERSION#";
const char* const kQXPredefinedVariable_SystemName = "#QX_SYSNAME#";
const char* const kQXPredefinedVariable_Language = "#QX_LANGUAGE#";
const char* const kQXPredefinedVariable_LanguageCS = "#QX_LANGUAGE_CS#";
const char* const kQXPredefinedVariable_LanguageGA = "#QX_LANGUAGE_GA#";
const char* const kQXPredefinedVariable_IP = "#QX_IP#";
const char* const kQXPredefinedVariable_BundleID = "#QX_BUNDLE_IDENTIFIER#";
const char* const kQXPredefinedVariable_ApplicationName = "#QX_APPLICATION_NAME#";
const char* const kQXPredefinedVariable_ApplicationBuild = "#QX_APPLICATION_BUILD#";
const char* const kQXPredefinedVariable_ApplicationVersion = "#QX_APPLICATION_VERSION#";
const char* const kQXPredefinedVariable_ApplicationPreviousVersion =
    "#QX_APPLICATION_PREVIOUS_VERSION#";
const char* const kQXPredefinedVariable_CurVersionFirstVisitMs = "#QX_VERSION_FIRST_VISIT_MS#";
const char* const kQXPredefinedVariable_JailBroken = "#QX_JAILBROKEN#";
const char* const kQXPredefinedVariable_CurrencyCode = "#QX_CURRENCY_CODE#";
const char* const kQXPredefinedVariable_CurrencySymbol = "#QX_CURRENCY_SYMBOL#";
const char* const kQXPredefinedVariable_Device = "#QX_DEVICE#";
const char* const kQXPredefinedVariable_ModelAndVersion = "#QX_MODEL_AND_VERSION#";

const char* const kQXPredefinedVariable_Random = "#QX_RAND#";
const char* const kQXPredefinedVariable_Now = "#QX_NOW#";
const char* const kQXPredefinedVariable_NowMs = "#QX_NOW_MS#";
const char* const kQXPredefinedVariable_CurrentCall = "#QX_CURRENT_CALL#";
const char* const kQXPredefinedVariable_CurrentCallMs = "#QX_CURRENT_CALL_MS#";
const char* const kQXPredefinedVariable_LastCall = "#QX_LAST_CALL#";
const char* const kQXPredefinedVariable_LastCallMs = "#QX_LAST_CALL_MS#";
const char* const kQXPredefinedVariable_SessionDuration = "#QX_SESSION_DURATION#";
const char* const kQXPredefinedVariable_SessionDurationMs = "#QX_SESSION_DURATION_MS#";
const char* const kQXPredefinedVariable_ForegroundTime = "#QX_FOREGROUND_TIME#";
const char* const kQXPredefinedVariable_DeltaForegroundTime = "#QX_DELTA_FOREGROUND_TIME#";
const char* const kQXPredefinedVariable_BackgroundTime = "#QX_BACKGROUND_TIME#";
const char* const kQXPredefinedVariable_DeltaBackgroundTime = "#QX_DELTA_BACKGROUND_TIME#";
const char* const kQXPredefinedVariable_ForegroundTransitions = "#QX_FOREGROUNDS#";

const char* const kQXPredefinedVariable_FirstVisit = "#QX_FIRST_VISIT#";
const char* const kQXPredefinedVariable_FirstVisitMs = "#QX_FIRST_VISIT_MS#";
const char* const kQXPredefinedVariable_LastVisit = "#QX_LAST_VISIT#";
const char* const kQXPredefinedVariable_LastVisitMs = "#QX_LAST_VISIT_MS#";
const char* const kQXPredefinedVariable_CurrentVisit = "#QX_CURRENT_VISIT#";
const char* const kQXPredefinedVariable_CurrentVisitMs = "#QX_CURRENT_VISIT_MS#";
const char* const kQXPredefinedVariable_CurrentSession = "#QX_CURRENT_SESSION#";
const char* const kQXPredefinedVariable_CurrentSessionMs = "#QX_CURRENT_SESSION_MS#";
const char* const kQXPredefinedVariable_NumberVisits = "#QX_NUMBER_VISIT#";
const char* const kQXPredefinedVariable_NumberSessions = "#QX_NUMBER_SESSION#";
const char* const kQXPredefinedVariable_IsFirstVisit = "#QX_IS_FIRST_VISIT#";
const char* const kQXPredefinedVariable_ColdStarts = "#QX_APPLICATION_STARTS#";
const char* const kQXPredefinedVariable_LastSessionLastHit = "#QX_LAST_SESSION_LAST_HIT#";
const char* const kQXPredefinedVariable_LastSessionLastHitMs = "#QX_LAST_SESSION_LAST_HIT_MS#";
const char* const kQXPredefinedVariable_FirstExecute = "#QX_FIRST_EXECUTE#";

const char* const kQXPredefinedVariable_IsNewSession = "#QX_NEW_SESSION#";
const char* const kQXPredefinedVariable_LastSessionStartMs = "#QX_LAST_SESSION_START_MS#";
const char* const kQXPredefinedVariable_UserSessionDurationMs = "#QX_USER_SESSION_DURATION_MS#";
const char* const kQXPredefinedVariable_UsageSessionDurationMs = "#QX_USAGE_SESSION_DURATION_MS#";
const char* const kQXPredefinedVariable_AccumulatedBackgroundTime = "#QX_CS_START_IT#";
const char* const kQXPredefinedVariable_TimeSinceLastExit = "#QX_CS_START_DIT#";
const char* const kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement =
    "#QX_CS_START_FT#";
const char* const kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement = "#QX_CS_START_DFT#";

const char* const kQXPredefinedVariable_BackgroundUxTime = "#QX_BACKGROUND_UX_TIME#";
const char* const kQXPredefinedVariable_DeltaBackgroundUxTime = "#QX_DELTA_BACKGROUND_UX_TIME#";
const char* const kQXPredefinedVariable_Longitude = "#QX_LONGITUDE#";
const char* const kQXPredefinedVariable_Latitude = "#QX_LATITUDE#";
const char* const kQXPredefinedVariable_EmptyVariableRemoveEqual =
    "#QX_EMPTY_VARIABLE_REMOVE_EQUAL#";
