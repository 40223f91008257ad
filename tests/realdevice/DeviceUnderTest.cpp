#include "DeviceUnderTest.h"

#include "TestHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <poll.h>

namespace {

QTemporaryDir *gRoot = nullptr;
QProcess *gServer = nullptr;
std::atomic<int> gSerial{0};

plist_t readPlist(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray bytes = file.readAll();
    plist_t node = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &node);
    return node;
}

void writePlist(const QString &path, plist_t node)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    QFile out(path + QStringLiteral(".new"));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(xml, length);
    out.close();
    std::free(xml);
    QFile::remove(path);
    ASSERT_TRUE(QFile::rename(path + QStringLiteral(".new"), path));
}

// Brings up the devices folder, and for the real backend the server, once per program.
void startOnce()
{
    if (gRoot)
        return;
    gRoot = new QTemporaryDir;
    QDir().mkpath(gRoot->path() + QStringLiteral("/devices/.staging"));
    const QString devices = devicesRoot();
    if (!realBackend()) {
        qputenv("QUILLON_SIM_DEVICES", devices.toLocal8Bit());
        return;
    }
    const QString socket = gRoot->path() + QStringLiteral("/usbmuxd.sock");
    gServer = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLON_SIM_DEVICES"), devices);
    gServer->setProcessEnvironment(environment);
    gServer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gServer->start(QStringLiteral(TEST_DEVICE_SERVER), {QStringLiteral("--socket"), socket});
    ASSERT_TRUE(gServer->waitForStarted(10000));
    ASSERT_TRUE(gServer->waitForReadyRead(20000)) << "the test device server did not come up";
    qunsetenv("QUILLON_SIM_DEVICES");
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + socket.toLocal8Bit());
}

} // namespace

bool realBackend()
{
    return QUILLON_REAL_BACKEND != 0;
}

QString devicesRoot()
{
    return gRoot->path() + QStringLiteral("/devices");
}

void setWireFaults(plist_t faults)
{
    const QString path = devicesRoot() + QStringLiteral("/.wire.plist");
    if (!faults) {
        QFile::remove(path);
        return;
    }
    writePlist(path, faults);
}

void DeviceUnderTest::SetUp()
{
    startOnce();
    ASSERT_TRUE(bindMobileDeviceFramework(QStringLiteral(MOBILEDEVICE_LIBRARY)));
    ASSERT_EQ(AMDeviceNotificationSubscribe(&DeviceUnderTest::callback, 0, 0, this, &mSubscription), kAMDSuccess);
}

void DeviceUnderTest::TearDown()
{
    setWireFaults(nullptr);
    if (mDevice)
        AMDeviceDisconnect(mDevice);
    detach();
    if (mSubscription)
        AMDeviceNotificationUnsubscribe(mSubscription);
    AMDRunLoopSourcePerform();
}

void DeviceUnderTest::callback(const AMDeviceNotificationCallbackInfo *info, void *context)
{
    static_cast<DeviceUnderTest *>(context)->mEvents.emplace_back(info->device, info->message);
}

bool DeviceUnderTest::pumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        pollfd p{AMDRunLoopSourceGetDescriptor(), POLLIN, 0};
        poll(&p, 1, int(std::min<qint64>(left, 50)));
        AMDRunLoopSourcePerform();
    }
    return true;
}

QString DeviceUnderTest::folder() const
{
    return devicesRoot() + QLatin1Char('/') + mName;
}

AMDeviceRef DeviceUnderTest::attach(const QString &fixture, const std::function<void(plist_t)> &tweak)
{
    mName = QStringLiteral("device-%1").arg(++gSerial);
    mUdid = "00008020-" + std::to_string(::getpid()) + "-" + mName.toStdString();
    const QString staging = devicesRoot() + QStringLiteral("/.staging/") + mName;
    EXPECT_TRUE(copyTree(fixturePath(QStringLiteral("devices/") + fixture), staging));
    plist_t settings = readPlist(staging + QStringLiteral("/device.plist"));
    plist_t values = plist_dict_get_item(settings, "Values");
    plist_dict_set_item(values, "UniqueDeviceID", plist_new_string(mUdid.c_str()));
    if (tweak)
        tweak(settings);
    writePlist(staging + QStringLiteral("/device.plist"), settings);
    plist_free(settings);
    EXPECT_TRUE(QDir().rename(staging, folder()));
    mDevice = nullptr;
    pumpUntil([this] {
        for (const auto &[device, message] : mEvents) {
            if (message != kAMDeviceAttached)
                continue;
            char *id = AMDeviceCopyDeviceIdentifier(device);
            const bool ours = id && mUdid == id;
            std::free(id);
            if (ours)
                mDevice = device;
        }
        return mDevice != nullptr;
    }, 20000);
    return mDevice;
}

