// Device-level behaviour that both backends must give alike, run against each (see
// DeviceUnderTest.h); the wire-level faults at the end exist only for the real backend.

#include "DeviceUnderTest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <cstdlib>

namespace {

void setBool(plist_t settings, const char *key, bool value)
{
    plist_dict_set_item(settings, key, plist_new_bool(value));
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator.generate());
    return bytes;
}

} // namespace

TEST_F(BACKEND_FIXTURE, AttachesWithItsIdentityAndDetachesWhenItGoes)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    EXPECT_EQ(AMDeviceGetInterfaceType(device), uint32_t(kAMDInterfaceUSB));
    char *id = AMDeviceCopyDeviceIdentifier(device);
    EXPECT_EQ(std::string(id ? id : ""), udid());
    std::free(id);

    QDir(folder()).removeRecursively();
    EXPECT_TRUE(waitForDetach(20000));
    // The old reference stays safe to call.
    EXPECT_EQ(AMDeviceConnect(device), kAMDNotConnectedError);
}

TEST_F(BACKEND_FIXTURE, ValuesAndTheIdentityTheArchiveKeysOn)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);
    EXPECT_EQ(stringValue(device, nullptr, "DeviceName"), "Test iPhone");
    EXPECT_EQ(stringValue(device, nullptr, "SerialNumber"), "F17USBPHONE1");
    EXPECT_EQ(stringValue(device, nullptr, "ProductVersion"), "10.2");
    EXPECT_EQ(stringValue(device, nullptr, "UniqueDeviceID"), udid());
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, "NoSuchValue"), nullptr);
    // Domain values need a session.
    EXPECT_EQ(AMDeviceCopyValue(device, "com.apple.mobile.backup", "Version"), nullptr);
    ASSERT_EQ(AMDeviceStartSession(device), kAMDSuccess);
    EXPECT_EQ(stringValue(device, "com.apple.mobile.backup", "Version"), "2.0");
    plist_t domain = AMDeviceCopyValue(device, "com.apple.mobile.backup", nullptr);
    ASSERT_TRUE(domain);
    EXPECT_EQ(plist_get_node_type(domain), PLIST_DICT);
    plist_free(domain);
}

// What the window words from: each device state gives its code, and the way to a session.
TEST_F(BACKEND_FIXTURE, PairingAndLockGiveTheCodesTheWindowWords)
{
    struct Case
    {
        const char *name;
        std::function<void(plist_t)> tweak;
        AMDError firstPair;
        AMDError secondPair;
    };
    const Case cases[] = {
        {"refused once, then trusted",
         [](plist_t s) { setBool(s, "Paired", false); plist_dict_set_item(s, "PairingRefusals", plist_new_uint(1)); },
         kAMDUserDeniedPairingError, kAMDSuccess},
        {"locked with a passcode",
         [](plist_t s) { setBool(s, "Paired", false); setBool(s, "PasscodeLocked", true); },
         kAMDPasswordProtectedError, kAMDPasswordProtectedError},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AMDeviceRef device = attach(QStringLiteral("usb-phone"), c.tweak);
        ASSERT_TRUE(device);
        ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);
        EXPECT_EQ(AMDeviceIsPaired(device), 0);
        EXPECT_EQ(AMDeviceValidatePairing(device), kAMDNotPairedError);
        EXPECT_EQ(AMDeviceStartSession(device), kAMDNotPairedError);
        EXPECT_EQ(AMDevicePair(device), c.firstPair);
        EXPECT_EQ(AMDevicePair(device), c.secondPair);
        if (c.secondPair == kAMDSuccess) {
            EXPECT_EQ(AMDeviceIsPaired(device), 1);
            EXPECT_EQ(AMDeviceValidatePairing(device), kAMDSuccess);
            EXPECT_EQ(AMDeviceStartSession(device), kAMDSuccess);
        }
        AMDeviceDisconnect(device);
        detach();
    }
}

