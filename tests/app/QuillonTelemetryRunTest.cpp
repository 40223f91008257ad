// Quillon started offscreen in a throw-away home against a loopback ingestion server: the
// telemetry component starts at launch, and logs it keeps survive a run whose server is down.
#include "LoopbackHttpServer.h"
#include "QuillonRun.h"
#include "TestHome.h"
#include "TestWait.h"

#include "platform/UserDefaults.h"
#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUNetlinkRouteMonitor.h"
#include "telemetry/core/VUStartServiceLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <functional>

#include <gtest/gtest.h>

namespace {

std::shared_ptr<VUStartServiceLog> queuedLog(const QString &name)
{
    auto log = std::make_shared<VUStartServiceLog>();
    log->timestamp = QDateTime::currentDateTimeUtc();
    log->services = QStringList{name};
    log->device = VUDeviceTracker::sharedInstance()->device();
    return log;
}

class QuillonTelemetryRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The watcher holds sending while the machine has no way out, loopback or not.
        if (!VUNetlinkRouteMonitor::queryDefaultRoute().value_or(true))
            GTEST_SKIP() << "no default route here";
        ASSERT_TRUE(server.start());
    }

    void setLogUrl(const QString &url)
    {
        // The last run wrote its own keys; keep them.
        UserDefaults::standard().synchronize();
        UserDefaults::standard().setObject(url, QStringLiteral("VULogUrl"));
    }

    QProcessEnvironment quillonEnvironment(int quitAfterMs)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QUILLON_QUIT_AFTER_MS", QString::number(quitAfterMs));
        env.insert("QUILLON_KEYCHAIN", "file");
        env.remove("VOV_UDEZIR_DISABLE");
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
            env.remove(name);
        return env;
    }

    // Runs Quillon until it quits by itself and expects a clean exit.
    void runQuillon(int quitAfterMs)
    {
        QProcess process;
        // The run needs as long to send as in a plain build, counting a sanitizer's slowdown.
        const int runMs = scaledTimeoutMs(quitAfterMs);
        process.setProcessEnvironment(quillonEnvironment(runMs));
        process.start(buildPath(QStringLiteral("bin/Quillon")), {});
        if (!process.waitForFinished(runMs + 60000)) {
            ADD_FAILURE() << "Quillon did not quit by itself: " << errorOutput(process).constData();
            process.kill();
            process.waitForFinished();
            return;
        }
        expectCleanExit(process);
    }

    // Runs Quillon until `done` holds, then quits it as a logout would. A loaded machine only
    // makes the run longer: a fixed run time would end it before its first batch left.
    void runQuillonUntil(const std::function<bool()> &done, const char *what)
    {
        const int boundMs = scaledTimeoutMs(60000);
        QProcess process;
        process.setProcessEnvironment(quillonEnvironment(boundMs + 30000));
        process.start(buildPath(QStringLiteral("bin/Quillon")), {});
        ASSERT_TRUE(process.waitForStarted()) << errorOutput(process).constData();
        EXPECT_TRUE(waitUntil([&] { return done() || process.state() == QProcess::NotRunning; }, boundMs));
        EXPECT_TRUE(done()) << what;
        if (process.state() == QProcess::NotRunning) {
            ADD_FAILURE() << "Quillon quit early: " << errorOutput(process).constData();
            return;
        }
        quitQuillon(process);
    }

    // Every log of every request the server took, in arrival order.
    QList<QJsonObject> postedLogs() const
    {
        QList<QJsonObject> posted;
        for (const auto &request : server.requests())
            for (const auto &log : QJsonDocument::fromJson(request.decodedBody()).object().value("logs").toArray())
                posted.append(log.toObject());
        return posted;
    }

    QStringList postedServices() const
    {
        QStringList services;
        for (const auto &log : postedLogs())
            services += log.value("services").toVariant().toStringList();
        return services;
    }

    TestHome home; // the child's home; the test's own defaults and store follow it too
    LoopbackHttpServer server;
};

TEST_F(QuillonTelemetryRun, QueuedLogsWaitOutADownServerAndLeaveOnceItAnswers)
{
    {
        VULogDBStorage store;
        ASSERT_TRUE(store.saveLog(queuedLog("Queued1"), "VovUdezir", 1));
        ASSERT_TRUE(store.saveLog(queuedLog("Queued2"), "VovUdezir", 1));
    }

    // The services of the start-service logs waiting in the store.
    const auto storedServices = [] {
        QStringList stored;
        for (const auto &log : VULogDBStorage().logsFromDBWithGroupId("VovUdezir"))
            if (const auto started = std::dynamic_pointer_cast<VUStartServiceLog>(log); started && started->services)
                stored += *started->services;
        return stored;
    };

    // A run whose server is gone: nothing answers, nothing is lost.
    LoopbackHttpServer gone;
    ASSERT_TRUE(gone.start());
    const QString goneUrl = gone.baseUrl();
    gone.stop();
    setLogUrl(goneUrl);
    runQuillon(1500);
    ASSERT_FALSE(HasFailure());
    // The queued logs and the run's own start-service log wait in the store.
    QStringList stored = storedServices();
    EXPECT_TRUE(stored.contains("Queued1"));
    EXPECT_TRUE(stored.contains("Queued2"));
    EXPECT_TRUE(stored.contains("Analytics"));

    // The next run reaches the server: the queued logs are posted and then deleted.
    setLogUrl(server.baseUrl());
    runQuillonUntil(
        [&] {
            const QStringList services = postedServices();
            if (!services.contains("Queued1") || !services.contains("Queued2"))
                return false;
            const QStringList stored = storedServices();
            return !stored.contains("Queued1") && !stored.contains("Queued2");
        },
        "the queued logs were posted and deleted");
    ASSERT_FALSE(HasFailure());
    for (const auto &request : server.requests()) {
        EXPECT_EQ(request.path, "/logs");
        EXPECT_EQ(request.header("App-Secret"), "3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953");
        EXPECT_FALSE(request.header("Install-ID").isEmpty());
    }
    // What the run itself logged at its quit may still wait for the next run; the queued ones not.
    stored = storedServices();
    EXPECT_FALSE(stored.contains("Queued1"));
    EXPECT_FALSE(stored.contains("Queued2"));
}

TEST_F(QuillonTelemetryRun, ALaunchOpensOneAnalyticsSession)
{
    setLogUrl(server.baseUrl());
    const auto sessionIds = [&] {
        QStringList ids;
        for (const auto &log : postedLogs())
            if (log.value("type") == "startSession")
                ids.append(log.value("sid").toString());
        return ids;
    };
    runQuillonUntil([&] { return !sessionIds().isEmpty() && postedServices().contains("Analytics"); },
                    "a session start and the start-service log were posted");
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(sessionIds().size(), 1);
    EXPECT_FALSE(sessionIds().first().isEmpty());
}

} // namespace
