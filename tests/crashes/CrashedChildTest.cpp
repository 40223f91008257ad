// Crashes of forked children as Quillon would have them: the child runs the crashes service
// and dies; this process then starts as the next launch and must send what the child left
// (its report as one crash log, its buffered logs once each).
#include "CrashesTestSupport.h"
#include "TelemetryTestSupport.h"
#include "TestWait.h"

#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VUEncrypter.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUVovUdezir.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// Capture is enabled once per process; a child forked after this process enabled it would
// inherit that capture instead of setting up its own.
bool captureEnabledHere()
{
    return VUCrashGetUncaughtExceptionHandler() != nullptr;
}

[[gnu::noinline]] void throwBoom()
{
    throw std::runtime_error("boom");
}

void nullWrite()
{
    *static_cast<volatile int *>(nullptr) = 1;
}

// Runs `body` in a forked child (which must not return) and waits for it to end.
int runChild(const std::function<void()> &body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(3);
    }
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return status;
}

// The child's launch: the component with the crashes service, sending nowhere.
void startInChild()
{
    VUVovUdezir::setLogUrl(QStringLiteral("http://127.0.0.1:9"));
    const auto crashes = VUCrashes::sharedInstance();
    VUVovUdezir::start(QStringLiteral("3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953"), {crashes});
    if (!crashes->crashReporter() || !crashes->crashReporter()->isEnabled())
        _exit(4);
}

bool addressNear(const QString &address, const void *function)
{
    bool ok = false;
    const quint64 value = address.mid(2).toULongLong(&ok, 16);
    const auto start = reinterpret_cast<quint64>(function);
    return ok && value >= start && value < start + 4096;
}

class CrashedChildTest : public CrashesServiceTest
{
protected:
    void SetUp() override
    {
        CrashesServiceTest::SetUp();
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
        // The child of a forked multi-threaded process runs without the sanitizer's own
        // threads, and the thread sanitizer cannot follow what it does there.
        GTEST_SKIP() << "a forked child of a multi-threaded process cannot run under sanitizers";
#endif
        if (captureEnabledHere())
            GTEST_SKIP() << "capture is enabled in this process already; ctest runs each case alone";
    }
    std::shared_ptr<VUCrashes> nextLaunch() { return startService(); }
};

struct CrashKind
{
    const char *name;
    std::function<void()> crash;
    int signal;
    const char *signalName;
    const char *exceptionType;
};

class ChildCrashTest : public CrashedChildTest, public ::testing::WithParamInterface<CrashKind>
{
};

} // namespace

TEST_P(ChildCrashTest, TheNextLaunchSendsOneCrashLog)
{
    const CrashKind kind = GetParam();
    const int status = runChild([&] {
        startInChild();
        VUSessionContext::sharedInstance()->setSessionId(QStringLiteral("child-session"));
        VUUserIdContext::sharedInstance()->setUserId(QStringLiteral("child-user"));
        // Nothing of the test around it may catch what escapes.
        [&]() noexcept { kind.crash(); }();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), kind.signal);
    ASSERT_TRUE(hasPendingReport());
    // Reports keep whole seconds and count the crash at the end of its second: a launch
    // within that same second would already be "after" it.
    const qint64 endedAt = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(waitUntil([&] { return QDateTime::currentSecsSinceEpoch() > endedAt; }));

    const auto crashes = nextLaunch();
    EXPECT_TRUE(crashes->didCrashInLastSession());
    ASSERT_TRUE(waitUntil([&] { return logsOfType("appleError").size() == 1; }, 15000));
    const QJsonObject log = logsOfType("appleError").first();
    EXPECT_EQ(log.value("fatal"), true);
    EXPECT_EQ(log.value("osExceptionType"), kind.signalName);
    EXPECT_EQ(log.value("sid"), "child-session");
    EXPECT_EQ(log.value("userId"), "child-user");
    EXPECT_EQ(log.value("primaryArchitectureId"), 16777223);
    EXPECT_EQ(log.value("processId").toInteger(), qint64(crashes->getLastSessionCrashReport()->appProcessIdentifier()));
    EXPECT_NE(log.value("processId").toInteger(), qint64(getpid()));
    if (kind.exceptionType) {
        EXPECT_EQ(log.value("exceptionType"), kind.exceptionType);
        EXPECT_EQ(log.value("exceptionReason"), "boom");
        QJsonArray frames;
        for (const auto &thread : log.value("threads").toArray())
            if (thread.toObject().contains("exception"))
                frames = thread.toObject().value("exception").toObject().value("frames").toArray();
        ASSERT_FALSE(frames.isEmpty());
        // The frames are those of the throw, not of the terminate handler.
        bool throwSite = false;
        for (const auto &frame : frames)
            throwSite = throwSite || addressNear(frame.toObject().value("address").toString(),
                                                 reinterpret_cast<const void *>(&throwBoom));
        EXPECT_TRUE(throwSite);
    } else {
        EXPECT_FALSE(log.contains("exceptionType"));
    }
    EXPECT_TRUE(waitUntil([&] { return storedReportNames().isEmpty(); }));

    // A further launch sends nothing.
    resetSingletons();
    const auto again = startService();
    EXPECT_TRUE(waitForProcessing(again));
    EXPECT_FALSE(again->didCrashInLastSession());
    EXPECT_TRUE(again->crashFiles().isEmpty());
    EXPECT_FALSE(hasPendingReport());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ChildCrashTest,
    ::testing::Values(CrashKind{"NullWrite", nullWrite, SIGSEGV, "SIGSEGV", nullptr},
                      CrashKind{"Abort", [] { abort(); }, SIGABRT, "SIGABRT", nullptr},
                      CrashKind{"UncaughtException", [] { throwBoom(); }, SIGABRT, "SIGABRT", "std::runtime_error"}),
    [](const ::testing::TestParamInfo<CrashKind> &info) { return std::string(info.param.name); });

