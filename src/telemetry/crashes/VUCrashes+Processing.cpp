// Stored reports turned into crash logs and sent after the delegate's and the user's
// decision; attachments; the wrapper-driven variant.
#include "telemetry/crashes/VUCrashes.h"

#include "telemetry/core/VUApplicationState.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/crashes/VUCrashesTimings.h"
#include "telemetry/crashes/VUCrashesUtil.h"
#include "telemetry/crashes/VUErrorLogFormatter.h"
#include "telemetry/crashes/VUWrapperExceptionManager.h"

#include "platform/MainThread.h"
#include "platform/UserDefaults.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>

void VUCrashes::startDelayedCrashProcessing()
{
    std::weak_ptr<VUCrashes> weakSelf = std::dynamic_pointer_cast<VUCrashes>(shared_from_this());
    mProcessingQueue->asyncAfter(VUCrashesTimings::current().processingDelayMs, [weakSelf] {
        if (const auto self = weakSelf.lock()) {
            self->startCrashProcessing();
            self->signalProcessingDone();
        }
    });
}

void VUCrashes::signalProcessingDone()
{
    std::lock_guard guard(mSignalLock);
    if (!mShouldReleaseProcessingSemaphore)
        return;
    mShouldReleaseProcessingSemaphore = false;
    ++mProcessingSignals;
    mSignalChanged.notify_all();
}

bool VUCrashes::processingSignalled() const
{
    std::lock_guard guard(mSignalLock);
    return mProcessingSignals > 0;
}

void VUCrashes::startCrashProcessing()
{
    if (automaticProcessing() && VUApplicationStateProvider::applicationState() == VUApplicationStateBackground) {
        VULogWarning(kLogTag, "Crashes will not be processed because the application is in the background.");
        return;
    }
    VULogDebug(kLogTag, "Start delayed CrashManager processing");
    if (mExceptionHandler && mExceptionHandler != VUCrashGetUncaughtExceptionHandler())
        VULogWarning(kLogTag, "Another exception handler was added. If this invokes any kind of exit() after processing "
                              "the exception, which causes any subsequent error handler not to be invoked, these "
                              "crashes will NOT be reported to Vov Udezir!");
    processCrashReports();
}

