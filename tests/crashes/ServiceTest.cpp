// The crashes service at a launch after crashes: stored reports processed, offered to the
// delegate and the user, sent once with the ids of the crash time; what it does with
// damaged files, a crash while converting, and names already taken.
#include "CrashReportBuilder.h"
#include "CrashesTestSupport.h"
#include "TelemetryTestSupport.h"
#include "TestSteps.h"
#include "TestWait.h"

#include "platform/MainThread.h"
#include "telemetry/core/VUApplicationState.h"
#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUVovUdezir.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>

#include <sys/stat.h>

namespace {

QByteArray reportWithUuid(uint8_t first)
{
    return buildReport([first](CrashReportParts &p) { p.reportUuid[0] = first; });
}

class RecordingDelegate : public VUCrashesDelegate
{
public:
    bool shouldProcessErrorReport(VUCrashes *, const std::shared_ptr<VUErrorReport> &report) override
    {
        std::lock_guard guard(lock);
        asked.append(*report->incidentIdentifier());
        return !vetoed.contains(*report->incidentIdentifier());
    }
    std::optional<QList<std::shared_ptr<VUErrorAttachmentLog>>> attachmentsWithCrashes(
        VUCrashes *, const std::shared_ptr<VUErrorReport> &report) override
    {
        std::lock_guard guard(lock);
        attachmentsAskedFor.append(*report->incidentIdentifier());
        return attachments;
    }
    void didSucceedSendingErrorReport(VUCrashes *, const std::shared_ptr<VUErrorReport> &report) override
    {
        std::lock_guard guard(lock);
        sent.append(*report->incidentIdentifier());
    }
    void didFailSendingErrorReport(VUCrashes *, const std::shared_ptr<VUErrorReport> &report,
                                   const std::optional<VUError> &) override
    {
        std::lock_guard guard(lock);
        failed.append(*report->incidentIdentifier());
    }
    std::mutex lock;
    QStringList vetoed, asked, attachmentsAskedFor, sent, failed;
    std::optional<QList<std::shared_ptr<VUErrorAttachmentLog>>> attachments;
};

class ScriptedConfirmation : public VUCrashesUserConfirmationHandler
{
public:
    explicit ScriptedConfirmation(bool answer) : answer(answer) {}
    bool askUser(const QList<std::shared_ptr<VUErrorReport>> &reports) override
    {
        onMainThread = MainThread::isMainThread();
        asked += int(reports.size());
        return answer;
    }
    bool answer;
    std::atomic<int> asked{0};
    std::atomic<bool> onMainThread{false};
};

} // namespace

