#include "SimDeviceFixture.h"

#include "TestHome.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstdlib>
#include <poll.h>

namespace {

plist_t readPlist(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray bytes = file.readAll();
    plist_t node = nullptr;
    plist_from_xml(bytes.constData(), static_cast<uint32_t>(bytes.size()), &node);
    return node;
}

} // namespace

QByteArray plistXml(plist_t node)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    QByteArray bytes(xml, static_cast<int>(length));
    std::free(xml);
    return bytes;
}

SimDevices::SimDevices()
{
    mHadPrevious = qEnvironmentVariableIsSet("QUILLON_SIM_DEVICES");
    mPrevious = qgetenv("QUILLON_SIM_DEVICES");
    QDir().mkpath(root() + QStringLiteral("/.staging"));
    qputenv("QUILLON_SIM_DEVICES", root().toLocal8Bit());
}

SimDevices::~SimDevices()
{
    if (mHadPrevious)
        qputenv("QUILLON_SIM_DEVICES", mPrevious);
    else
        qunsetenv("QUILLON_SIM_DEVICES");
}

QString SimDevices::attach(const QString &fixture, const QString &name, const std::function<void(plist_t)> &tweak)
{
    const QString staging = root() + QStringLiteral("/.staging/") + name;
    // The test program knows where the fixtures are (the support library may not).
    EXPECT_TRUE(copyTree(fixturePath(QStringLiteral("devices/") + fixture), staging)) << qPrintable(fixture);
    if (tweak) {
        plist_t settings = readPlist(staging + QStringLiteral("/device.plist"));
        tweak(settings);
        QFile out(staging + QStringLiteral("/device.plist"));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(plistXml(settings));
        plist_free(settings);
    }
    EXPECT_TRUE(QDir().rename(staging, folder(name)));
    return folder(name);
}

void SimDevices::remove(const QString &name)
{
    const QString trash = root() + QStringLiteral("/.staging/removed-") + name;
    EXPECT_TRUE(QDir().rename(folder(name), trash));
    QDir(trash).removeRecursively();
}

void SimDevices::editSettings(const QString &name, const std::function<void(plist_t)> &tweak)
{
    const QString path = folder(name) + QStringLiteral("/device.plist");
    plist_t settings = readPlist(path);
    ASSERT_TRUE(settings);
    tweak(settings);
    writeFile(name, QStringLiteral("device.plist"), plistXml(settings));
    plist_free(settings);
}

void SimDevices::writeFile(const QString &name, const QString &relativePath, const QByteArray &contents)
{
    const QString path = folder(name) + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
    ASSERT_TRUE(file.commit());
}

void SimDevices::removeFile(const QString &name, const QString &relativePath)
{
    QFile::remove(folder(name) + QLatin1Char('/') + relativePath);
}

QByteArray SimDevices::readFile(const QString &name, const QString &relativePath) const
{
    QFile file(folder(name) + QLatin1Char('/') + relativePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

DeviceEvents::DeviceEvents()
{
    EXPECT_EQ(AMDeviceNotificationSubscribe(&DeviceEvents::callback, 0, 0, this, &mSubscription), kAMDSuccess);
}

DeviceEvents::~DeviceEvents()
{
    if (mSubscription && AMDeviceNotificationUnsubscribe)
        AMDeviceNotificationUnsubscribe(mSubscription);
}

void DeviceEvents::callback(const AMDeviceNotificationCallbackInfo *info, void *context)
{
    static_cast<DeviceEvents *>(context)->events.push_back({info->device, info->message});
}

bool DeviceEvents::pumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        AMDRunLoopSourcePerform();
        if (done())
            return true;
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        pollfd fd{AMDRunLoopSourceGetDescriptor(), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min<qint64>(left, 50)));
    }
}

AMDeviceRef DeviceEvents::nextAttach(int timeoutMs)
{
    AMDeviceRef found = nullptr;
    pumpUntil([&] {
        while (mTaken < events.size()) {
            const Event event = events[mTaken++];
            if (event.message == kAMDeviceAttached) {
                found = event.device;
                return true;
            }
        }
        return false;
    }, timeoutMs);
    return found;
}

bool DeviceEvents::waitForDetach(AMDeviceRef device, int timeoutMs)
{
    return pumpUntil([&] {
        return std::any_of(events.begin(), events.end(), [&](const Event &event) {
            return event.device == device && event.message == kAMDeviceDetached;
        });
    }, timeoutMs);
}