void VUCrashes::processCrashReports()
{
    if (!isEnabled()) {
        VULogDebug(kLogTag, "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        VUWrapperExceptionManager::deleteAllWrapperExceptions();
        return;
    }
    clearUnprocessedReports();

    struct Decoded
    {
        QString path;
        std::shared_ptr<VUAppleErrorLog> log;
        std::shared_ptr<VUErrorReport> report;
    };
    QList<Decoded> decoded;
    for (const QString &path : crashFiles()) {
        QFile file(path);
        // Only regular files are read: a pipe put in the folder must not hang processing.
        const QFileInfo info(path);
        if (!info.isFile() || !file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = file.readAll();
        if (bytes.isEmpty())
            continue;
        VUCrashReportError error;
        const auto report = VUCrashReport::initWithData(bytes, &error);
        if (!report) {
            VULogWarning(kLogTag, "Crash report found but couldn't parse it, discard the crash report: %s",
                         qUtf8Printable(error.message));
            // As the message says: a file that cannot be read now never will be.
            discardReportFile(path, std::nullopt);
            continue;
        }
        // One log per report; its summary derives from it, so both share the error id.
        const auto log = VUErrorLogFormatter::errorLogFromCrashReport(*report);
        decoded.append({path, log, VUErrorLogFormatter::errorReportFromLog(*log)});
    }

    QList<std::shared_ptr<VUErrorReport>> reports;
    for (const auto &d : decoded)
        reports.append(d.report);
    VUWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(reports);

    for (const auto &entry : decoded) {
        VULogVerbose(kLogTag, "Crash reports found");
        if (!entry.log->exception && entry.log->errorId)
            entry.log->exception = VUWrapperExceptionManager::modelExceptionOf(
                VUWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*entry.log->errorId));
        if (automaticProcessing() && !shouldProcessErrorReport(entry.report)) {
            VULogDebug(kLogTag, "shouldProcessErrorReport returned NO, discard the crash report: %s",
                       qUtf8Printable(entry.report->debugDescription()));
            discardReportFile(entry.path, entry.report->incidentIdentifier());
            continue;
        }
        if (automaticProcessing())
            VULogDebug(kLogTag, "shouldProcessErrorReport is not implemented or returned YES, processing the crash "
                                "report: %s",
                       qUtf8Printable(entry.report->debugDescription()));
        else
            VULogDebug(kLogTag, "Automatic crash processing is disabled, storing the crash report for later "
                                "processing: %s",
                       qUtf8Printable(entry.report->debugDescription()));
        std::lock_guard guard(mFilesLock);
        mUnprocessedLogs.append(entry.log);
        mUnprocessedReports.append(entry.report);
        mUnprocessedFilePaths.append(entry.path);
    }
    if (automaticProcessing())
        sendCrashReportsOrAwaitUserConfirmation();
}

bool VUCrashes::shouldProcessErrorReport(const std::shared_ptr<VUErrorReport> &report)
{
    const auto d = delegate();
    return !d || d->shouldProcessErrorReport(this, report);
}

bool VUCrashes::shouldAlwaysSend() const
{
    return variantBoolValue(VUUserDefaults::shared()->objectForKey(kUserConfirmationKey));
}

bool VUCrashes::sendCrashReportsOrAwaitUserConfirmation()
{
    const bool alwaysSend = shouldAlwaysSend();
    QList<std::shared_ptr<VUErrorReport>> reports;
    {
        std::lock_guard guard(mFilesLock);
        reports = mUnprocessedReports;
    }
    if (reports.isEmpty())
        return alwaysSend;
    if (alwaysSend) {
        VULogDebug(kLogTag, "The flag for user confirmation is set to VUUserConfirmationAlways, continue sending logs");
        notifyWithUserConfirmationOnInstance(VUUserConfirmationSend);
        return alwaysSend;
    }
    if (!automaticProcessing()) {
        VULogDebug(kLogTag,
                   "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
        return alwaysSend;
    }
    std::shared_ptr<VUCrashesUserConfirmationHandler> handler;
    {
        std::lock_guard guard(mStateLock);
        handler = mUserConfirmationHandler;
    }
    bool awaiting = false;
    if (handler) {
        // The handler runs on the main thread; no lock of ours is held while it is awaited.
        MainThread::performOnMainThread([&] { awaiting = handler->askUser(reports); }, true);
    }
    if (!awaiting) {
        VULogDebug(kLogTag, "The user confirmation handler is not implemented or returned NO, continue sending logs");
        notifyWithUserConfirmationOnInstance(VUUserConfirmationSend);
    }
    return alwaysSend;
}

void VUCrashes::notifyWithUserConfirmationOnInstance(quint64 userConfirmation)
{
    QList<std::shared_ptr<VUAppleErrorLog>> logs;
    QList<std::shared_ptr<VUErrorReport>> reports;
    QStringList paths;
    {
        std::lock_guard guard(mFilesLock);
        logs.swap(mUnprocessedLogs);
        reports.swap(mUnprocessedReports);
        paths.swap(mUnprocessedFilePaths);
    }
    if (userConfirmation == VUUserConfirmationDontSend) {
        for (qsizetype i = 0; i < paths.size(); ++i)
            discardReportFile(paths[i], reports.value(i) ? reports[i]->incidentIdentifier() : std::nullopt);
        clearContextHistoryAndKeepCurrentSession();
        return;
    }
    if (userConfirmation == VUUserConfirmationAlways)
        VUUserDefaults::shared()->setObject(true, kUserConfirmationKey);

    const auto d = delegate();
    const auto unit = channelUnit();
    for (qsizetype i = 0; i < reports.size() && i < logs.size() && i < paths.size(); ++i) {
        const auto &report = reports[i];
        const auto &log = logs[i];
        std::optional<QList<std::shared_ptr<VUErrorAttachmentLog>>> attachments;
        if (d)
            attachments = d->attachmentsWithCrashes(this, report);
        if (!attachments)
            VULogDebug(kLogTag, "attachmentsWithCrashes is not implemented");
        if (log->timestamp) {
            log->sid = VUSessionContext::sharedInstance()->sessionIdAt(*log->timestamp);
            log->userId = VUUserIdContext::sharedInstance()->userIdAt(*log->timestamp);
        }
        if (!log->isValid() || !unit) {
            // The unit would drop it without a word; the report cannot become valid later.
            VULogWarning(kLogTag, "Crash log is not valid and will be discarded: %s",
                         qUtf8Printable(report->debugDescription()));
            discardReportFile(paths[i], report->incidentIdentifier());
            continue;
        }
        {
            std::lock_guard guard(mFilesLock);
            mFilesAwaitingStorage.insert(log.get(), {paths[i], report->incidentIdentifier(), false});
        }
        unit->enqueueItem(log, 2);
        if (attachments && report->incidentIdentifier())
            sendErrorAttachmentsOnInstance(*attachments, *report->incidentIdentifier());
    }
    clearContextHistoryAndKeepCurrentSession();
}

void VUCrashes::sendErrorAttachmentsOnInstance(const QList<std::shared_ptr<VUErrorAttachmentLog>> &attachments,
                                               const QString &incidentIdentifier)
{
    const auto unit = channelUnit();
    unsigned enqueued = 0;
    for (const auto &attachment : attachments) {
        if (!attachment)
            continue;
        attachment->errorId = incidentIdentifier;
        if (validatePropertiesForAttachment(*attachment) && unit) {
            unit->enqueueItem(attachment, 1);
            ++enqueued;
        } else {
            VULogError(kLogTag, "Not all required fields are present in VUErrorAttachmentLog.");
        }
    }
    if (enqueued > 2)
        VULogWarning(kLogTag, "A limit of %u attachments per error report might be enforced by server.", 2u);
}

QList<std::shared_ptr<VUErrorReport>> VUCrashes::unprocessedCrashReports()
{
    {
        // Bounded: processing may itself wait for the main thread, which may be this one.
        std::unique_lock lock(mSignalLock);
        const auto wait = std::chrono::milliseconds(VUCrashesTimings::current().unprocessedReportsWaitMs);
        if (!mSignalChanged.wait_for(lock, wait, [this] { return mProcessingSignals > 0; }))
            VULogWarning(kLogTag, "Crash processing has not finished yet; the reports known so far are returned.");
    }
    std::lock_guard guard(mFilesLock);
    return mUnprocessedReports;
}

bool VUCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const QStringList &filteredIds)
{
    {
        std::lock_guard guard(mFilesLock);
        for (qsizetype i = mUnprocessedReports.size() - 1; i >= 0; --i) {
            const auto id = mUnprocessedReports[i]->incidentIdentifier();
            if (id && filteredIds.contains(*id))
                continue;
            discardReportFile(mUnprocessedFilePaths.value(i), id);
            mUnprocessedReports.removeAt(i);
            if (i < mUnprocessedLogs.size())
                mUnprocessedLogs.removeAt(i);
            if (i < mUnprocessedFilePaths.size())
                mUnprocessedFilePaths.removeAt(i);
        }
    }
    return sendCrashReportsOrAwaitUserConfirmation();
}

void VUCrashes::clearUnprocessedReports()
{
    std::lock_guard guard(mFilesLock);
    mUnprocessedLogs.clear();
    mUnprocessedReports.clear();
    mUnprocessedFilePaths.clear();
}

void VUCrashes::deleteCrashReportWithFileURL(const QString &path)
{
    VUUtility::deleteFileAtURL(path);
}

void VUCrashes::deleteAllFromCrashesDirectory()
{
    VUUtility::deleteItemForPathComponent(mCrashesPathComponent);
    VUCrashesUtil::resetDirectory();
    // The folder comes back at once: the analyzer marker and new reports live in it.
    VUCrashesUtil::crashesDir();
    std::lock_guard guard(mFilesLock);
    mCrashFiles.clear();
}

void VUCrashes::discardReportFile(const QString &path, const std::optional<QString> &incidentIdentifier)
{
    if (incidentIdentifier)
        VUWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*incidentIdentifier);
    if (!path.isEmpty())
        deleteCrashReportWithFileURL(path);
    std::lock_guard guard(mFilesLock);
    mCrashFiles.removeAll(path);
}

void VUCrashes::channelDidCompleteEnqueueingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                                const QString &internalId)
{
    dropBufferedLog(log, internalId);
    std::optional<PendingFile> pending;
    {
        std::lock_guard guard(mFilesLock);
        if (auto it = mFilesAwaitingStorage.find(log.get()); it != mFilesAwaitingStorage.end()) {
            pending = *it;
            mFilesAwaitingStorage.erase(it);
        }
    }
    // Stored: the report file has done its work. Refused: it stays for the next launch.
    if (pending && !pending->failed)
        discardReportFile(pending->path, pending->incidentIdentifier);
}
