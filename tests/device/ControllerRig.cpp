#include "ControllerRig.h"
#include "TestHome.h"

#include "device/DeviceTimings.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

SimFolder::SimFolder()
{
    mHadPrevious = qEnvironmentVariableIsSet("QUILLON_SIM_DEVICES");
    mPrevious = qgetenv("QUILLON_SIM_DEVICES");
    qputenv("QUILLON_SIM_DEVICES", mDir.path().toUtf8());
}

SimFolder::~SimFolder()
{
    if (mHadPrevious)
        qputenv("QUILLON_SIM_DEVICES", mPrevious);
    else
        qunsetenv("QUILLON_SIM_DEVICES");
}

void SimFolder::attach(const QString &folder, const QString &name, const QString &uid, bool wifi,
                       const QVariantMap &settings)
{
    auto fixture = PropertyList::fromFile(fixturePath(QStringLiteral("controller/phone.plist")));
    ASSERT_TRUE(fixture.has_value());
    QVariantMap device = fixture->toMap();
    QVariantMap values = device.value(QStringLiteral("Values")).toMap();
    values.insert(QStringLiteral("DeviceName"), name);
    values.insert(QStringLiteral("UniqueDeviceID"), uid);
    for (auto it = settings.begin(); it != settings.end(); ++it)
        device.insert(it.key(), it.value());
    device.insert(QStringLiteral("Values"), values);
    device.insert(QStringLiteral("Interface"), wifi ? QStringLiteral("Wi-Fi") : QStringLiteral("USB"));

    // Built beside the folder the library watches, then moved in whole.
    const QString staging = mStaging.path() + QStringLiteral("/") + folder;
    QDir(staging).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(staging + QStringLiteral("/media")));
    ASSERT_TRUE(PropertyList::toFile(device, staging + QStringLiteral("/device.plist"),
                                     PropertyList::Format::Xml));
    ASSERT_TRUE(QDir().rename(staging, mDir.path() + QLatin1Char('/') + folder));
}

void SimFolder::detach(const QString &folder)
{
    const QString gone = mStaging.path() + QStringLiteral("/gone-") + folder;
    QDir(gone).removeRecursively();
    ASSERT_TRUE(QDir().rename(mDir.path() + QLatin1Char('/') + folder, gone));
    QDir(gone).removeRecursively();
}

void SimFolder::setAway(const QString &folder, bool away)
{
    const QString marker = mDir.path() + QLatin1Char('/') + folder + QStringLiteral("/away");
    if (away) {
        QFile file(marker);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    } else {
        ASSERT_TRUE(QFile::remove(marker));
    }
}

void SimFolder::setFaults(const QString &folder, const QVariantMap &faults)
{
    const QString path = mDir.path() + QLatin1Char('/') + folder + QStringLiteral("/faults.plist");
    if (faults.isEmpty()) {
        QFile::remove(path);
        return;
    }
    ASSERT_TRUE(PropertyList::toFile(faults, path, PropertyList::Format::Xml));
}

void spin(int ms)
{
    // Paced against the device timings, so never stretched like a test's time limit.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

ControllerRig::ControllerRig()
{
    deviceTimings().reset();
    // Long enough that the tests decide when the choice runs; short where a test waits.
    deviceTimings().startupChoiceMs = 60000;
    deviceTimings().connectRetryMs = 20;
    deviceTimings().reloadAfterReturnMs = 30;
    deviceTimings().tryAgainMs = 10;
    deviceTimings().mediaAppSettleMs = 10;
    deviceTimings().wakeupIntervalMs = 50;
    deviceTimings().freeSpaceIntervalMs = 50;
    UserDefaults::standard().setBool(true, QStringLiteral("DEBUG_LOG"));
    VarnekLogger::createDefaultLoggerToFile(true, false);
}

ControllerRig::~ControllerRig()
{
    stop();
    deviceTimings().reset();
}

void ControllerRig::start(bool useWifi)
{
    UserDefaults::standard().setBool(useWifi, QStringLiteral("USE_WIFI"));
    controller = std::make_unique<AppController>();
    controller->setWindow(&window);
    controller->awakeFromNib();
    controller->setupiPhone();
    ASSERT_TRUE(waitUntil([this] { return window.count(QStringLiteral("loadArchiveWindows")) > 0; }));
}

void ControllerRig::stop()
{
    if (!controller)
        return;
    controller->closeConnections(true);
    controller.reset();
    // Hand-overs queued by the last run die with its context; let them go.
    QCoreApplication::processEvents();
}

bool ControllerRig::waitForConnection(const QString &uid, int timeoutMs)
{
    return waitUntil([&] {
        std::lock_guard lock(controller->mLock);
        if (!controller->deviceReachable() || controller->connectedDeviceID() != uid
            || controller->mConn == nullptr)
            return false;
        // The window heard of the set-up after it last showed "Starting up...".
        qsizetype starting = -1, setUp = -1;
        for (qsizetype i = 0; i < window.calls.size(); ++i) {
            if (window.calls[i].text == QLatin1String("Starting up..."))
                starting = i;
            if (window.calls[i].name == QLatin1String("setupDevice"))
                setUp = i;
        }
        return setUp > starting && starting >= 0;
    }, timeoutMs);
}

bool ControllerRig::hasConnection(bool whole) const
{
    std::lock_guard lock(controller->mLock);
    return (whole ? controller->mConn2 : controller->mConn) != nullptr;
}

ConnectedDeviceEntry ControllerRig::entry(const QString &uid, int interfaceType) const
{
    for (const ConnectedDeviceEntry &entry : controller->connectedDevices())
        if (entry.uid() == uid && entry.interfaceType() == interfaceType)
            return entry;
    return {};
}

QString ControllerRig::logText() const
{
    VarnekLogger *logger = gMainLogger.load();
    if (!logger)
        return {};
    logger->flush();
    QFile file(logger->logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}
