#include "telemetry/crashes/VUWrapperCrashesHelper.h"

#include "telemetry/crashes/VUCrashes.h"

#include <mutex>

namespace {

std::mutex gLock;
std::weak_ptr<VUCrashHandlerSetupDelegate> gSetupDelegate;

} // namespace

void VUWrapperCrashesHelper::setCrashHandlerSetupDelegate(const std::weak_ptr<VUCrashHandlerSetupDelegate> &delegate)
{
    std::lock_guard guard(gLock);
    gSetupDelegate = delegate;
}

std::shared_ptr<VUCrashHandlerSetupDelegate> VUWrapperCrashesHelper::getCrashHandlerSetupDelegate()
{
    std::lock_guard guard(gLock);
    return gSetupDelegate.lock();
}

void VUWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing)
{
    VUCrashes::sharedInstance()->setAutomaticProcessing(automaticProcessing);
}

QList<std::shared_ptr<VUErrorReport>> VUWrapperCrashesHelper::unprocessedCrashReports()
{
    return VUCrashes::sharedInstance()->unprocessedCrashReports();
}

bool VUWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const QStringList &filteredIds)
{
    return VUCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(filteredIds);
}

void VUWrapperCrashesHelper::sendErrorAttachments(const QList<std::shared_ptr<VUErrorAttachmentLog>> &attachments,
                                                  const QString &incidentIdentifier)
{
    VUCrashes::sharedInstance()->sendErrorAttachmentsOnInstance(attachments, incidentIdentifier);
}