bool DeviceUnderTest::waitForDetach(int timeoutMs)
{
    return pumpUntil([this] {
        return std::any_of(mEvents.begin(), mEvents.end(), [this](const auto &event) {
            return event.first == mDevice && event.second == kAMDeviceDetached;
        });
    }, timeoutMs);
}

void DeviceUnderTest::detach()
{
    if (mName.isEmpty())
        return;
    QDir(folder()).removeRecursively();
    if (mDevice)
        waitForDetach(20000);
    mName.clear();
}

void DeviceUnderTest::startSession(AMDeviceRef device)
{
    ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);
    ASSERT_EQ(AMDeviceStartSession(device), kAMDSuccess);
}

AFCConnectionRef DeviceUnderTest::openFiles(AMDeviceRef device, const char *service)
{
    AMDServiceConnectionRef handle = nullptr;
    EXPECT_EQ(AMDeviceStartService(device, service, &handle), kAMDSuccess);
    AFCConnectionRef connection = nullptr;
    EXPECT_EQ(AFCConnectionOpen(handle, 0, &connection), kAFCSuccess);
    return connection;
}

QByteArray DeviceUnderTest::readAll(AFCConnectionRef connection, const char *path, AFCError *error)
{
    AFCFileRef file = 0;
    AFCError result = AFCFileRefOpen(connection, path, kAFCFileModeRead, &file);
    QByteArray bytes;
    while (result == kAFCSuccess) {
        char buffer[65536];
        uint32_t length = sizeof buffer;
        result = AFCFileRefRead(connection, file, buffer, &length);
        if (result != kAFCSuccess || length == 0)
            break;
        bytes.append(buffer, int(length));
    }
    if (file)
        AFCFileRefClose(connection, file);
    if (error)
        *error = result;
    return bytes;
}

AFCError DeviceUnderTest::writeAll(AFCConnectionRef connection, const char *path, const QByteArray &contents)
{
    AFCFileRef file = 0;
    AFCError result = AFCFileRefOpen(connection, path, kAFCFileModeWrite, &file);
    for (qsizetype offset = 0; result == kAFCSuccess && offset < contents.size(); offset += 1 << 20) {
        const qsizetype length = std::min<qsizetype>(1 << 20, contents.size() - offset);
        result = AFCFileRefWrite(connection, file, contents.constData() + offset, uint32_t(length));
    }
    if (file) {
        const AFCError closed = AFCFileRefClose(connection, file);
        if (result == kAFCSuccess)
            result = closed;
    }
    return result;
}

std::vector<std::string> DeviceUnderTest::list(AFCConnectionRef connection, const char *path, AFCError *error)
{
    std::vector<std::string> names;
    AFCDirectoryRef directory = nullptr;
    const AFCError result = AFCDirectoryOpen(connection, path, &directory);
    if (error)
        *error = result;
    if (result != kAFCSuccess)
        return names;
    char *name = nullptr;
    while (AFCDirectoryRead(connection, directory, &name) == kAFCSuccess && name)
        if (std::string(name) != "." && std::string(name) != "..")
            names.emplace_back(name);
    AFCDirectoryClose(connection, directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::string DeviceUnderTest::info(AFCConnectionRef connection, const char *path, const char *key)
{
    AFCDictionaryRef dict = nullptr;
    if (AFCFileInfoOpen(connection, path, &dict) != kAFCSuccess)
        return {};
    std::string found;
    char *k = nullptr;
    char *v = nullptr;
    while (AFCKeyValueRead(dict, &k, &v) == kAFCSuccess && k)
        if (std::string(k) == key)
            found = v;
    AFCKeyValueClose(dict);
    return found;
}

std::string DeviceUnderTest::stringValue(AMDeviceRef device, const char *domain, const char *key)
{
    plist_t value = AMDeviceCopyValue(device, domain, key);
    std::string text;
    if (value && plist_get_node_type(value) == PLIST_STRING) {
        char *s = nullptr;
        plist_get_string_val(value, &s);
        text = s ? s : "";
        std::free(s);
    }
    plist_free(value);
    return text;
}
