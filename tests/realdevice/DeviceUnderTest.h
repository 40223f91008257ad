#pragma once
// One fixture for the device-level tests of both backends. The same test sources are built
// twice: device_level_sim_tests serves the fixture devices with the simulated backend in the
// test process; device_level_real_tests unsets QUILLON_SIM_DEVICES, so the library picks its
// real backend, and serves the same folder through the test device server (a child process
// speaking usbmuxd's protocol on a socket named by USBMUXD_SOCKET_ADDRESS).
//
// One devices folder and (for the real backend) one server serve the whole program; each test
// attaches its own copy of a fixture device under a fresh identifier and takes it away again.

#include "device/MobileDeviceFramework.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <functional>
#include <string>
#include <vector>

bool realBackend();

// The folder the devices are served from (the simulated devices' folder format).
QString devicesRoot();

// Writes the test server's wire faults (.wire.plist); an empty node removes them.
void setWireFaults(plist_t faults);

class DeviceUnderTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Copies fixture `fixture` in under a fresh identifier; `tweak` may edit device.plist.
    // Returns the attached device (null on time-out).
    AMDeviceRef attach(const QString &fixture, const std::function<void(plist_t settings)> &tweak = {});
    void detach();
    bool waitForDetach(int timeoutMs);
    QString folder() const;
    std::string udid() const { return mUdid; }

    static void startSession(AMDeviceRef device);
    static AFCConnectionRef openFiles(AMDeviceRef device, const char *service = kAMDFileService);
    static QByteArray readAll(AFCConnectionRef connection, const char *path, AFCError *error = nullptr);
    static AFCError writeAll(AFCConnectionRef connection, const char *path, const QByteArray &contents);
    static std::vector<std::string> list(AFCConnectionRef connection, const char *path, AFCError *error = nullptr);
    static std::string info(AFCConnectionRef connection, const char *path, const char *key);
    static std::string stringValue(AMDeviceRef device, const char *domain, const char *key);
    static bool pumpUntil(const std::function<bool()> &done, int timeoutMs);

    AMDeviceRef mDevice = nullptr;

private:
    static void callback(const AMDeviceNotificationCallbackInfo *info, void *context);
    AMDeviceNotificationRef mSubscription = nullptr;
    std::vector<std::pair<AMDeviceRef, uint32_t>> mEvents;
    std::string mUdid;
    QString mName;
};

// The tests' fixture name says which backend ran them.
#if QUILLON_REAL_BACKEND
using RealBackendDevice = DeviceUnderTest;
#define BACKEND_FIXTURE RealBackendDevice
#else
using SimulatedBackendDevice = DeviceUnderTest;
#define BACKEND_FIXTURE SimulatedBackendDevice
#endif
