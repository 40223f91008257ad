// The size text, the status line's texts, capabilities by firmware version and free space.

#include "FilesRig.h"

#include "device/MobileDeviceFramework.h"

#include "platform/KeyedArchive.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using Mode = DeviceFilesWindow::Mode;

namespace {

void setVersion(AppController &c, const QString &version, const QString &deviceClass = QStringLiteral("iPhone"))
{
    std::lock_guard lock(c.mDeviceValuesLock);
    c.mProductVersion = version;
    c.mDeviceClass = deviceClass;
}

} // namespace

TEST(DeviceValues, SizeText)
{
    const struct
    {
        uint64_t bytes;
        const char *text;
    } cases[] = {
        {0, "0 Bytes"},          {999, "999 Bytes"},        {1000, "1 KB"},
        {999999, "999 KB"},      {1000000, "1 MB"},         {1101999, "1 MB"},
        {1102000, "1.1 MB"},     {1500000, "1.4 MB"},       {999999999, "999.9 MB"},
        {2050000000, "2 GB"},    {2500000000, "2.4 GB"},    {64000000000, "64 GB"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(AppController::getSizeText(c.bytes), QString::fromLatin1(c.text));
    }
}

TEST(DeviceValues, CapabilitiesByFirmwareVersion)
{
    AppController c;
    const struct
    {
        const char *version;
        int major, minor;
        bool allApps, is102, iMessage;
    } cases[] = {
        {"8.2", 8, 2, true, false, true},     {"8.3", 8, 3, false, false, true},
        {"10.2", 10, 2, false, true, true},   {"10.1.1", 10, 1, false, false, true},
        {"4.3", 4, 3, true, false, false},    {"11.0", 11, 0, false, true, true},
        {"", 0, -1, true, false, false},      {"9", 0, -1, true, false, false},
        {"x.2", 0, -1, true, false, false},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.version);
        setVersion(c, QString::fromLatin1(t.version));
        EXPECT_EQ(c.deviceFirmwareMajorVersion(), t.major);
        EXPECT_EQ(c.deviceFirmwareMinorVersion(), t.minor);
        EXPECT_EQ(c.hasAllAppsCapability(), t.allApps);
        EXPECT_EQ(c.is102(), t.is102);
        EXPECT_EQ(c.hasiMessageCapability(), t.iMessage);
    }
    setVersion(c, "10.2", "iPod");
    EXPECT_EQ(c.deviceClassNoConfusion(), QString("Device"));
    EXPECT_FALSE(c.hasVoicemailCapability());
    setVersion(c, "10.2", "");
    EXPECT_EQ(c.deviceClassOrDefault(), QString("iPhone"));
    EXPECT_EQ(c.deviceClassNoConfusion(), QString("iPhone"));
    EXPECT_TRUE(c.hasVoicemailCapability());
    EXPECT_EQ(c.connectionTypeString(), QString("USB"));
}

TEST(DeviceValues, StatusTexts)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    FilesWindow &w = rig.window;
    c.mAFCFree.store(1500000);

    const struct
    {
        const char *label;
        Mode mode;
        int count;
        const char *text;
    } cases[] = {
        {"files show free space", Mode::Files, 0, "Files Phone Connected via USB (1.4 MB Available)"},
        {"apps show free space", Mode::FileSharing, 0, "Files Phone Connected via USB (1.4 MB Available)"},
        {"one photo", Mode::Photos, 1, "Files Phone Connected via USB (1 Photo)"},
        {"photos", Mode::Photos, 12, "Files Phone Connected via USB (12 Photos)"},
        {"no photos", Mode::Photos, 0, "Files Phone Connected via USB"},
        {"notes", Mode::Notes, 2, "Files Phone Connected via USB (2 Notes)"},
        {"messages", Mode::Messages, 3, "Files Phone Connected via USB (3 Messages)"},
        {"calls", Mode::Calls, 1, "Files Phone Connected via USB (1 Call History Item)"},
        {"contacts", Mode::Contacts, 5, "Files Phone Connected via USB (5 Contacts)"},
        {"bookmarks", Mode::Bookmarks, 2, "Files Phone Connected via USB (2 Items)"},
        {"voice memos", Mode::VoiceMemos, 4, "Files Phone Connected via USB (4 Voice Memos)"},
        {"voicemail shows 0", Mode::Voicemail, 0, "Files Phone Connected via USB (0 Voicemails)"},
        {"music", Mode::Music, 7, "Files Phone Connected via USB (7 Tracks)"},
        {"other modes", Mode::Other, 0, "Files Phone Connected via USB (1.4 MB Available)"},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.label);
        w.mode = t.mode;
        w.counts.clear();
        w.counts.insert(int(t.mode), t.count);
        QString colour;
        EXPECT_EQ(c.statusText(&colour), QString::fromLatin1(t.text));
        EXPECT_EQ(colour, QString("green"));
    }

    // A transient message and the wait for the media application, in the data modes only.
    w.mode = Mode::Messages;
    w.counts.insert(int(Mode::Messages), 3);
    c.updateMessage(QStringLiteral("Reading messages"));
    EXPECT_EQ(c.statusText(nullptr), QString("Files Phone Connected via USB (Reading messages)"));
    c.mWaitingForMediaApplication.store(true);
    EXPECT_EQ(c.statusText(nullptr), QString("Files Phone Connected via USB (Waiting for iTunes Sync to Finish...)"));
    c.mWaitingForMediaApplication.store(false);
    w.mode = Mode::Photos;
    w.counts.insert(int(Mode::Photos), 2);
    EXPECT_EQ(c.statusText(nullptr), QString("Files Phone Connected via USB (2 Photos)"));
    c.updateMessage(QString());
    EXPECT_TRUE(c.message().isNull());

    // The free-space figure: exactly the reserve shows none; the whole disk outside the user area.
    w.mode = Mode::Files;
    c.mAFCFree.store(0);
    EXPECT_EQ(c.statusText(nullptr), QString("Files Phone Connected via USB"));
    c.mAFC2Free.store(2050000000);
    w.userArea = false;
    EXPECT_EQ(c.statusText(nullptr), QString("Files Phone Connected via USB (2 GB Available)"));
    EXPECT_EQ(c.getFreeBytes(), uint64_t(2050000000));
    w.userArea = true;

    // An empty name shows the class; away shows orange; an error or no device draws nothing.
    {
        std::lock_guard lock(c.mDeviceValuesLock);
        c.mDeviceName.clear();
    }
    c.mAFCFree.store(1500000);
    c.mStatus.store(AppController::kStatusAway);
    QString colour;
    EXPECT_EQ(c.statusText(&colour), QString("iPhone Connected via USB"));
    EXPECT_EQ(colour, QString("orange"));
    c.mStatus.store(AppController::kStatusConnected);
    c.updateStatusMessage();
    EXPECT_EQ(w.statusText, QString("iPhone Connected via USB (1.4 MB Available)"));
    EXPECT_EQ(w.statusColour, QString("green"));
    c.setErrorCode(-3);
    EXPECT_TRUE(c.statusText(nullptr).isNull());
    c.setErrorCode(0);
}

