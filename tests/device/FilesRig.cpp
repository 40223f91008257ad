#include "FilesRig.h"

#include "TestHome.h"

#include "device/DeviceTimings.h"
#include "device/MobileDeviceFramework.h"
#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

namespace {

struct AttachWait
{
    AMDeviceRef device = nullptr;
    static void callback(const AMDeviceNotificationCallbackInfo *info, void *context)
    {
        auto *wait = static_cast<AttachWait *>(context);
        if (info && info->message == kAMDeviceAttached && !wait->device)
            wait->device = info->device;
    }
};

} // namespace

QByteArray readLocal(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray writePattern(const QString &path, qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    uint32_t state = 2463534242u + uint32_t(seed);
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state);
    }
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return bytes;
}

FilesRig::FilesRig(const QVariantMap &settings)
{
    mHadPrevious = qEnvironmentVariableIsSet("QUILLON_SIM_DEVICES");
    mPrevious = qgetenv("QUILLON_SIM_DEVICES");
    deviceTimings().reset();
    deviceTimings().connectRetryMs = 10;

    // Built outside the watched folder, then moved in whole.
    const QString staging = localDir.path() + QStringLiteral("/.staging-phone");
    copyTree(fixturePath(QStringLiteral("files/phone")), staging);
    if (!settings.isEmpty()) {
        auto plist = PropertyList::fromFile(staging + QStringLiteral("/device.plist"));
        QVariantMap device = plist ? plist->toMap() : QVariantMap();
        for (auto it = settings.begin(); it != settings.end(); ++it)
            device.insert(it.key(), it.value());
        PropertyList::toFile(device, staging + QStringLiteral("/device.plist"), PropertyList::Format::Xml);
    }
    QDir().rename(staging, device());
    qputenv("QUILLON_SIM_DEVICES", sim.path().toUtf8());
}

FilesRig::~FilesRig()
{
    controller.reset();
    QCoreApplication::processEvents();
    if (mHadPrevious)
        qputenv("QUILLON_SIM_DEVICES", mPrevious);
    else
        qunsetenv("QUILLON_SIM_DEVICES");
    deviceTimings().reset();
}

bool FilesRig::connect()
{
    EXPECT_TRUE(bindMobileDeviceFramework()) << qPrintable(mobileDeviceLibraryPath());
    if (!AMDeviceNotificationSubscribe)
        return false;
    AttachWait wait;
    AMDeviceNotificationRef subscription = nullptr;
    EXPECT_EQ(AMDeviceNotificationSubscribe(AttachWait::callback, 0, 0, &wait, &subscription), 0);
    QElapsedTimer timer;
    timer.start();
    while (!wait.device && timer.elapsed() < 5000) {
        AMDRunLoopSourcePerform();
        QThread::msleep(2);
    }
    if (AMDeviceNotificationUnsubscribe) // optional: a reduced library may lack it
        AMDeviceNotificationUnsubscribe(subscription);
    EXPECT_NE(wait.device, nullptr);
    if (!wait.device)
        return false;
    mDevice = wait.device;

    controller = std::make_unique<AppController>();
    controller->setWindow(&window);
    controller->mBufferSize = AppController::kTransferBufferSize;
    controller->mBuffer.reset(new char[AppController::kTransferBufferSize]);
    controller->mDev.store(mDevice);
    controller->mStatus.store(AppController::kStatusConnected);
    const int error = controller->makeConnection();
    EXPECT_EQ(error, 0);
    return error == 0;
}

QString FilesRig::device(const QString &relative) const
{
    return sim.path() + QStringLiteral("/phone") + (relative.isEmpty() ? QString() : QLatin1Char('/') + relative);
}

QString FilesRig::media(const QString &relative) const
{
    return device(QStringLiteral("media") + (relative.isEmpty() ? QString() : QLatin1Char('/') + relative));
}

QString FilesRig::local(const QString &relative) const
{
    return localDir.path() + (relative.isEmpty() ? QString() : QLatin1Char('/') + relative);
}

void FilesRig::setFaults(const QVariantMap &faults)
{
    const QString path = device(QStringLiteral("faults.plist"));
    if (faults.isEmpty()) {
        QFile::remove(path);
        return;
    }
    // Written beside and renamed, so the library never reads half a file.
    const QString temporary = path + QStringLiteral(".new");
    ASSERT_TRUE(PropertyList::toFile(faults, temporary, PropertyList::Format::Xml));
    ASSERT_TRUE(QDir().rename(temporary, path) || (QFile::remove(path) && QDir().rename(temporary, path)));
}
