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

    // Runs Quillon until it quits by itself and expects a clean exit.
    void runQuillon(int quitAfterMs)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // The run needs as long to send as in a plain build, counting a sanitizer's slowdown.
        const int runMs = scaledTimeoutMs(quitAfterMs);
        env.insert("QUILLON_QUIT_AFTER_MS", QString::number(runMs));
        env.insert("QUILLON_KEYCHAIN", "file");
        env.remove("VOV_UDEZIR_DISABLE");
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
            env.remove(name);
        process.setProcessEnvironment(env);
        process.start(buildPath(QStringLiteral("bin/Quillon")), {});
        if (!process.waitForFinished(runMs + 60000)) {
            ADD_FAILURE() << "Quillon did not quit by itself: " << errorOutput(process).constData();
            process.kill();
            process.waitForFinished();
            return;
        }
        expectCleanExit(process);
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

    // A run whose server is gone: nothing answers, nothing is lost.
    LoopbackHttpServer gone;
    ASSERT_TRUE(gone.start());
    const QString goneUrl = gone.baseUrl();
    gone.stop();
    setLogUrl(goneUrl);
    runQuillon(1500);
    ASSERT_FALSE(HasFailure());
    // The queued logs and the run's own start-service log wait in the store.
    QStringList stored;
    for (const auto &log : VULogDBStorage().logsFromDBWithGroupId("VovUdezir"))
        if (const auto started = std::dynamic_pointer_cast<VUStartServiceLog>(log); started && started->services)
            stored += *started->services;
    EXPECT_TRUE(stored.contains("Queued1"));
    EXPECT_TRUE(stored.contains("Queued2"));
    EXPECT_TRUE(stored.contains("Analytics"));

    // The next run reaches the server: the queued logs are posted and then deleted.
    setLogUrl(server.baseUrl());
    runQuillon(4000);
    ASSERT_FALSE(HasFailure());
    ASSERT_GE(server.requestCount(), 1);
    QStringList services;
    for (const auto &request : server.requests()) {
        EXPECT_EQ(request.path, "/logs");
        EXPECT_EQ(request.header("App-Secret"), "3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953");
        EXPECT_FALSE(request.header("Install-ID").isEmpty());
        const auto logs = QJsonDocument::fromJson(request.decodedBody()).object().value("logs").toArray();
        for (const auto &log : logs)
            services += log.toObject().value("services").toVariant().toStringList();
    }
    EXPECT_TRUE(services.contains("Queued1"));
    EXPECT_TRUE(services.contains("Queued2"));
    EXPECT_EQ(VULogDBStorage().countLogsWithGroupId("VovUdezir"), 0u);
}

TEST_F(QuillonTelemetryRun, ALaunchOpensOneAnalyticsSession)
{
    setLogUrl(server.baseUrl());
    runQuillon(4000);
    ASSERT_FALSE(HasFailure());
    QStringList sessionIds;
    QStringList services;
    for (const auto &request : server.requests()) {
        const auto logs = QJsonDocument::fromJson(request.decodedBody()).object().value("logs").toArray();
        for (const auto &value : logs) {
            const QJsonObject log = value.toObject();
            if (log.value("type") == "startSession")
                sessionIds.append(log.value("sid").toString());
            services += log.value("services").toVariant().toStringList();
        }
    }
    ASSERT_EQ(sessionIds.size(), 1);
    EXPECT_FALSE(sessionIds.first().isEmpty());
    EXPECT_TRUE(services.contains("Analytics"));
}

} // namespace