TEST_F(BACKEND_FIXTURE, ALockedDeviceRefusesItsFilesButNotItsValues)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"), [](plist_t s) { setBool(s, "PasscodeLocked", true); });
    ASSERT_TRUE(device);
    startSession(device);
    EXPECT_EQ(stringValue(device, nullptr, "DeviceName"), "Test iPhone");
    AMDServiceConnectionRef service = nullptr;
    EXPECT_EQ(AMDeviceStartService(device, kAMDFileService, &service), kAMDDeviceLockedError);
    EXPECT_EQ(AMDeviceStartService(device, "com.example.nothing", &service), kAMDInvalidServiceError);
}

TEST_F(BACKEND_FIXTURE, AFolderGoesUpAndComesBackByteForByte)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    startSession(device);
    AFCConnectionRef files = openFiles(device);
    ASSERT_TRUE(files);

    const std::vector<std::pair<std::string, QByteArray>> contents = {
        {"empty.txt", QByteArray()},
        {"small.txt", QByteArray("hello\n")},
        {"large.bin", randomBytes(3 * 1024 * 1024 + 17)},
    };
    ASSERT_EQ(AFCDirectoryCreate(files, "/Quillon/folder/inner"), kAFCSuccess);
    for (const auto &[name, bytes] : contents)
        ASSERT_EQ(writeAll(files, ("/Quillon/folder/inner/" + name).c_str(), bytes), kAFCSuccess) << name;
    EXPECT_EQ(list(files, "/Quillon/folder/inner"), (std::vector<std::string>{"empty.txt", "large.bin", "small.txt"}));
    for (const auto &[name, bytes] : contents) {
        const std::string path = "/Quillon/folder/inner/" + name;
        EXPECT_EQ(readAll(files, path.c_str()), bytes) << name;
        EXPECT_EQ(info(files, path.c_str(), "st_size"), std::to_string(bytes.size()));
        EXPECT_EQ(info(files, path.c_str(), "st_ifmt"), "S_IFREG");
    }
    // The files really are in the device's folder.
    QFile onDisk(folder() + QStringLiteral("/media/Quillon/folder/inner/large.bin"));
    ASSERT_TRUE(onDisk.open(QIODevice::ReadOnly));
    EXPECT_EQ(onDisk.readAll(), contents[2].second);

    AFCDictionaryRef device_info = nullptr;
    ASSERT_EQ(AFCDeviceInfoOpen(files, &device_info), kAFCSuccess);
    bool sawFree = false;
    char *key = nullptr;
    char *value = nullptr;
    while (AFCKeyValueRead(device_info, &key, &value) == kAFCSuccess && key)
        sawFree = sawFree || std::string(key) == "FSFreeBytes";
    AFCKeyValueClose(device_info);
    EXPECT_TRUE(sawFree);

    EXPECT_EQ(AFCRenamePath(files, "/Quillon/folder/inner/small.txt", "/Quillon/folder/moved.txt"), kAFCSuccess);
    EXPECT_EQ(readAll(files, "/Quillon/folder/moved.txt"), QByteArray("hello\n"));
    AFCOperationRef setTime = AFCOperationCreateSetModTime("/Quillon/folder/moved.txt", 1500000000ull * 1000000000ull);
    EXPECT_EQ(AFCConnectionProcessOperation(files, setTime, 0), kAFCSuccess);
    AFCOperationRelease(setTime);
    EXPECT_EQ(info(files, "/Quillon/folder/moved.txt", "st_mtime"), "1500000000000000000");
    EXPECT_EQ(AFCRemovePath(files, "/Quillon/folder/moved.txt"), kAFCSuccess);
    AFCConnectionClose(files);
}

TEST_F(BACKEND_FIXTURE, FileErrorsKeepTheirCodes)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"));
    ASSERT_TRUE(device);
    startSession(device);
    AFCConnectionRef files = openFiles(device);
    ASSERT_TRUE(files);
    AFCDirectoryRef directory = nullptr;
    EXPECT_EQ(AFCDirectoryOpen(files, "/Fernlow/readme.txt", &directory), kAFCNotADirectoryError);
    EXPECT_EQ(AFCDirectoryOpen(files, "/missing", &directory), kAFCObjectNotFoundError);
    AFCFileRef file = 0;
    EXPECT_EQ(AFCFileRefOpen(files, "/missing/file", kAFCFileModeRead, &file), kAFCObjectNotFoundError);
    EXPECT_EQ(AFCRemovePath(files, "/Fernlow"), kAFCNotEmptyError);
    EXPECT_EQ(AFCDirectoryCreate(files, "/Fernlow/readme.txt"), kAFCObjectExistsError);
    EXPECT_EQ(list(files, "/../.."), std::vector<std::string>{});
    AFCError error = kAFCSuccess;
    list(files, "/../..", &error);
    EXPECT_EQ(error, kAFCInvalidArgumentError);
    AFCConnectionClose(files);
}

