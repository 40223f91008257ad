#pragma once
// The crashes service. At start it installs crash capture (the engine's reporter, once per
// process) and takes up the report a crash of the previous run left: the raw report is kept
// in "crashes", and 1 s after enabling every stored report is converted into a crash log,
// offered to the delegate and the user, and enqueued on the unit "Crashes" with the session
// and user id of the crash time; its file is deleted once the log is stored (or the report
// is discarded). It also keeps a crash-safe copy of every log not yet stored
// (VUCrashes+LogBuffer.cpp), hands uncaught C++ exceptions to the engine, sends handled
// errors and attachments, and tells its delegate how sending crash logs went.
//
// Per launch: enabled -> (reports stored) processing scheduled -> processed: each report
// enqueued, discarded, kept for a later decision, or left for the next launch; the
// processing signal is raised exactly once, also when there is nothing to process.
//
// Thread-safe. Locks, each held only for its own state and never while the main thread is
// awaited or a delegate is called: the base's service lock (start and enabled state), then
// mFilesLock (stored files and the unprocessed arrays), mBufferLock (buffer slots),
// mSignalLock (processing signal).

#include "telemetry/core/VUChannelProtocols.h"
#include "telemetry/core/VUDispatchQueue.h"
#include "telemetry/core/VUEncrypter.h"
#include "telemetry/core/VUServiceAbstract.h"
#include "telemetry/crashes/VUAppleErrorLog.h"
#include "telemetry/crashes/VUCrashesDelegate.h"

#include "VUCrashReporter.h"

#include <QHash>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

class VUCrashes : public VUServiceAbstract, public VUChannelDelegate
{
public:
    static inline const QString kServiceName = QStringLiteral("Crashes");
    static inline const QString kLogTag = QStringLiteral("VovUdezirCrashes");
    static inline const QString kUserConfirmationKey = QStringLiteral("VUUserConfirmation");
    static inline const QString kBufferGroupId = QStringLiteral("CrashesBuffer");
    static inline const QString kAnalyzerFileName = QStringLiteral("VUCrashes.analyzer");

    static std::shared_ptr<VUCrashes> sharedInstance();
    // Drops the shared instance; returns once its running processing has ended.
    static void resetSharedInstance();
    VUCrashes();
    ~VUCrashes() override;

    // The design's class operations (each reaches the shared instance).
    static void generateTestCrash();
    static bool hasCrashedInLastSession();
    static void setUserConfirmationHandler(const std::shared_ptr<VUCrashesUserConfirmationHandler> &handler);
    static void notifyWithUserConfirmation(quint64 userConfirmation);
    static std::shared_ptr<VUErrorReport> lastSessionCrashReport();
    static void disableMachExceptionHandler();
    static void setDelegate(const std::weak_ptr<VUCrashesDelegate> &delegate);
    static void trackModelException(const std::shared_ptr<VUException> &exception,
                                    const std::optional<QMap<QString, QString>> &properties = std::nullopt);
    static void sendErrorAttachments(const QList<std::shared_ptr<VUErrorAttachmentLog>> &attachments,
                                     const QString &incidentIdentifier);
    static bool validatePropertiesForAttachment(const VUErrorAttachmentLog &attachment);

    // The service.
    QString serviceName() const override { return kServiceName; }
    QString logTag() const override { return kLogTag; }
    QString groupId() const override { return kServiceName; }
    qint64 initializationPriority() const override { return 999; }
    std::optional<VUChannelUnitConfiguration> channelUnitConfiguration() const override;
    void startWithChannelGroup(const std::shared_ptr<VUChannelGroupProtocol> &channelGroup,
                               const std::optional<QString> &appSecret,
                               const std::optional<QString> &transmissionTargetToken, bool fromApplication) override;
    void updateConfigurationWithAppSecret(const std::optional<QString> &appSecret,
                                          const std::optional<QString> &transmissionTargetToken) override;
    void applyEnabledState(bool isEnabled) override;

