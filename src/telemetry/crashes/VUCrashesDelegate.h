#pragma once
// What the application may hook into the crashes service. Every operation is optional: the
// defaults answer as if the application had not implemented it. The first argument is the
// service. Held weakly.
//
// VUCrashesDelegate is called from the service's processing thread and the telemetry queue.
// VUCrashesUserConfirmationHandler is always called on the main thread with no lock of the
// service held; answering true means the application will call
// VUCrashes::notifyWithUserConfirmation later (0 don't send, 1 send, 2 always send).

#include "telemetry/core/VUError.h"
#include "telemetry/crashes/VUErrorAttachmentLog.h"
#include "telemetry/crashes/VUErrorReport.h"

#include <QList>

#include <memory>
#include <optional>

class VUCrashes;

enum VUUserConfirmation : quint64 {
    VUUserConfirmationDontSend = 0,
    VUUserConfirmationSend = 1,
    VUUserConfirmationAlways = 2,
};

class VUCrashesDelegate
{
public:
    virtual ~VUCrashesDelegate() = default;
    virtual bool shouldProcessErrorReport(VUCrashes *crashes, const std::shared_ptr<VUErrorReport> &report)
    {
        return true;
    }
    virtual void willSendErrorReport(VUCrashes *crashes, const std::shared_ptr<VUErrorReport> &report) {}
    virtual void didSucceedSendingErrorReport(VUCrashes *crashes, const std::shared_ptr<VUErrorReport> &report) {}
    virtual void didFailSendingErrorReport(VUCrashes *crashes, const std::shared_ptr<VUErrorReport> &report,
                                           const std::optional<VUError> &error) {}
    // Nothing: not implemented.
    virtual std::optional<QList<std::shared_ptr<VUErrorAttachmentLog>>> attachmentsWithCrashes(
        VUCrashes *crashes, const std::shared_ptr<VUErrorReport> &report)
    {
        return std::nullopt;
    }
};

class VUCrashesUserConfirmationHandler
{
public:
    virtual ~VUCrashesUserConfirmationHandler() = default;
    // True: the user is being asked; the answer comes through notifyWithUserConfirmation.
    virtual bool askUser(const QList<std::shared_ptr<VUErrorReport>> &reports) = 0;
};
