#pragma once
// The entry a wrapper SDK uses to steer crash handling: a set-up delegate asked when
// capture is installed, and forwarders to the crashes service's wrapper-facing operations.
// Quillon sets no set-up delegate. Thread-safe.

#include "telemetry/crashes/VUErrorAttachmentLog.h"
#include "telemetry/crashes/VUErrorReport.h"

#include <QStringList>

#include <memory>

class VUCrashHandlerSetupDelegate
{
public:
    virtual ~VUCrashHandlerSetupDelegate() = default;
    virtual void willSetUpCrashHandlers() {}
    virtual void didSetUpCrashHandlers() {}
    // Nothing: not implemented (the handler is enabled).
    virtual std::optional<bool> shouldEnableUncaughtExceptionHandler() { return std::nullopt; }
};

class VUWrapperCrashesHelper
{
public:
    static void setCrashHandlerSetupDelegate(const std::weak_ptr<VUCrashHandlerSetupDelegate> &delegate);
    static std::shared_ptr<VUCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();
    static void setAutomaticProcessing(bool automaticProcessing);
    static QList<std::shared_ptr<VUErrorReport>> unprocessedCrashReports();
    static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const QStringList &filteredIds);
    static void sendErrorAttachments(const QList<std::shared_ptr<VUErrorAttachmentLog>> &attachments,
                                     const QString &incidentIdentifier);
};
