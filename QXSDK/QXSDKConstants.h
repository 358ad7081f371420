#ifndef QUORVEX_QXSDK_QXSDKCONSTANTS_H_
#define QUORVEX_QXSDK_QXSDKCONSTANTS_H_

#include <cstdint>

// Every constant that the framework exports. The core's own names (its
// notifications, user-information keys and four variable names) are in
// core/QXCoreConstants.h, which this header brings in.

#include "core/QXCoreConstants.h"
#include "platform/QXExport.h"

// The framework's numeric version and its what-string.
QX_EXPORT extern const double QXSDKVersionNumber;
QX_EXPORT extern const unsigned char QXSDKVersionString[];

// A stay in background longer than this many seconds starts a new session.
QX_EXPORT extern const int64_t kQXVisitDurationDefaultValue;

// The framework's version.
QX_EXPORT extern const char* const kQXSDKVersion;
QX_EXPORT extern const char* const kQXReleaseDate;
QX_EXPORT extern const char* const kQXReleaseTime;
QX_EXPORT extern const char* const kQXManufacturerName;
QX_EXPORT extern const char* const kQXNotification_HitSent;

// The key that makes a hit a consent hit: any value under it (an empty one
// too) in the hit's application variables (QXAppVars::setConsentHit()). A
// deactivated tracker still sends consent hits, and the network manager
// marks their requests as consent ones. The key travels in the body like
// any variable, as the field CONSENT_HIT (the "#" are removed).
QX_EXPORT extern const char* const kQXConsentHitKey;

// Keys of a product's dictionary form.
QX_EXPORT extern const char* const kQXProductIDKey;
QX_EXPORT extern const char* const kQXProductNameKey;
QX_EXPORT extern const char* const kQXProductQuantityKey;
QX_EXPORT extern const char* const kQXProductPriceKey;
QX_EXPORT extern const char* const kQXProductCategoryKey;
QX_EXPORT extern const char* const kQXProductUnitPriceATIKey;
QX_EXPORT extern const char* const kQXProductUnitDiscountATIKey;
QX_EXPORT extern const char* const kQXProductUnitPriceTFKey;
QX_EXPORT extern const char* const kQXProductUnitDiscountTFKey;
QX_EXPORT extern const char* const kQXProductTrademark;
QX_EXPORT extern const char* const kQXProductURLPage;
QX_EXPORT extern const char* const kQXProductURLPicture;
QX_EXPORT extern const char* const kQXProductRating;
QX_EXPORT extern const char* const kQXProductInStock;

// Keys persisted directly in the user defaults.
QX_EXPORT extern const char* const kQXUserDefaultsKey_UniqueID;
QX_EXPORT extern const char* const kQXDateFirstVisitFormat;
QX_EXPORT extern const char* const kQXDateLastVisitFormat;
QX_EXPORT extern const char* const kQXDateCurrentVisitFormat;
QX_EXPORT extern const char* const kQXNumberVisitsFormat;
QX_EXPORT extern const char* const kQXNumberColdStarts;
QX_EXPORT extern const char* const kQXLastPID;

// Labels persisted through QXUserDefaults for the launch session and usage.
QX_EXPORT extern const char* const kQXSessionStartTimestamp;
QX_EXPORT extern const char* const kQXLastSessionStartTimestamp;
QX_EXPORT extern const char* const kQXUsageDuration;
QX_EXPORT extern const char* const kQXExitTimestamp;
QX_EXPORT extern const char* const kQXTimeSinceLastMeasurement;
QX_EXPORT extern const char* const kQXLastForegroundTime;
QX_EXPORT extern const char* const kQXLastBackgroundTime;

// Predefined variables: device, locale and application.
QX_EXPORT extern const char* const kQXPredefinedVariable_Empty;
QX_EXPORT extern const char* const kQXPredefinedVariable_Manufacturer;
QX_EXPORT extern const char* const kQXPredefinedVariable_QuorvexVersion;
QX_EXPORT extern const char* const kQXPredefinedVariable_RuntimeName;
QX_EXPORT extern const char* const kQXPredefinedVariable_Charset;
QX_EXPORT extern const char* const kQXPredefinedVariable_ScreenResolution;
QX_EXPORT extern const char* const kQXPredefinedVariable_Model;
QX_EXPORT extern const char* const kQXPredefinedVariable_SystemVersion;
QX_EXPORT extern const char* const kQXPredefinedVariable_SystemName;
QX_EXPORT extern const char* const kQXPredefinedVariable_Language;
QX_EXPORT extern const char* const kQXPredefinedVariable_LanguageCS;
QX_EXPORT extern const char* const kQXPredefinedVariable_LanguageGA;
QX_EXPORT extern const char* const kQXPredefinedVariable_IP;
QX_EXPORT extern const char* const kQXPredefinedVariable_BundleID;
QX_EXPORT extern const char* const kQXPredefinedVariable_ApplicationName;
QX_EXPORT extern const char* const kQXPredefinedVariable_ApplicationBuild;
QX_EXPORT extern const char* const kQXPredefinedVariable_ApplicationVersion;
QX_EXPORT extern const char* const kQXPredefinedVariable_ApplicationPreviousVersion;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurVersionFirstVisitMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_JailBroken;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrencyCode;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrencySymbol;
QX_EXPORT extern const char* const kQXPredefinedVariable_Device;
QX_EXPORT extern const char* const kQXPredefinedVariable_ModelAndVersion;

// Predefined variables: time of the hit.
QX_EXPORT extern const char* const kQXPredefinedVariable_Random;
QX_EXPORT extern const char* const kQXPredefinedVariable_Now;
QX_EXPORT extern const char* const kQXPredefinedVariable_NowMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrentCall;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrentCallMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastCall;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastCallMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_SessionDuration;
QX_EXPORT extern const char* const kQXPredefinedVariable_SessionDurationMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_ForegroundTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_DeltaForegroundTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_BackgroundTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_DeltaBackgroundTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_ForegroundTransitions;

// Predefined variables: visits and sessions.
QX_EXPORT extern const char* const kQXPredefinedVariable_FirstVisit;
QX_EXPORT extern const char* const kQXPredefinedVariable_FirstVisitMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastVisit;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastVisitMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrentVisit;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrentVisitMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrentSession;
QX_EXPORT extern const char* const kQXPredefinedVariable_CurrentSessionMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_NumberVisits;
QX_EXPORT extern const char* const kQXPredefinedVariable_NumberSessions;
QX_EXPORT extern const char* const kQXPredefinedVariable_IsFirstVisit;
QX_EXPORT extern const char* const kQXPredefinedVariable_ColdStarts;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastSessionLastHit;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastSessionLastHitMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_FirstExecute;

// Predefined variables: usage across launches.
QX_EXPORT extern const char* const kQXPredefinedVariable_IsNewSession;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastSessionStartMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_UserSessionDurationMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_UsageSessionDurationMs;
QX_EXPORT extern const char* const kQXPredefinedVariable_AccumulatedBackgroundTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_TimeSinceLastExit;
QX_EXPORT extern const char* const
    kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement;
QX_EXPORT extern const char* const kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement;

// Predefined variables declared for the host application; the SDK never writes them.
QX_EXPORT extern const char* const kQXPredefinedVariable_BackgroundUxTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_DeltaBackgroundUxTime;
QX_EXPORT extern const char* const kQXPredefinedVariable_Longitude;
QX_EXPORT extern const char* const kQXPredefinedVariable_Latitude;
QX_EXPORT extern const char* const kQXPredefinedVariable_EmptyVariableRemoveEqual;

#endif  // QUORVEX_QXSDK_QXSDKCONSTANTS_H_