TEST_F(CrashesServiceTest, AStoredReportIsSentOnceWithTheIdsOfItsTime)
{
    // The previous runs' ids: the one in force at the crash, and an older one.
    const QDateTime crashTime = QDateTime::currentDateTimeUtc().addSecs(-100);
    VUUserDefaults::shared()->setObject(
        VUKeyedCoding::archiveList({std::make_shared<VUSessionHistoryInfo>(crashTime.addSecs(-500), "old-session"),
                                    std::make_shared<VUSessionHistoryInfo>(crashTime.addSecs(-50), "crash-session")}),
        "SessionIdHistory");
    VUUserDefaults::shared()->setObject(
        VUKeyedCoding::archiveList({std::make_shared<VUUserIdHistoryInfo>(crashTime.addSecs(-500), "old-user"),
                                    std::make_shared<VUUserIdHistoryInfo>(crashTime.addSecs(-50), "crash-user")}),
        "UserIdHistory");
    storeReport("700000000", buildReport([&](CrashReportParts &p) {
                    p.systemInfo.timestamp = uint64_t(crashTime.toSecsSinceEpoch());
                }));
    const auto crashes = startService();
    ASSERT_TRUE(waitUntil([&] { return logsOfType("appleError").size() == 1; }));
    const QJsonObject log = logsOfType("appleError").first();
    EXPECT_EQ(log.value("id"), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
    EXPECT_EQ(log.value("sid"), "crash-session");
    EXPECT_EQ(log.value("userId"), "crash-user");
    EXPECT_EQ(log.value("fatal"), true);
    EXPECT_EQ(log.value("osExceptionType"), "SIGSEGV");
    // Its file goes once the log is stored.
    EXPECT_TRUE(waitUntil([&] { return storedReportNames().isEmpty() && crashes->crashFiles().isEmpty(); }));
    // The log can be stored and sent before the processing thread says it is done.
    EXPECT_TRUE(waitForProcessing(crashes));

    // The next launch has nothing left to send.
    resetSingletons();
    server.clearRequests();
    const auto again = startService();
    EXPECT_TRUE(waitForProcessing(again));
    EXPECT_TRUE(again->crashFiles().isEmpty());
    EXPECT_FALSE(again->didCrashInLastSession());
}

TEST_F(CrashesServiceTest, AReportTheStoreRefusesKeepsItsFileForTheNextLaunch)
{
    {
        // The log database refuses crash logs this launch.
        VULogDBStorage store;
        ASSERT_EQ(store.executeNonSelectionQuery(
                      "CREATE TRIGGER refuse_crashes BEFORE INSERT ON logs WHEN NEW.groupId = 'Crashes' "
                      "BEGIN SELECT RAISE(ABORT, 'refused'); END"),
                  0);
    }
    storeReport("700000050", buildReport());
    const auto delegate = std::make_shared<RecordingDelegate>();
    VUCrashes::setDelegate(delegate);
    const auto crashes = startService();
    const QString id = "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF";
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard guard(delegate->lock);
        return delegate->failed == QStringList{id};
    }));
    EXPECT_EQ(storedReportNames(), QStringList{"700000050"});

    // Once the store takes it, it is sent and its file goes.
    resetSingletons();
    VULogDBStorage().executeNonSelectionQuery("DROP TRIGGER refuse_crashes");
    startService();
    ASSERT_TRUE(waitUntil([&] { return logsOfType("appleError").size() == 1; }));
    EXPECT_EQ(logsOfType("appleError").first().value("id"), id);
    EXPECT_TRUE(waitUntil([&] { return storedReportNames().isEmpty(); }));
}

TEST_F(CrashesServiceTest, AReportWithoutUuidIsAskedAboutAndSentUnderOneId)
{
    storeReport("700000060", buildReport([](CrashReportParts &p) { p.reportInfo.has_uuid = false; }));
    const auto delegate = std::make_shared<RecordingDelegate>();
    VUCrashes::setDelegate(delegate);
    startService();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard guard(delegate->lock);
        return delegate->sent.size() == 1;
    }));
    std::lock_guard guard(delegate->lock);
    ASSERT_EQ(delegate->asked.size(), 1);
    EXPECT_EQ(delegate->sent, delegate->asked);
    ASSERT_EQ(logsOfType("appleError").size(), 1);
    EXPECT_EQ(logsOfType("appleError").first().value("id").toString(), delegate->asked.first());
}

