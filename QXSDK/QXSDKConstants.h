#ifndef QUORVEX_QXSDK_QXSDKCONSTANTS_H_
#define QUORVEX_QXSDK_QXSDKCONSTANTS_H_

#include <cstdint>

// Every constant that the framework exports. The core's own names (its
// notifications, user-information keys and four variable names) are in
// core/QXCoreConstants.h, which this header brings in.

#include "core/QXCoreConstants.h"

// The framework's numeric version and its what-string.
extern const double QXSDKVersionNumber;
extern const unsigned char QXSDKVersionString[];

// A stay in background longer than this many seconds starts a new session.
extern const int64_t kQXVisitDurationDefaultValue;

// The framework's version.
extern const char* const kQXSDKVersion;
extern const char* const kQXReleaseDate;
extern const char* const kQXReleaseTime;
extern const char* const kQXManufacturerName;
extern const char* const kQXNotification_HitSent;

// Keys of a product's dictionary form.
extern const char* const kQXProductIDKey;
extern const char* const kQXProductNameKey;
extern const char* const kQXProductQuantityKey;
extern const char* const kQXProductPriceKey;
extern const char* const kQXProductCategoryKey;
extern const char* const kQXProductUnitPriceATIKey;
extern const char* const kQXProductUnitDiscountATIKey;
extern const char* const kQXProductUnitPriceTFKey;
extern const char* const kQXProductUnitDiscountTFKey;
extern const char* const kQXProductTrademark;
extern const char* const kQXProductURLPage;
extern const char* const kQXProductURLPicture;
extern const char* const kQXProductRating;
extern const char* const kQXProductInStock;

// Keys persisted directly in the user defaults.
extern const char* const kQXUserDefaultsKey_UniqueID;
extern const char* const kQXDateFirstVisitFormat;
extern const char* const kQXDateLastVisitFormat;
extern const char* const kQXDateCurrentVisitFormat;
extern const char* const kQXNumberVisitsFormat;
extern const char* const kQXNumberColdStarts;
extern const char* const kQXLastPID;

// Labels persisted through QXUserDefaults for the launch session and usage.
extern const char* const kQXSessionStartTimestamp;
extern const char* const kQXLastSessionStartTimestamp;
extern const char* const kQXUsageDuration;
extern const char* const kQXExitTimestamp;
extern const char* const kQXTimeSinceLastMeasurement;
extern const char* const kQXLastForegroundTime;
extern const char* const kQXLastBackgroundTime;

// Predefined variables: device, locale and application.
extern const char* const kQXPredefinedVariable_Empty;
extern const char* const kQXPredefinedVariable_Manufacturer;
extern const char* const kQXPredefinedVariable_QuorvexVersion;
extern const char* const kQXPredefinedVariable_RuntimeName;
extern const char* const kQXPredefinedVariable_Charset;
extern const char* const kQXPredefinedVariable_ScreenResolution;
extern const char* const kQXPredefinedVariable_Model;
extern const char* const kQXPredefinedVariable_SystemVersion;
extern const char* const kQXPredefinedVariable_SystemName;
extern const char* const kQXPredefinedVariable_Language;
extern const char* const kQXPredefinedVariable_LanguageCS;
extern const char* const kQXPredefinedVariable_LanguageGA;
extern const char* const kQXPredefinedVariable_IP;
extern const char* const kQXPredefinedVariable_BundleID;
extern const char* const kQXPredefinedVariable_ApplicationName;
extern const char* const kQXPredefinedVariable_ApplicationBuild;
extern const char* const kQXPredefinedVariable_ApplicationVersion;
extern const char* const kQXPredefinedVariable_ApplicationPreviousVersion;
extern const char* const kQXPredefinedVariable_CurVersionFirstVisitMs;
extern const char* const kQXPredefinedVariable_JailBroken;
extern const char* const kQXPredefinedVariable_CurrencyCode;
extern const char* const kQXPredefinedVariable_CurrencySymbol;
extern const char* const kQXPredefinedVariable_Device;
extern const char* const kQXPredefinedVariable_ModelAndVersion;

// Predefined variables: time of the hit.
extern const char* const kQXPredefinedVariable_Random;
extern const char* const kQXPredefinedVariable_Now;
extern const char* const kQXPredefinedVariable_NowMs;
extern const char* const kQXPredefinedVariable_CurrentCall;
extern const char* const kQXPredefinedVariable_CurrentCallMs;
extern const char* const kQXPredefinedVariable_LastCall;
extern const char* const kQXPredefinedVariable_LastCallMs;
extern const char* const kQXPredefinedVariable_SessionDuration;
extern const char* const kQXPredefinedVariable_SessionDurationMs;
extern const char* const kQXPredefinedVariable_ForegroundTime;
extern const char* const kQXPredefinedVariable_DeltaForegroundTime;
extern const char* const kQXPredefinedVariable_BackgroundTime;
extern const char* const kQXPredefinedVariable_DeltaBackgroundTime;
extern const char* const kQXPredefinedVariable_ForegroundTransitions;

// Predefined variables: visits and sessions.
extern const char* const kQXPredefinedVariable_FirstVisit;
extern const char* const kQXPredefinedVariable_FirstVisitMs;
extern const char* const kQXPredefinedVariable_LastVisit;
extern const char* const kQXPredefinedVariable_LastVisitMs;
extern const char* const kQXPredefinedVariable_CurrentVisit;
extern const char* const kQXPredefinedVariable_CurrentVisitMs;
extern const char* const kQXPredefinedVariable_CurrentSession;
extern const char* const kQXPredefinedVariable_CurrentSessionMs;
extern const char* const kQXPredefinedVariable_NumberVisits;
extern const char* const kQXPredefinedVariable_NumberSessions;
extern const char* const kQXPredefinedVariable_IsFirstVisit;
extern const char* const kQXPredefinedVariable_ColdStarts;
extern const char* const kQXPredefinedVariable_LastSessionLastHit;
extern const char* const kQXPredefinedVariable_LastSessionLastHitMs;
extern const char* const kQXPredefinedVariable_FirstExecute;

// Predefined variables: usage across launches.
extern const char* const kQXPredefinedVariable_IsNewSession;
extern const char* const kQXPredefinedVariable_LastSessionStartMs;
extern const char* const kQXPredefinedVariable_UserSessionDurationMs;
extern const char* const kQXPredefinedVariable_UsageSessionDurationMs;
extern const char* const kQXPredefinedVariable_AccumulatedBackgroundTime;
extern const char* const kQXPredefinedVariable_TimeSinceLastExit;
extern const char* const kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement;
extern const char* const kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement;

// Predefined variables declared for the host application; the SDK never writes them.
extern const char* const kQXPredefinedVariable_BackgroundUxTime;
extern const char* const kQXPredefinedVariable_DeltaBackgroundUxTime;
extern const char* const kQXPredefinedVariable_Longitude;
extern const char* const kQXPredefinedVariable_Latitude;
extern const char* const kQXPredefinedVariable_EmptyVariableRemoveEqual;

#endif  // QUORVEX_QXSDK_QXSDKCONSTANTS_H_