TEST_F(BACKEND_FIXTURE, AppListIconsAndDocumentsThroughTheAppContainer)
{
    AMDeviceRef device = attach(QStringLiteral("usb-phone"), [](plist_t s) {
        plist_dict_set_item(s, "AppContainers", plist_new_string("Documents"));
    });
    ASSERT_TRUE(device);
    startSession(device);

    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ApplicationType", plist_new_string("User"));
    plist_t apps = nullptr;
    ASSERT_EQ(AMDeviceLookupApplications(device, options, &apps), kAMDSuccess);
    plist_free(options);
    ASSERT_TRUE(apps);
    EXPECT_TRUE(plist_dict_get_item(apps, "com.example.notes"));
    EXPECT_TRUE(plist_dict_get_item(apps, "com.example.game"));
    EXPECT_FALSE(plist_dict_get_item(apps, "com.apple.mobilesafari"));
    plist_free(apps);

    AMDServiceConnectionRef springboard = nullptr;
    ASSERT_EQ(AMDeviceStartService(device, kAMDSpringBoardService, &springboard), kAMDSuccess);
    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "command", plist_new_string("getIconPNGData"));
    plist_dict_set_item(request, "bundleId", plist_new_string("com.example.notes"));
    ASSERT_EQ(AMDServiceConnectionSendMessage(springboard, request, kAMDPropertyListBinary), kAMDSuccess);
    plist_free(request);
    plist_t icon = nullptr;
    ASSERT_EQ(AMDServiceConnectionReceiveMessage(springboard, &icon, nullptr), kAMDSuccess);
    QFile png(folder() + QStringLiteral("/apps/com.example.notes/icon.png"));
    ASSERT_TRUE(png.open(QIODevice::ReadOnly));
    plist_t data = plist_dict_get_item(icon, "pngData");
    ASSERT_TRUE(data);
    char *bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(data, &bytes, &length);
    EXPECT_EQ(QByteArray(bytes, qsizetype(length)), png.readAll());
    std::free(bytes);
    plist_free(icon);
    AMDServiceConnectionInvalidate(springboard);

    struct Case
    {
        const char *bundle;
        const char *command;
        AMDError expected;
    };
    const Case cases[] = {
        {"com.example.notes", "VendDocuments", kAMDSuccess},
        {"com.example.notes", "VendContainer", kAMDCommandRefusedError},
        {"com.example.nothing", "VendDocuments", kAMDApplicationNotFoundError},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.bundle) + " " + c.command);
        plist_t command = plist_new_dict();
        plist_dict_set_item(command, "Command", plist_new_string(c.command));
        AMDServiceConnectionRef container = nullptr;
        EXPECT_EQ(AMDeviceStartHouseArrestService(device, c.bundle, command, &container), c.expected);
        plist_free(command);
        if (c.expected != kAMDSuccess)
            continue;
        AFCConnectionRef files = nullptr;
        ASSERT_EQ(AFCConnectionOpen(container, 0, &files), kAFCSuccess);
        if (AMDSecureIOContextRef context = AMDServiceConnectionGetSecureIOContext(container))
            AFCConnectionSetSecureContext(files, context);
        EXPECT_EQ(list(files, "/Documents"), std::vector<std::string>{"note.txt"});
        QFile note(folder() + QStringLiteral("/apps/com.example.notes/container/Documents/note.txt"));
        ASSERT_TRUE(note.open(QIODevice::ReadOnly));
        EXPECT_EQ(readAll(files, "/Documents/note.txt"), note.readAll());
        AFCConnectionClose(files);
    }
}