TEST_F(CrashesServiceTest, TheUserDecides)
{
    struct Case
    {
        const char *name;
        bool alwaysFlag;
        std::optional<bool> handlerAnswer; // none: no handler
        std::optional<quint64> userAnswer; // given after the handler said it asks
        bool automatic;
        bool sent;
        bool handlerAsked;
        bool flagAfter;
    };
    const Case cases[] = {
        {"always send skips the handler", true, true, std::nullopt, true, true, false, true},
        {"handler asks, user says don't send", false, true, VUUserConfirmationDontSend, true, false, true, false},
        {"handler asks, user says send", false, true, VUUserConfirmationSend, true, true, true, false},
        {"handler asks, user says always", false, true, VUUserConfirmationAlways, true, true, true, true},
        {"handler declines to ask", false, false, std::nullopt, true, true, true, false},
        {"no handler", false, std::nullopt, std::nullopt, true, true, false, false},
        {"automatic processing off", false, true, std::nullopt, false, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Each case is a machine of its own: no log store, defaults or reports carried over.
        resetSingletons();
        home.reset();
        home = std::make_unique<TestHome>();
        server.clearRequests();
        if (c.alwaysFlag)
            VUUserDefaults::shared()->setObject(true, VUCrashes::kUserConfirmationKey);
        storeReport("700000001", buildReport());

        const auto crashes = VUCrashes::sharedInstance();
        const auto handler = c.handlerAnswer ? std::make_shared<ScriptedConfirmation>(*c.handlerAnswer) : nullptr;
        crashes->setUserConfirmationHandlerOnInstance(handler);
        crashes->setAutomaticProcessing(c.automatic);
        startService();
        ASSERT_TRUE(waitForProcessing(crashes));
        if (handler) {
            EXPECT_EQ(handler->asked.load() > 0, c.handlerAsked);
            if (c.handlerAsked)
                EXPECT_TRUE(handler->onMainThread.load());
        }
        if (!c.automatic)
            EXPECT_EQ(crashes->unprocessedCrashReports().size(), 1);
        if (c.userAnswer)
            VUCrashes::notifyWithUserConfirmation(*c.userAnswer);
        if (c.sent) {
            EXPECT_TRUE(waitUntil([&] { return logsOfType("appleError").size() == 1; }));
            EXPECT_TRUE(waitUntil([&] { return storedReportNames().isEmpty(); }));
        } else {
            // Waiting, or told not to send: nothing was enqueued.
            EXPECT_FALSE(waitUntil([&] { return !logsOfType("appleError").isEmpty(); }, 300));
            EXPECT_EQ(storedReportNames().isEmpty(), c.userAnswer.has_value());
        }
        EXPECT_EQ(crashes->shouldAlwaysSend(), c.flagAfter);
    }
}

TEST_F(CrashesServiceTest, TheDelegateVetoesAndAttaches)
{
    const auto delegate = std::make_shared<RecordingDelegate>();
    const QByteArray vetoed = reportWithUuid(0x11);
    const QByteArray kept = reportWithUuid(0x22);
    storeReport("700000010", vetoed);
    storeReport("700000011", kept);
    delegate->vetoed = {"11A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF"};
    auto attachment = [](const char *text) {
        return VUErrorAttachmentLog::attachmentWithText(QString::fromLatin1(text), QStringLiteral("a.txt"));
    };
    delegate->attachments = QList<std::shared_ptr<VUErrorAttachmentLog>>{
        attachment("one"), attachment("two"), attachment("three"),
        VUErrorAttachmentLog::attachmentWithBinary(QByteArray("x"), QStringLiteral("b.bin"), QStringLiteral(""))};
    RecordingLogHandler log(VULogLevelVerbose);
    VUCrashes::setDelegate(delegate);
    const auto crashes = startService();
    ASSERT_TRUE(waitUntil([&] { return logsOfType("errorAttachment").size() == 3; }));
    ASSERT_EQ(logsOfType("appleError").size(), 1);
    const QString keptId = "22A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF";
    EXPECT_EQ(logsOfType("appleError").first().value("id"), keptId);
    for (const QJsonObject &a : logsOfType("errorAttachment"))
        EXPECT_EQ(a.value("errorId"), keptId);
    {
        std::lock_guard guard(delegate->lock);
        EXPECT_EQ(delegate->asked.size(), 2);
        // The vetoed report is never asked for attachments.
        EXPECT_EQ(delegate->attachmentsAskedFor, QStringList{keptId});
    }
    EXPECT_TRUE(log.contains("A limit of 2 attachments per error report might be enforced by server."));
    EXPECT_TRUE(log.contains("Not all required fields are present in VUErrorAttachmentLog."));
    EXPECT_TRUE(waitUntil([&] { return storedReportNames().isEmpty(); }));
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard guard(delegate->lock);
        return delegate->sent == QStringList{keptId};
    }));
}