    // Channel delegate.
    void channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                              const QString &internalId, quint64 flags) override;
    void channelDidCompleteEnqueueingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                         const QString &internalId) override;
    void channelWillSendLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidSucceedSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidFailSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                  const std::optional<VUError> &error) override;

    // Instance state and operations.
    bool didCrashInLastSession() const { return mDidCrashInLastSession.load(); }
    std::shared_ptr<VUErrorReport> getLastSessionCrashReport() const;
    bool isMachExceptionHandlerEnabled() const { return mEnableMachExceptionHandler.load(); }
    void setEnableMachExceptionHandler(bool enable) { mEnableMachExceptionHandler = enable; }
    std::shared_ptr<VUCrashesDelegate> delegate() const;
    void setDelegateOnInstance(const std::weak_ptr<VUCrashesDelegate> &delegate);
    void setUserConfirmationHandlerOnInstance(const std::shared_ptr<VUCrashesUserConfirmationHandler> &handler);
    bool automaticProcessing() const { return mAutomaticProcessing.load(); }
    void setAutomaticProcessing(bool automaticProcessing) { mAutomaticProcessing = automaticProcessing; }
    QStringList crashFiles() const;
    std::shared_ptr<VUChannelUnitProtocol> bufferChannelUnit() const;
    VUCrashReporter *crashReporter() const { return mCrashReporter.get(); }

    void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler);
    void handleLatestCrashReport();
    QStringList persistedCrashReports() const;
    void clearContextHistoryAndKeepCurrentSession();
    void trackModelExceptionOnInstance(const std::shared_ptr<VUException> &exception,
                                       const std::optional<QMap<QString, QString>> &properties);

    // Processing of stored reports and the user's decision (VUCrashes+Processing.cpp).
    void startDelayedCrashProcessing();
    void startCrashProcessing();
    void processCrashReports();
    bool shouldProcessErrorReport(const std::shared_ptr<VUErrorReport> &report);
    bool sendCrashReportsOrAwaitUserConfirmation();
    bool shouldAlwaysSend() const;
    void notifyWithUserConfirmationOnInstance(quint64 userConfirmation);
    void sendErrorAttachmentsOnInstance(const QList<std::shared_ptr<VUErrorAttachmentLog>> &attachments,
                                        const QString &incidentIdentifier);
    // Waits (bounded) until the stored reports were processed once.
    QList<std::shared_ptr<VUErrorReport>> unprocessedCrashReports();
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const QStringList &filteredIds);
    void clearUnprocessedReports();
    void deleteCrashReportWithFileURL(const QString &path);
    void deleteAllFromCrashesDirectory();
    // Whether the processing signal was raised (for tests and waits).
    bool processingSignalled() const;

    // The crash-safe log buffer (VUCrashes+LogBuffer.cpp).
    void setupLogBuffer();
    void processLogBufferAfterCrash();
    void emptyLogBufferFiles();

private:
    void signalProcessingDone();
    void discardReportFile(const QString &path, const std::optional<QString> &incidentIdentifier);
    std::shared_ptr<VUErrorReport> errorReportForLog(const std::shared_ptr<VUAbstractLog> &log) const;
    // Frees the buffer slots of a log the core has stored.
    void dropBufferedLog(const std::shared_ptr<VUAbstractLog> &log, const QString &internalId);

    std::atomic<bool> mDidCrashInLastSession{false};
    std::atomic<bool> mEnableMachExceptionHandler{true};
    std::atomic<bool> mAutomaticProcessing{true};
    std::unique_ptr<VUCrashReporter> mCrashReporter;
    VUCrashUncaughtExceptionHandler mExceptionHandler = nullptr;
    VUEncrypter mTargetTokenEncrypter;
    QString mCrashesPathComponent;
    QString mLogBufferPathComponent;
    QString mAnalyzerInProgressFilePathComponent;
    std::shared_ptr<VUDispatchQueue> mProcessingQueue;

    mutable std::mutex mStateLock; // delegate, handler, last report, buffer unit
    std::weak_ptr<VUCrashesDelegate> mDelegate;
    std::shared_ptr<VUCrashesUserConfirmationHandler> mUserConfirmationHandler;
    std::shared_ptr<VUErrorReport> mLastSessionCrashReport;
    std::shared_ptr<VUChannelUnitProtocol> mBufferChannelUnit;

    mutable std::recursive_mutex mFilesLock;
    QStringList mCrashFiles;
    QList<std::shared_ptr<VUAppleErrorLog>> mUnprocessedLogs;
    QList<std::shared_ptr<VUErrorReport>> mUnprocessedReports;
    QStringList mUnprocessedFilePaths;
    // Crash logs handed to the unit, by identity, with the file to delete once stored.
    struct PendingFile
    {
        QString path;
        std::optional<QString> incidentIdentifier;
        bool failed = false;
    };
    QHash<const VUAbstractLog *, PendingFile> mFilesAwaitingStorage;

    std::mutex mHandledErrorLock;
    std::mutex mBufferLock;

    mutable std::mutex mSignalLock;
    std::condition_variable mSignalChanged;
    bool mShouldReleaseProcessingSemaphore = true;
    int mProcessingSignals = 0;
};
