#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXState.h"
#include "core/QXSingletonInstance.h"

template QXPredefinedVariables& QXSingleton<QXPredefinedVariables>::sharedInstance();
template QXState& QXSingleton<QXState>::sharedInstance();
