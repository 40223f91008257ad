#include "telemetry/crashes/VUCrashes.h"

#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/core/VUVovUdezir.h"
#include "telemetry/crashes/VUCrashesCoding.h"
#include "telemetry/crashes/VUCrashesLogBuffer.h"
#include "telemetry/crashes/VUCrashesCXXExceptionHandler.h"
#include "telemetry/crashes/VUCrashesUtil.h"
#include "telemetry/crashes/VUErrorLogFormatter.h"
#include "telemetry/crashes/VUHandledErrorLog.h"
#include "telemetry/crashes/VUWrapperCrashesHelper.h"
#include "telemetry/crashes/VUWrapperExceptionManager.h"

#include "platform/MainThread.h"

#include <QDateTime>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

std::mutex gSharedLock;
std::shared_ptr<VUCrashes> gShared;

const char *const kIgnoredSuffixes[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};

// Seconds since 1 January 2001, rounded: the name of a stored report.
QString reportFileBaseName()
{
    const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    const double seconds = double(reference.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
    return QString::asprintf("%.0f", seconds);
}

} // namespace

std::shared_ptr<VUCrashes> VUCrashes::sharedInstance()
{
    std::lock_guard guard(gSharedLock);
    if (!gShared) {
        VUCrashesCoding::registerClasses();
        gShared = std::make_shared<VUCrashes>();
    }
    return gShared;
}

void VUCrashes::resetSharedInstance()
{
    std::shared_ptr<VUCrashes> old;
    {
        std::lock_guard guard(gSharedLock);
        old.swap(gShared);
    }
    if (!old)
        return;
    // Processing that is running holds the service itself and would go on using what the
    // caller tears down next (at quit, the program's static objects): it ends first. It may be
    // waiting for the main thread (the user-confirmation handler), so a wait on the main
    // thread keeps serving it.
    old->mProcessingQueue->stop(MainThread::serveWhileWaiting);
}

VUCrashes::VUCrashes()
    : mCrashesPathComponent(VUCrashesUtil::crashesDir()), mLogBufferPathComponent(VUCrashesUtil::logBufferDir()),
      mAnalyzerInProgressFilePathComponent(QStringLiteral("%1/%2").arg(VUCrashesUtil::crashesDir(), kAnalyzerFileName)),
      mProcessingQueue(std::make_shared<VUDispatchQueue>(QStringLiteral("VUCrashes.processing")))
{
    setupLogBuffer();
}

VUCrashes::~VUCrashes()
{
    mProcessingQueue->stop();
}

std::optional<VUChannelUnitConfiguration> VUCrashes::channelUnitConfiguration() const
{
    return VUChannelUnitConfiguration(groupId(), 2, 1.0f, 1, 3);
}

// Class operations.

void VUCrashes::generateTestCrash()
{
    const auto crashes = sharedInstance();
    std::lock_guard guard(crashes->mHandledErrorLock);
    if (!crashes->canBeUsed())
        return;
    if (VUUtility::currentAppEnvironment() == 0) {
        VULogWarning(kLogTag, "GenerateTestCrash was just called in an App Store environment. The call will be ignored");
        return;
    }
    if (VUVovUdezir::isDebuggerAttached())
        VULogWarning(kLogTag, "The debugger is attached. The following crash cannot be detected by the SDK!");
    __builtin_trap();
}

bool VUCrashes::hasCrashedInLastSession()
{
    return sharedInstance()->didCrashInLastSession();
}

void VUCrashes::setUserConfirmationHandler(const std::shared_ptr<VUCrashesUserConfirmationHandler> &handler)
{
    sharedInstance()->setUserConfirmationHandlerOnInstance(handler);
}

void VUCrashes::notifyWithUserConfirmation(quint64 userConfirmation)
{
    sharedInstance()->notifyWithUserConfirmationOnInstance(userConfirmation);
}

std::shared_ptr<VUErrorReport> VUCrashes::lastSessionCrashReport()
{
    return sharedInstance()->getLastSessionCrashReport();
}

void VUCrashes::disableMachExceptionHandler()
{
    sharedInstance()->setEnableMachExceptionHandler(false);
}

void VUCrashes::setDelegate(const std::weak_ptr<VUCrashesDelegate> &delegate)
{
    sharedInstance()->setDelegateOnInstance(delegate);
}

