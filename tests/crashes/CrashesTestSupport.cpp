#include "CrashesTestSupport.h"

#include "TestWait.h"

#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/core/VUVovUdezir.h"
#include "telemetry/crashes/VUCrashesTimings.h"
#include "telemetry/crashes/VUCrashesUtil.h"
#include "telemetry/crashes/VUWrapperExceptionManager.h"

#include "VUCrashReporter.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>

void CrashesServiceTest::SetUp()
{
    ShortTimingsTest::SetUp();
    home = std::make_unique<TestHome>();
    qunsetenv("VOV_UDEZIR_DISABLE");
    VUCrashesTimings timings;
    timings.processingDelayMs = 20;
    timings.unprocessedReportsWaitMs = 5000;
    VUCrashesTimings::set(timings);
    resetSingletons();
    startServer();
}

void CrashesServiceTest::TearDown()
{
    // Processing holds the service on its own thread: let it end before the next test, and
    // before the process, tears down what it uses.
    if (const auto last = started.lock())
        EXPECT_TRUE(waitForProcessing(last));
    resetSingletons();
    VUCrashesTimings::reset();
    home.reset();
    ShortTimingsTest::TearDown();
}

void CrashesServiceTest::resetSingletons()
{
    VUVovUdezir::resetSharedInstance();
    VUCrashes::resetSharedInstance();
    VUSessionContext::resetSharedInstance();
    VUUserIdContext::resetSharedInstance();
    VUDeviceTracker::resetSharedInstance();
    VUCrashesUtil::resetDirectory();
    VUWrapperExceptionManager::resetForTesting();
}

std::shared_ptr<VUCrashes> CrashesServiceTest::startService()
{
    VUVovUdezir::setLogUrl(server.baseUrl());
    const auto crashes = VUCrashes::sharedInstance();
    VUVovUdezir::start(kSecret, {crashes});
    started = crashes;
    return crashes;
}

bool CrashesServiceTest::waitForProcessing(const std::shared_ptr<VUCrashes> &crashes)
{
    return waitUntil([&] { return crashes->processingSignalled(); });
}

namespace {

VUCrashReporter &reporter()
{
    // Where the service's reporter looks: the same identifier, under the current home.
    static thread_local std::unique_ptr<VUCrashReporter> instance;
    instance = std::make_unique<VUCrashReporter>(qUtf8Printable(VUUtility::mainBundleIdentifier()), "", nullptr);
    return *instance;
}

} // namespace

void CrashesServiceTest::plantPendingReport(const QByteArray &bytes)
{
    VUCrashReporter &r = reporter();
    ASSERT_TRUE(QDir().mkpath(QString::fromLocal8Bit(r.crashReportDirectory())));
    QFile file(QString::fromLocal8Bit(r.crashReportPath()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

bool CrashesServiceTest::hasPendingReport()
{
    return reporter().hasPendingCrashReport();
}

QString CrashesServiceTest::dataPath(const QString &component)
{
    return *VUUtility::fullURLForPathComponent(component);
}

QString CrashesServiceTest::storeReport(const QString &name, const QByteArray &bytes)
{
    const QString path = dataPath("crashes/" + name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

QStringList CrashesServiceTest::storedReportNames()
{
    return QDir(dataPath("crashes")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
}

QList<QJsonObject> CrashesServiceTest::logsOfType(const QString &type) const
{
    QList<QJsonObject> found;
    for (const auto &request : server.requests())
        for (const auto &log : logsOfRequest(request))
            if (log.toObject().value("type") == type)
                found.append(log.toObject());
    return found;
}