namespace {

// Holds the processing inside its first question until the test resets the service, then
// notes whether that reset returned while the processing was still running.
class HoldingDelegate : public VUCrashesDelegate
{
public:
    bool shouldProcessErrorReport(VUCrashes *, const std::shared_ptr<VUErrorReport> &) override
    {
        steps.mark("entered");
        steps.waitFor("resetting");
        // Long enough for a reset that does not wait to come back; one that waits never does.
        if (steps.waitFor("reset returned", 500))
            steps.mark("reset returned meanwhile");
        steps.mark("left");
        return false;
    }
    TestSteps steps;
};

} // namespace

// At quit the program resets the service and then destroys its static objects: processing
// that is still running must have ended by then, or it uses what is being destroyed.
TEST_F(CrashesServiceTest, AResetWaitsForTheProcessingThatIsRunning)
{
    storeReport("700000020", reportWithUuid(0x33));
    const auto delegate = std::make_shared<HoldingDelegate>();
    VUCrashes::setDelegate(delegate);
    startService();
    ASSERT_TRUE(waitUntil([&] { return delegate->steps.reached("entered"); }));
    delegate->steps.mark("resetting");
    VUCrashes::resetSharedInstance();
    delegate->steps.mark("reset returned");
    EXPECT_TRUE(delegate->steps.reached("left"));
    EXPECT_FALSE(delegate->steps.reached("reset returned meanwhile"));
}

TEST_F(CrashesServiceTest, AReportIsTakenUpIntoTheCrashesFolder)
{
    plantPendingReport(buildReport());
    // Two crashes within one second must not share a file: every name of the next seconds
    // is taken already.
    const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    const qint64 now = reference.secsTo(QDateTime::currentDateTimeUtc());
    QStringList taken;
    for (qint64 s = now - 1; s <= now + 3; ++s) {
        storeReport(QString::number(s), "earlier");
        taken.append(QString::number(s));
    }
    const auto crashes = VUCrashes::sharedInstance();
    crashes->setAutomaticProcessing(false);
    startService();
    EXPECT_TRUE(crashes->didCrashInLastSession());
    EXPECT_FALSE(hasPendingReport());
    ASSERT_TRUE(crashes->getLastSessionCrashReport());
    EXPECT_EQ(crashes->getLastSessionCrashReport()->incidentIdentifier(), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
    QStringList names = storedReportNames();
    for (const QString &name : taken)
        names.removeAll(name);
    ASSERT_EQ(names.size(), 1);
    QFile stored(dataPath("crashes/" + names.first()));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), buildReport());
    EXPECT_FALSE(QFile::exists(dataPath("crashes/VUCrashes.analyzer")));
}

TEST_F(CrashesServiceTest, ACrashWhileConvertingPurgesTheReport)
{
    plantPendingReport(buildReport());
    storeReport(VUCrashes::kAnalyzerFileName, "");
    RecordingLogHandler log(VULogLevelError);
    const auto crashes = startService();
    EXPECT_TRUE(log.contains("Error on loading the crash report, it will be purged."));
    EXPECT_FALSE(hasPendingReport());
    EXPECT_TRUE(storedReportNames().isEmpty());
    EXPECT_FALSE(crashes->getLastSessionCrashReport());
}