void VUCrashes::trackModelException(const std::shared_ptr<VUException> &exception,
                                    const std::optional<QMap<QString, QString>> &properties)
{
    sharedInstance()->trackModelExceptionOnInstance(exception, properties);
}

void VUCrashes::sendErrorAttachments(const QList<std::shared_ptr<VUErrorAttachmentLog>> &attachments,
                                     const QString &incidentIdentifier)
{
    sharedInstance()->sendErrorAttachmentsOnInstance(attachments, incidentIdentifier);
}

bool VUCrashes::validatePropertiesForAttachment(const VUErrorAttachmentLog &attachment)
{
    return attachment.errorId && !attachment.errorId->isEmpty() && attachment.attachmentId &&
           !attachment.attachmentId->isEmpty() && attachment.data && !attachment.data->isEmpty() &&
           attachment.contentType && !attachment.contentType->isEmpty();
}

// State.

std::shared_ptr<VUErrorReport> VUCrashes::getLastSessionCrashReport() const
{
    std::lock_guard guard(mStateLock);
    return mLastSessionCrashReport;
}

std::shared_ptr<VUCrashesDelegate> VUCrashes::delegate() const
{
    std::lock_guard guard(mStateLock);
    return mDelegate.lock();
}

void VUCrashes::setDelegateOnInstance(const std::weak_ptr<VUCrashesDelegate> &delegate)
{
    std::lock_guard guard(mStateLock);
    mDelegate = delegate;
}

void VUCrashes::setUserConfirmationHandlerOnInstance(const std::shared_ptr<VUCrashesUserConfirmationHandler> &handler)
{
    std::lock_guard guard(mStateLock);
    mUserConfirmationHandler = handler;
}

QStringList VUCrashes::crashFiles() const
{
    std::lock_guard guard(mFilesLock);
    return mCrashFiles;
}

std::shared_ptr<VUChannelUnitProtocol> VUCrashes::bufferChannelUnit() const
{
    std::lock_guard guard(mStateLock);
    return mBufferChannelUnit;
}

// Start and switching.

void VUCrashes::startWithChannelGroup(const std::shared_ptr<VUChannelGroupProtocol> &channelGroup,
                                      const std::optional<QString> &appSecret,
                                      const std::optional<QString> &transmissionTargetToken, bool fromApplication)
{
    VUServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
    if (channelGroup)
        channelGroup->addDelegate(std::dynamic_pointer_cast<VUCrashes>(shared_from_this()));
    processLogBufferAfterCrash();
    VULogVerbose(kLogTag, "Started crash service.");
}

void VUCrashes::updateConfigurationWithAppSecret(const std::optional<QString> &appSecret,
                                                 const std::optional<QString> &transmissionTargetToken)
{
    processLogBufferAfterCrash();
    VUServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
}

void VUCrashes::applyEnabledState(bool enabled)
{
    VUServiceAbstract::applyEnabledState(enabled);
    if (enabled) {
        const auto setupDelegate = VUWrapperCrashesHelper::getCrashHandlerSetupDelegate();
        bool enableUncaughtExceptionHandler = true;
        if (setupDelegate) {
            enableUncaughtExceptionHandler = setupDelegate->shouldEnableUncaughtExceptionHandler().value_or(true);
            setupDelegate->willSetUpCrashHandlers();
        }
        configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaughtExceptionHandler);
        if (setupDelegate)
            setupDelegate->didSetUpCrashHandlers();

        // Switched on at run time: a crash of the time it was off is not sent.
        if (!isEnabled() && mCrashReporter)
            mCrashReporter->purgePendingCrashReport(nullptr);
        if (mCrashReporter && mCrashReporter->hasPendingCrashReport()) {
            mDidCrashInLastSession = true;
            handleLatestCrashReport();
        }
        bool haveFiles = false;
        {
            std::lock_guard guard(mFilesLock);
            mCrashFiles = persistedCrashReports();
            haveFiles = !mCrashFiles.isEmpty();
        }
        if (haveFiles) {
            startDelayedCrashProcessing();
        } else {
            signalProcessingDone();
            clearContextHistoryAndKeepCurrentSession();
        }
        if (VUVovUdezir::isDebuggerAttached())
            VULogInfo(kLogTag, "Crashes service has been enabled but the service cannot detect crashes due to running "
                               "the application with a debugger attached.");
        else
            VULogInfo(kLogTag, "Crashes service has been enabled.");
    } else {
        VULogDebug(kLogTag, "Cleaning up all crash files.");
        VUWrapperExceptionManager::deleteAllWrapperExceptions();
        deleteAllFromCrashesDirectory();
        emptyLogBufferFiles();
        VUUtility::deleteItemForPathComponent(mAnalyzerInProgressFilePathComponent);
        if (mCrashReporter)
            mCrashReporter->purgePendingCrashReport(nullptr);
        clearUnprocessedReports();
        clearContextHistoryAndKeepCurrentSession();
        VULogInfo(kLogTag, "Crashes service has been disabled.");
    }
}

void VUCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler)
{
    if (mCrashReporter) {
        VULogDebug(kLogTag, "Already configured VUCrashReporter.");
        return;
    }
    if (enableUncaughtExceptionHandler)
        VULogDebug(kLogTag, "EnableUncaughtExceptionHandler is set to YES");
    else
        VULogDebug(kLogTag, "EnableUncaughtExceptionHandler is set to NO, we're running in a Xamarin runtime.");
    // This system has no Mach exceptions: crashes arrive as signals whatever the setting.
    const VUCrashReporterConfig config(VUCrashReporterConfig::VUCrashReporterSignalHandlerTypeBSD, 0,
                                       enableUncaughtExceptionHandler);
    mCrashReporter = std::make_unique<VUCrashReporter>(qUtf8Printable(VUUtility::mainBundleIdentifier()),
                                                       qUtf8Printable(VUUtility::appBuild()),
                                                       qUtf8Printable(VUUtility::appVersion()), config);
    if (VUVovUdezir::isDebuggerAttached()) {
        VULogWarning(kLogTag, "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const VUCrashUncaughtExceptionHandler before = VUCrashGetUncaughtExceptionHandler();
    mCrashReporter->setCrashCallbacks(&vuCrashCallbacks);
    VUCrashReporterError error = {};
    if (!mCrashReporter->enableCrashReporter(&error))
        VULogError(kLogTag, "Could not enable crash reporter: %s", error.description);
    const VUCrashUncaughtExceptionHandler after = VUCrashGetUncaughtExceptionHandler();
    if (after && after != before) {
        mExceptionHandler = after;
        VULogDebug(kLogTag, "Exception handler successfully initialized.");
    } else if (!enableUncaughtExceptionHandler && after) {
        mExceptionHandler = after;
        VULogDebug(kLogTag,
                   "Exception handler successfully initialized but it has not been registered due to the wrapper SDK.");
    } else if (after && after == before) {
        // Capture was enabled earlier in this process (an earlier instance): its handler is ours.
        mExceptionHandler = after;
    } else {
        VULogError(kLogTag,
                   "Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    VUCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(uncaught_cxx_exception_handler);
}

void VUCrashes::handleLatestCrashReport()
{
    bool purge = true;
    if (VUUtility::fileExistsForPathComponent(mAnalyzerInProgressFilePathComponent)) {
        VULogError(kLogTag, "Error on loading the crash report, it will be purged.");
    } else {
        if (!VUUtility::createFileAtPathComponent(mAnalyzerInProgressFilePathComponent, QByteArray(), false, false))
            VULogError(kLogTag, "Couldn't create crash analyzer file.");
        VUCrashReportData data = {};
        VUCrashReporterError loadError = {};
        if (!mCrashReporter->loadPendingCrashReportData(&data, &loadError)) {
            VULogError(kLogTag, "Couldn't load crash report: %s", loadError.description);
        } else {
            const QByteArray bytes(reinterpret_cast<const char *>(data.bytes), qsizetype(data.length));
            std::free(data.bytes);
            VUCrashReportError decodeError;
            const auto report = VUCrashReport::initWithData(bytes, &decodeError);
            if (!report) {
                VULogWarning(kLogTag, "Couldn't parse crash report: %s", qUtf8Printable(decodeError.message));
            } else {
                // A name already taken (two crashes within one second) gets a suffix rather
                // than losing this report; it is purged only once it is stored here.
                const QString base = reportFileBaseName();
                QString name = base;
                for (int n = 1; VUUtility::fileExistsForPathComponent(mCrashesPathComponent + '/' + name); ++n)
                    name = QStringLiteral("%1-%2").arg(base).arg(n);
                const auto stored =
                    VUUtility::createFileAtPathComponent(mCrashesPathComponent + '/' + name, bytes, true, false);
                purge = stored.has_value();
                const auto errorLog = VUErrorLogFormatter::errorLogFromCrashReport(*report);
                const auto errorReport = VUErrorLogFormatter::errorReportFromLog(*errorLog);
                {
                    std::lock_guard guard(mStateLock);
                    mLastSessionCrashReport = errorReport;
                }
                VUWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({errorReport});
            }
        }
    }
    VUUtility::deleteItemForPathComponent(mAnalyzerInProgressFilePathComponent);
    if (purge)
        mCrashReporter->purgePendingCrashReport(nullptr);
}

QStringList VUCrashes::persistedCrashReports() const
{
    QStringList reports;
    const auto entries = VUUtility::contentsOfDirectory(mCrashesPathComponent);
    if (!entries) {
        VULogError(kLogTag, "No persisted crashes found.");
        return reports;
    }
    for (const QString &path : *entries) {
        const QFileInfo info(path);
        if (info.isSymLink() || !info.isFile() || info.size() <= 0)
            continue;
        if (std::any_of(std::begin(kIgnoredSuffixes), std::end(kIgnoredSuffixes),
                        [&](const char *suffix) { return path.endsWith(QLatin1String(suffix)); }))
            continue;
        reports.append(path);
    }
    return reports;
}

void VUCrashes::clearContextHistoryAndKeepCurrentSession()
{
    VUDeviceTracker::sharedInstance()->clearDevices();
    VUSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
    VUUserIdContext::sharedInstance()->clearUserIdHistory();
}

void VUCrashes::trackModelExceptionOnInstance(const std::shared_ptr<VUException> &exception,
                                              const std::optional<QMap<QString, QString>> &properties)
{
    std::lock_guard guard(mHandledErrorLock);
    if (!canBeUsed() || !isEnabled())
        return;
    auto log = std::make_shared<VUHandledErrorLog>();
    log->userId = VUUserIdContext::sharedInstance()->userId();
    log->errorId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    log->exception = exception;
    if (properties && !properties->isEmpty()) {
        VUPropertyList list;
        for (auto it = properties->cbegin(); it != properties->cend(); ++it)
            list.append({it.key(), it.value()});
        QMap<QString, QString> valid;
        for (const auto &[key, value] :
             VUUtility::validateProperties(list, QStringLiteral("ErrorLog: %1").arg(*log->errorId), *log->type()))
            valid.insert(key, value);
        log->properties = valid;
    }
    if (const auto unit = channelUnit())
        unit->enqueueItem(log, 1);
}

// Sending events of crash logs, for the delegate.

std::shared_ptr<VUErrorReport> VUCrashes::errorReportForLog(const std::shared_ptr<VUAbstractLog> &log) const
{
    const auto *crashLog = dynamic_cast<const VUAppleErrorLog *>(log.get());
    return crashLog ? VUErrorLogFormatter::errorReportFromLog(*crashLog) : nullptr;
}

void VUCrashes::channelWillSendLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    const auto d = delegate();
    if (const auto report = d ? errorReportForLog(log) : nullptr)
        d->willSendErrorReport(this, report);
}

void VUCrashes::channelDidSucceedSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    const auto d = delegate();
    if (const auto report = d ? errorReportForLog(log) : nullptr)
        d->didSucceedSendingErrorReport(this, report);
}

void VUCrashes::channelDidFailSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log,
                                         const std::optional<VUError> &error)
{
    {
        // A crash log refused before it was stored keeps its file for the next launch.
        std::lock_guard guard(mFilesLock);
        if (auto it = mFilesAwaitingStorage.find(log.get()); it != mFilesAwaitingStorage.end())
            it->failed = true;
    }
    const auto d = delegate();
    if (const auto report = d ? errorReportForLog(log) : nullptr)
        d->didFailSendingErrorReport(this, report, error);
}