bool DeviceEvents::quietFor(int milliseconds)
{
    const size_t before = events.size();
    pumpUntil([] { return false; }, milliseconds);
    return events.size() == before;
}

void MobileDeviceTest::SetUp()
{
    ASSERT_TRUE(bindMobileDeviceFramework(QStringLiteral(MOBILEDEVICE_LIBRARY)));
}

void MobileDeviceTest::startSession(AMDeviceRef device)
{
    ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);
    ASSERT_EQ(AMDeviceStartSession(device), kAMDSuccess);
}

AFCConnectionRef MobileDeviceTest::openFiles(AMDeviceRef device, const char *service)
{
    AMDServiceConnectionRef handle = nullptr;
    EXPECT_EQ(AMDeviceStartService(device, service, &handle), kAMDSuccess);
    AFCConnectionRef connection = nullptr;
    EXPECT_EQ(AFCConnectionOpen(handle, 0, &connection), kAFCSuccess);
    return connection;
}

QByteArray MobileDeviceTest::readAll(AFCConnectionRef connection, const char *path, AFCError *error)
{
    AFCFileRef file = 0;
    AFCError result = AFCFileRefOpen(connection, path, kAFCFileModeRead, &file);
    QByteArray bytes;
    if (result == kAFCSuccess) {
        char buffer[7]; // small on purpose: many reads per file
        for (;;) {
            uint32_t length = sizeof buffer;
            result = AFCFileRefRead(connection, file, buffer, &length);
            if (result != kAFCSuccess || length == 0)
                break;
            bytes.append(buffer, static_cast<int>(length));
        }
        AFCFileRefClose(connection, file);
    }
    if (error)
        *error = result;
    return bytes;
}

AFCError MobileDeviceTest::writeAll(AFCConnectionRef connection, const char *path, const QByteArray &contents)
{
    AFCFileRef file = 0;
    AFCError result = AFCFileRefOpen(connection, path, kAFCFileModeWrite, &file);
    if (result != kAFCSuccess)
        return result;
    result = AFCFileRefWrite(connection, file, contents.constData(), static_cast<uint32_t>(contents.size()));
    const AFCError closed = AFCFileRefClose(connection, file);
    return result ? result : closed;
}

std::vector<std::string> MobileDeviceTest::list(AFCConnectionRef connection, const char *path, AFCError *error)
{
    std::vector<std::string> names;
    AFCDirectoryRef directory = nullptr;
    const AFCError result = AFCDirectoryOpen(connection, path, &directory);
    if (error)
        *error = result;
    if (result != kAFCSuccess)
        return names;
    char *name = nullptr;
    while (AFCDirectoryRead(connection, directory, &name) == kAFCSuccess && name) {
        if (std::string(name) != "." && std::string(name) != "..")
            names.emplace_back(name);
    }
    AFCDirectoryClose(connection, directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::string MobileDeviceTest::info(AFCConnectionRef connection, const char *path, const char *key, AFCError *error)
{
    AFCDictionaryRef dictionary = nullptr;
    const AFCError result = AFCFileInfoOpen(connection, path, &dictionary);
    if (error)
        *error = result;
    if (result != kAFCSuccess)
        return {};
    std::string value;
    char *k = nullptr;
    char *v = nullptr;
    while (AFCKeyValueRead(dictionary, &k, &v) == kAFCSuccess && k && v) {
        if (std::string(k) == key)
            value = v;
    }
    AFCKeyValueClose(dictionary);
    return value;
}

std::string MobileDeviceTest::deviceInfo(AFCConnectionRef connection, const char *key)
{
    AFCDictionaryRef dictionary = nullptr;
    if (AFCDeviceInfoOpen(connection, &dictionary) != kAFCSuccess)
        return {};
    std::string value;
    char *k = nullptr;
    char *v = nullptr;
    while (AFCKeyValueRead(dictionary, &k, &v) == kAFCSuccess && k && v) {
        if (std::string(k) == key)
            value = v;
    }
    AFCKeyValueClose(dictionary);
    return value;
}

std::string MobileDeviceTest::stringValue(AMDeviceRef device, const char *domain, const char *key)
{
    plist_t value = AMDeviceCopyValue(device, domain, key);
    std::string result;
    if (value && plist_get_node_type(value) == PLIST_STRING) {
        char *text = nullptr;
        plist_get_string_val(value, &text);
        result = text ? text : "";
        std::free(text);
    }
    if (value)
        plist_free(value);
    return result;
}