TEST_F(CrashesServiceTest, DamagedFilesAreDiscarded)
{
    const QByteArray good = buildReport();
    const QByteArray truncated = good.left(good.size() / 2);
    storeReport("700000020", "vucrash\x01garbage");
    storeReport("700000021", truncated);
    storeReport("700000022", good);
    // An invalid crash log (no Mach type, 32-bit architecture) is discarded with a warning.
    storeReport("700000023", buildReport([](CrashReportParts &p) {
                    p.reportUuid[0] = 0x33;
                    p.systemInfo.architecture = VUCRASH__ARCHITECTURE__ARMV7;
                    p.images[0].code_type = nullptr;
                }));
    // A pipe among the reports is skipped, not read.
    ASSERT_EQ(mkfifo(QFile::encodeName(dataPath("crashes/700000024")).constData(), 0600), 0);
    // Pending report undecodable: purged.
    plantPendingReport("not a report");
    // A wrapper exception that is no archive.
    QDir().mkpath(dataPath("crasheswrapperexceptions"));
    QFile wrapper(dataPath("crasheswrapperexceptions/last_saved_wrapper_exception"));
    ASSERT_TRUE(wrapper.open(QIODevice::WriteOnly));
    wrapper.write("bplist00garbage");
    wrapper.close();

    RecordingLogHandler log(VULogLevelWarning);
    const auto crashes = startService();
    ASSERT_TRUE(waitForProcessing(crashes));
    ASSERT_TRUE(waitUntil([&] { return logsOfType("appleError").size() == 1; }));
    EXPECT_TRUE(log.contains("Couldn't parse crash report"));
    EXPECT_EQ(log.lines().filter("Crash report found but couldn't parse it, discard the crash report").size(), 2);
    EXPECT_EQ(log.lines().filter("Could not read exception data stored on disk").size(), 1);
    EXPECT_TRUE(log.contains("Crash log is not valid and will be discarded"));
    EXPECT_FALSE(hasPendingReport());
    EXPECT_FALSE(QFile::exists(wrapper.fileName()));
    // Only the pipe is left: no undecodable file stays to be tried at every launch.
    EXPECT_TRUE(waitUntil([&] { return storedReportNames() == QStringList{"700000024"}; }));
}

TEST_F(CrashesServiceTest, InTheBackgroundNothingIsProcessed)
{
    storeReport("700000030", buildReport());
    VUApplicationStateProvider::setApplicationStateProvider([] { return qint64(VUApplicationStateBackground); });
    const auto crashes = startService();
    EXPECT_TRUE(waitForProcessing(crashes));
    VUApplicationStateProvider::setApplicationStateProvider({});
    EXPECT_EQ(storedReportNames(), QStringList{"700000030"});
    // Bounded even when nothing processes: the wrapper-facing wait returns.
    EXPECT_TRUE(crashes->unprocessedCrashReports().isEmpty());
}

TEST_F(CrashesServiceTest, SwitchingTheServiceOffAndOn)
{
    storeReport("700000040", buildReport());
    const auto crashes = VUCrashes::sharedInstance();
    crashes->setAutomaticProcessing(false);
    startService();
    ASSERT_TRUE(waitForProcessing(crashes));
    crashes->setServiceEnabled(false);
    EXPECT_TRUE(storedReportNames().isEmpty());
    EXPECT_TRUE(crashes->unprocessedCrashReports().isEmpty());

    // A crash of the time it was off is dropped when it is switched on again.
    plantPendingReport(buildReport());
    RecordingLogHandler log(VULogLevelDebug);
    crashes->setServiceEnabled(true);
    EXPECT_FALSE(hasPendingReport());
    EXPECT_TRUE(storedReportNames().isEmpty());
    // Capture is configured once per service, however often it is switched.
    EXPECT_TRUE(log.contains("Already configured VUCrashReporter."));

    // So is the unit that re-sends buffered logs, however often the configuration changes.
    crashes->updateConfigurationWithAppSecret(kSecret, std::nullopt);
    crashes->updateConfigurationWithAppSecret(kSecret, std::nullopt);
    int bufferUnits = 0;
    for (const auto &unit : VUVovUdezir::sharedInstance()->channelGroup()->channels())
        bufferUnits += unit->configuration().groupId() == VUCrashes::kBufferGroupId ? 1 : 0;
    EXPECT_EQ(bufferUnits, 1);
}

TEST_F(CrashesServiceTest, HandledErrorsCarryAtMostTwentyProperties)
{
    const auto crashes = startService();
    auto exception = std::make_shared<VUException>();
    exception->type = "Handled";
    QMap<QString, QString> properties;
    for (int i = 0; i < 25; ++i)
        properties.insert(QStringLiteral("key%1").arg(i, 2, 10, QChar('0')), QStringLiteral("v"));
    VUCrashes::trackModelException(exception, properties);
    ASSERT_TRUE(waitUntil([&] { return logsOfType("handledError").size() == 1; }));
    const QJsonObject log = logsOfType("handledError").first();
    EXPECT_EQ(log.value("properties").toObject().size(), 20);
    EXPECT_EQ(log.value("exception").toObject().value("type"), "Handled");
}