TEST(DeviceValues, FreeSpaceFollowsWritesAndNeverWaitsForTheLock)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    rig.window.mode = Mode::Files;

    c.freeSpaceRound();
    const uint64_t before = c.getFreeDeviceBytes(false);
    ASSERT_GT(before, uint64_t(0));
    EXPECT_EQ(before, c.doGetFreeDeviceBytes(false));
    // The device keeps no more free than its total less the reserve.
    EXPECT_LE(before, uint64_t(1000000000) - AppController::kFreeSpaceReserve);

    writePattern(rig.local(QStringLiteral("two-mb.bin")), 2000000);
    c.resetCopyOperation();
    ASSERT_EQ(c.uploadFile(rig.local(QStringLiteral("two-mb.bin")), QStringLiteral("two-mb.bin")), 0);
    c.freeSpaceRound();
    const uint64_t after = c.getFreeDeviceBytes(false);
    EXPECT_GE(before - after, uint64_t(2000000));
    EXPECT_LT(before - after, uint64_t(2100000));

    // Held by a transfer: the round is skipped at once.
    c.mAFCFree.store(1);
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        std::lock_guard lock(c.mLock);
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    c.freeSpaceRound();
    EXPECT_EQ(c.getFreeDeviceBytes(false), uint64_t(1));
    release.set_value();
    holder.join();

    // Only the file modes read free space.
    rig.window.mode = Mode::Messages;
    c.freeSpaceRound();
    EXPECT_EQ(c.getFreeDeviceBytes(false), uint64_t(1));

    // Without an open connection the round does not reconnect.
    rig.window.mode = Mode::Files;
    {
        std::lock_guard lock(c.mLock);
        AFCConnectionClose(c.mConn);
        c.mConn = nullptr;
        c.mAFCHandle = nullptr;
    }
    c.freeSpaceRound();
    {
        std::lock_guard lock(c.mLock);
        EXPECT_EQ(c.mConn, nullptr);
        EXPECT_EQ(c.getFreeDeviceBytes(false), uint64_t(1));
    }

    // The device goes: the next one is never shown, or checked against, its free space.
    c.mLastFreeBytes.store(5);
    c.mStatus.store(AppController::kStatusDisconnected);
    c.setupDevice();
    EXPECT_EQ(c.getFreeDeviceBytes(false), uint64_t(0));
    EXPECT_EQ(c.getFreeBytes(), uint64_t(0));
}

TEST(DeviceValues, SavedTableSorts)
{
    TestHome home;
    UserDefaults &defaults = UserDefaults::standard();
    EXPECT_FALSE(AppController::tableHasSavedSort(QStringLiteral("Apps")));
    defaults.setObject(QVariantList{}, QStringLiteral("NSTableView Sort Ordering Apps"));
    EXPECT_FALSE(AppController::tableHasSavedSort(QStringLiteral("Apps")));
    defaults.setObject(QStringLiteral("not a list"), QStringLiteral("NSTableView Sort Ordering Apps"));
    EXPECT_FALSE(AppController::tableHasSavedSort(QStringLiteral("Apps")));
    defaults.setObject(QVariantList{QStringLiteral("name")}, QStringLiteral("NSTableView Sort Ordering Apps"));
    EXPECT_TRUE(AppController::tableHasSavedSort(QStringLiteral("Apps")));

    const QVariantList order{QVariant::fromValue(KeyedArchive::makeObject(QStringLiteral("NSSortDescriptor"),
                                                                          {{"NSKey", "name"}, {"NSAscending", true}}))};
    defaults.setObject(KeyedArchive::encode(order, nullptr, QStringLiteral("Array")),
                       QStringLiteral("NSTableView Sort Ordering v2 Calls"));
    EXPECT_TRUE(AppController::tableHasSavedSort(QStringLiteral("Calls")));
    defaults.setObject(KeyedArchive::encode(QVariantList{}, nullptr, QStringLiteral("Array")),
                       QStringLiteral("NSTableView Sort Ordering v2 Calls"));
    EXPECT_FALSE(AppController::tableHasSavedSort(QStringLiteral("Calls")));
}
