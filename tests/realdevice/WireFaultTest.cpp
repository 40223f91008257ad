// What a device may send wrong on the wire, which only the real backend meets: no crash, no
// hang, a clear error, nothing outside the folder asked for.

#include "DeviceUnderTest.h"

#include <QElapsedTimer>

#include <cstdlib>

namespace {

plist_t faults(const std::function<void(plist_t)> &fill)
{
    plist_t dict = plist_new_dict();
    fill(dict);
    return dict;
}

} // namespace

TEST_F(BACKEND_FIXTURE, ListingNamesThatCannotNameAnItemAreLeftOut)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    startSession(device);
    AFCConnectionRef files = openFiles(device);
    ASSERT_TRUE(files);
    plist_t wire = faults([](plist_t dict) {
        plist_t names = plist_new_array();
        for (const char *name : {"a/b", "/etc", "", "..", "bad\xff\xfename"})
            plist_array_append_item(names, plist_new_data(name, strlen(name)));
        plist_dict_set_item(dict, "ExtraListingNames", names);
    });
    setWireFaults(wire);
    plist_free(wire);
    // "a/b" and "/etc" name no item in the folder, "" none at all; ".." is the listing's own
    // parent entry, and a name that is not UTF-8 is the caller's to show (it is a real name).
    EXPECT_EQ(list(files, "/Fernlow"), (std::vector<std::string>{"bad\xff\xfename", "readme.txt"}));
    AFCConnectionClose(files);
}

TEST_F(BACKEND_FIXTURE, GarbageFromTheDeviceIsAnErrorNotACrash)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    startSession(device);
    QElapsedTimer timer;
    timer.start();
    plist_t lockdown = faults([](plist_t dict) { plist_dict_set_item(dict, "LockdownGarbage", plist_new_bool(1)); });
    setWireFaults(lockdown);
    plist_free(lockdown);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, "DeviceName"), nullptr);
    AMDServiceConnectionRef service = nullptr;
    EXPECT_NE(AMDeviceStartService(device, kAMDFileService, &service), kAMDSuccess);
    EXPECT_LT(timer.elapsed(), 30000);
}

TEST_F(BACKEND_FIXTURE, ValuesAndAppsOfTheWrongTypeAreRefused)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    startSession(device);
    plist_t wire = faults([](plist_t dict) { plist_dict_set_item(dict, "WrongTypes", plist_new_bool(1)); });
    setWireFaults(wire);
    plist_free(wire);
    // A whole domain that is not a dictionary is no domain.
    EXPECT_EQ(AMDeviceCopyValue(device, "com.apple.mobile.backup", nullptr), nullptr);
    plist_t apps = nullptr;
    ASSERT_EQ(AMDeviceLookupApplications(device, nullptr, &apps), kAMDSuccess);
    ASSERT_TRUE(apps);
    EXPECT_EQ(plist_dict_get_size(apps), 0u);
    plist_free(apps);
}

TEST_F(BACKEND_FIXTURE, ADeviceThatDropsTheConnectionMidFileGivesAnError)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    startSession(device);
    AFCConnectionRef files = openFiles(device);
    ASSERT_TRUE(files);
    QByteArray big(2 * 1024 * 1024, 'x');
    ASSERT_EQ(writeAll(files, "/big.bin", big), kAFCSuccess);
    plist_t wire = faults([](plist_t dict) { plist_dict_set_item(dict, "DropAfterReadBytes", plist_new_uint(300000)); });
    setWireFaults(wire);
    plist_free(wire);
    AFCError error = kAFCSuccess;
    const QByteArray got = readAll(files, "/big.bin", &error);
    EXPECT_NE(error, kAFCSuccess);
    EXPECT_LT(got.size(), big.size());
    AFCConnectionClose(files);
}
