#include "device/ConnectedDeviceEntry.h"

#include <gtest/gtest.h>

namespace {
AMDeviceRef fakeRef(quintptr n) { return reinterpret_cast<AMDeviceRef>(n); }
}

TEST(ConnectedDeviceEntry, OneEntryPerDeviceAndInterfaceWithUnpairedDevicesKeptApart)
{
    const ConnectedDeviceEntry usb("Phone", "uid-1", 1, fakeRef(1), "uid-1");
    struct Case
    {
        const char *title;
        ConnectedDeviceEntry other;
        bool same;
    };
    const Case cases[] = {
        {"a new reference of the same device", {"Phone", "uid-1", 1, fakeRef(2), "uid-1"}, true},
        {"the same device over Wi-Fi", {"Phone", "uid-1", 2, fakeRef(3), "uid-1"}, false},
        {"another device", {"Phone", "uid-2", 1, fakeRef(4), "uid-2"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(usb.sameDevice(c.other), c.same);
    }

    const ConnectedDeviceEntry unpairedA("Unpaired Device", "12345", 1, fakeRef(5), "udid-a");
    const ConnectedDeviceEntry unpairedB("Unpaired Device", "12345", 1, fakeRef(6), "udid-b");
    const ConnectedDeviceEntry unpairedAAgain("Unpaired Device", "12345", 1, fakeRef(7), "udid-a");
    EXPECT_FALSE(unpairedA.sameDevice(unpairedB));
    EXPECT_TRUE(unpairedA.sameDevice(unpairedAAgain));
    EXPECT_EQ(unpairedA.uid(), "12345");
}

TEST(ConnectedDeviceEntry, MenuOrderIsUsbFirstThenNameIgnoringCase)
{
    const ConnectedDeviceEntry wifiA("alpha", "1", 2, fakeRef(1));
    const ConnectedDeviceEntry usbB("Beta", "2", 1, fakeRef(2));
    const ConnectedDeviceEntry usbA("alpha", "3", 1, fakeRef(3));
    QList<ConnectedDeviceEntry> list{wifiA, usbB, usbA};
    std::stable_sort(list.begin(), list.end(), usbFirst);
    EXPECT_EQ(list, (QList<ConnectedDeviceEntry>{usbA, usbB, wifiA}));

    const ConnectedDeviceEntry ejected = wifiA.withEjected(true);
    EXPECT_TRUE(ejected.ejected());
    EXPECT_FALSE(wifiA.hasEjected());
    EXPECT_EQ(ejected.dev(), wifiA.dev());
}
