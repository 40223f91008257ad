#pragma once
// Test helpers for the device library, used through the program's own binding:
// - SimDevices: a throw-away QUILLON_SIM_DEVICES folder into which fixture devices from
//   tests/fixtures/devices are copied (attach) and from which they are removed (detach),
//   each change made atomically with a rename so the library never sees half a device;
// - DeviceEvents: a subscription that records attach and detach callbacks and pumps the
//   library's run-loop source on the test thread until a condition holds;
// - MobileDeviceTest: binds the built library before each test.

#include "device/MobileDeviceFramework.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <string>
#include <vector>

class SimDevices
{
public:
    SimDevices();
    ~SimDevices();

    QString root() const { return mDir.path(); }
    QString folder(const QString &name) const { return root() + QLatin1Char('/') + name; }

    // Copies the fixture device `fixture` in as `name`; `tweak` may edit device.plist first.
    QString attach(const QString &fixture, const QString &name,
                   const std::function<void(plist_t settings)> &tweak = {});
    // Takes the folder away (the device detaches).
    void remove(const QString &name);
    // Rewrites device.plist in place through `tweak`.
    void editSettings(const QString &name, const std::function<void(plist_t settings)> &tweak);
    // Writes a file inside the device folder (atomically).
    void writeFile(const QString &name, const QString &relativePath, const QByteArray &contents);
    void removeFile(const QString &name, const QString &relativePath);
    QByteArray readFile(const QString &name, const QString &relativePath) const;

private:
    QTemporaryDir mDir;
    QByteArray mPrevious;
    bool mHadPrevious = false;
};

// An XML property list as bytes, for fault files written by tests.
QByteArray plistXml(plist_t node);

class DeviceEvents
{
public:
    struct Event
    {
        AMDeviceRef device;
        uint32_t message;
    };

    DeviceEvents();
    ~DeviceEvents();

    // Pumps the run-loop source until `done` holds or `timeoutMs` passes.
    static bool pumpUntil(const std::function<bool()> &done, int timeoutMs = 5000);
    // The next attach after those already taken, or null on time-out.
    AMDeviceRef nextAttach(int timeoutMs = 5000);
    bool waitForDetach(AMDeviceRef device, int timeoutMs = 5000);
    // Pumps for a while and tells whether any event came in.
    bool quietFor(int milliseconds);

    std::vector<Event> events;

private:
    static void callback(const AMDeviceNotificationCallbackInfo *info, void *context);
    AMDeviceNotificationRef mSubscription = nullptr;
    size_t mTaken = 0;
};

class MobileDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override;

    // Connects and opens a session; fails the test on error.
    static void startSession(AMDeviceRef device);
    // Starts a file service and opens a file connection over it.
    static AFCConnectionRef openFiles(AMDeviceRef device, const char *service = kAMDFileService);
    // Reads a whole device file through the file entry points.
    static QByteArray readAll(AFCConnectionRef connection, const char *path, AFCError *error = nullptr);
    static AFCError writeAll(AFCConnectionRef connection, const char *path, const QByteArray &contents);
    // Names in a device folder, without "." and "..", sorted.
    static std::vector<std::string> list(AFCConnectionRef connection, const char *path, AFCError *error = nullptr);
    // The value of one key of an item's information, or "" when missing.
    static std::string info(AFCConnectionRef connection, const char *path, const char *key, AFCError *error = nullptr);
    static std::string deviceInfo(AFCConnectionRef connection, const char *key);
    static std::string stringValue(AMDeviceRef device, const char *domain, const char *key);

    SimDevices sim;
};
