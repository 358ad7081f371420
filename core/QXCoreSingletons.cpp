#include "core/QXCoreVariables.h"
#include "core/QXNetworkManager.h"
#include "core/QXSingletonInstance.h"

template QXCoreVariables& QXSingleton<QXCoreVariables>::sharedInstance();
template QXNetworkManager& QXSingleton<QXNetworkManager>::sharedInstance();
