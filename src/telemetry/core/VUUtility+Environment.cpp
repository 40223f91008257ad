#include "telemetry/core/VUUtility.h"

// Quillon is never a store build and carries no provisioning profile or store receipt.
int VUUtility::currentAppEnvironment()
{
    return 99;
}

bool VUUtility::hasEmbeddedMobileProvision()
{
    return false;
}

bool VUUtility::isAppStoreReceiptSandbox()
{
    return false;
}