namespace {

class RecordingChannelDelegate : public VUChannelDelegate
{
public:
    void channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log, const QString &,
                              quint64) override
    {
        const auto *unit = dynamic_cast<VUChannelUnitProtocol *>(channel);
        if (!unit || unit->configuration().groupId() != VUCrashes::kBufferGroupId)
            return;
        std::lock_guard guard(lock);
        const auto *event = dynamic_cast<const VULogWithProperties *>(log.get());
        const QString name = event && event->properties ? event->properties->value("n") : QString();
        const auto tokens = log->transmissionTargetTokens();
        resent.insert(name, tokens ? QStringList(tokens->cbegin(), tokens->cend()) : QStringList());
    }
    std::mutex lock;
    QMultiMap<QString, QStringList> resent;
};

std::shared_ptr<VULogWithProperties> eventNamed(const QString &name)
{
    auto log = makeLogWithProperties();
    log->properties = QMap<QString, QString>{{"n", name}};
    return log;
}

} // namespace

TEST_F(CrashedChildTest, LogsNotYetStoredAreSentAgainOnce)
{
    const int status = runChild([] {
        startInChild();
        // The telemetry queue never reaches these logs: they are handed over, not stored.
        VUVovUdezir::sharedInstance()->channelGroup()->logsDispatchQueue()->async([] {
            for (;;)
                pause();
        });
        const auto unit = VUVovUdezir::sharedInstance()->channelUnit();
        unit->enqueueItem(eventNamed("first"), 1);
        auto withToken = eventNamed("second");
        withToken->addTransmissionTargetToken(QStringLiteral("target-key-1-token"));
        unit->enqueueItem(withToken, 1);
        unit->enqueueItem(eventNamed("third"), 1);
        // Token files left beside every slot: none may travel with a token-less log.
        const QString stale = VUEncrypter().encryptString(QStringLiteral("stale-key-token")).value_or(QString());
        for (int i = 0; i < 60; ++i) {
            QFile token(dataPath(QStringLiteral("crasheslogbuffer/%1.targettoken").arg(i)));
            if (!token.open(QIODevice::WriteOnly) || token.write(stale.toUtf8()) <= 0)
                _exit(6);
        }
        nullWrite();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    const QDir buffer(dataPath("crasheslogbuffer"));
    int filled = 0;
    for (const QFileInfo &file : buffer.entryInfoList({"*.vucrasheslogbuffer"}, QDir::Files))
        filled += file.size() > 0 ? 1 : 0;
    // The three events (and any copy the token's route made of the second).
    EXPECT_GE(filled, 3);
    EXPECT_GE(buffer.entryList({"*.targettoken"}, QDir::Files).size(), 1);

    // The next launch, on a channel group this test watches.
    const auto recorder = std::make_shared<RecordingChannelDelegate>();
    const auto group = VUChannelGroupDefault::create(QUuid::createUuid().toString(QUuid::WithoutBraces), server.baseUrl());
    group->setAppSecret(kSecret);
    group->addDelegate(recorder);
    const auto crashes = VUCrashes::sharedInstance();
    crashes->startWithChannelGroup(group, kSecret, std::nullopt, true);
    const auto eventsSent = [&] {
        QStringList names;
        for (const QJsonObject &log : logsOfType("event"))
            names.append(log.value("properties").toObject().value("n").toString());
        names.sort();
        return names;
    };
    ASSERT_TRUE(waitUntil([&] { return eventsSent().size() == 3; }, 15000));
    EXPECT_EQ(eventsSent(), (QStringList{"first", "second", "third"}));
    {
        std::lock_guard guard(recorder->lock);
        for (const char *name : {"first", "second", "third"})
            EXPECT_EQ(recorder->resent.count(name), 1) << name;
        EXPECT_EQ(recorder->resent.value("second"), QStringList{"target-key-1-token"});
        EXPECT_TRUE(recorder->resent.value("first").isEmpty());
        EXPECT_TRUE(recorder->resent.value("third").isEmpty());
    }
    for (const QFileInfo &file : buffer.entryInfoList({"*.vucrasheslogbuffer"}, QDir::Files))
        EXPECT_EQ(file.size(), 0) << file.fileName().toStdString();
    EXPECT_TRUE(buffer.entryList({"*.targettoken"}, QDir::Files).isEmpty());

    // A further launch finds nothing to send again.
    VUCrashes::resetSharedInstance();
    const auto group2 = VUChannelGroupDefault::create(QUuid::createUuid().toString(QUuid::WithoutBraces), server.baseUrl());
    const auto recorder2 = std::make_shared<RecordingChannelDelegate>();
    group2->addDelegate(recorder2);
    VUCrashes::sharedInstance()->startWithChannelGroup(group2, kSecret, std::nullopt, true);
    std::lock_guard guard(recorder2->lock);
    EXPECT_TRUE(recorder2->resent.isEmpty());
}
