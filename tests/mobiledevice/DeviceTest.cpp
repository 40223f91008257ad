// Devices through the program's binding: attach and detach, connection, sessions, values,
// pairing, passcode lock, apps and containers, and Wi-Fi comings and goings.

#include "SimDeviceFixture.h"

#include "device/MobileDeviceRunLoopSource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void setBool(plist_t settings, const char *key, bool value)
{
    plist_dict_set_item(settings, key, plist_new_bool(value));
}

void setInteger(plist_t settings, const char *key, long long value)
{
    plist_dict_set_item(settings, key, plist_new_uint(static_cast<uint64_t>(value)));
}

void setReal(plist_t settings, const char *key, double value)
{
    plist_dict_set_item(settings, key, plist_new_real(value));
}

std::vector<std::string> dictKeys(plist_t dict)
{
    std::vector<std::string> keys;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    char *key = nullptr;
    plist_t value = nullptr;
    for (;;) {
        plist_dict_next_item(dict, it, &key, &value);
        if (!key)
            break;
        keys.emplace_back(key);
        std::free(key);
        key = nullptr;
    }
    std::free(it);
    std::sort(keys.begin(), keys.end());
    return keys;
}

// A binary property list of the given objects, with 4-byte offsets and references.
QByteArray binaryPlist(const std::vector<QByteArray> &objects)
{
    auto bigEndian = [](quint64 value, int width) {
        QByteArray bytes;
        for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
            bytes += char((value >> shift) & 0xFF);
        return bytes;
    };
    QByteArray out("bplist00");
    std::vector<quint64> offsets;
    for (const QByteArray &object : objects) {
        offsets.push_back(quint64(out.size()));
        out += object;
    }
    const quint64 table = quint64(out.size());
    for (quint64 offset : offsets)
        out += bigEndian(offset, 4);
    out += QByteArray(6, '\0') + char(4) + char(4) + bigEndian(objects.size(), 8) + bigEndian(0, 8)
           + bigEndian(table, 8);
    return out;
}

// `count` arrays, each holding the next one `fanOut` times, then an integer.
QByteArray nestedArrays(int count, int fanOut)
{
    std::vector<QByteArray> objects;
    for (int i = 0; i < count; ++i) {
        QByteArray array(1, char(0xA0 | fanOut));
        for (int k = 0; k < fanOut; ++k)
            for (int shift = 24; shift >= 0; shift -= 8)
                array += char(((i + 1) >> shift) & 0xFF);
        objects.push_back(array);
    }
    objects.push_back(QByteArray("\x10\x01", 2));
    return binaryPlist(objects);
}

} // namespace

using MobileDeviceDevice = MobileDeviceTest;

// What the program does first: bind, hear the device attach, connect, list "/", read and
// write a file, hear it detach.
TEST_F(MobileDeviceDevice, AttachConnectListReadWriteDetach)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);

    startSession(device);
    AFCConnectionRef files = openFiles(device);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(list(files, "/"), (std::vector<std::string>{"DCIM", "Fernlow"}));
    EXPECT_EQ(readAll(files, "/Fernlow/readme.txt"), QByteArray("Hello from the device.\n"));
    EXPECT_EQ(writeAll(files, "/Fernlow/from-host.txt", "written by the host"), kAFCSuccess);
    EXPECT_EQ(sim.readFile(QStringLiteral("phone"), QStringLiteral("media/Fernlow/from-host.txt")), QByteArray("written by the host"));

    sim.remove(QStringLiteral("phone"));
    ASSERT_TRUE(events.waitForDetach(device));
    // The reference stays safe to use; the device is simply gone.
    EXPECT_EQ(AMDeviceConnect(device), kAMDNotConnectedError);
    AFCDirectoryRef directory = nullptr;
    EXPECT_EQ(AFCDirectoryOpen(files, "/", &directory), kAMDNotConnectedError);
    EXPECT_EQ(AFCConnectionClose(files), kAFCSuccess);
}

// The program's run-loop source runs the callbacks in the thread that owns it (the main
// thread in Quillon), from that thread's event loop.
TEST_F(MobileDeviceDevice, CallbacksArriveInTheEventLoopOfTheSourcesThread)
{
    MobileDeviceRunLoopSource source;
    std::vector<QThread *> threads;
    AMDeviceNotificationRef subscription = nullptr;
    ASSERT_EQ(AMDeviceNotificationSubscribe([](const AMDeviceNotificationCallbackInfo *info, void *context) {
        if (info->message == kAMDeviceAttached)
            static_cast<std::vector<QThread *> *>(context)->push_back(QThread::currentThread());
    }, 0, 0, &threads, &subscription), kAMDSuccess);
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
    QElapsedTimer timer;
    timer.start();
    while (threads.empty() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.front(), QCoreApplication::instance()->thread());
    AMDeviceNotificationUnsubscribe(subscription);
}

TEST_F(MobileDeviceDevice, AttachAndDetachFollowTheFolders)
{
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("present"));
    DeviceEvents events;
    // A device already there is announced to a new subscription.
    AMDeviceRef present = events.nextAttach();
    ASSERT_NE(present, nullptr);

    // A folder without device.plist is no device.
    sim.writeFile(QStringLiteral("not-a-device"), QStringLiteral("media/x.txt"), "x");
    sim.attach(QStringLiteral("wifi-pad"), QStringLiteral("second"));
    AMDeviceRef second = events.nextAttach();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, present);
    EXPECT_TRUE(events.quietFor(300));

    sim.remove(QStringLiteral("present"));
    ASSERT_TRUE(events.waitForDetach(present));
    // Coming back is a new attachment with a new reference.
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("present"));
    AMDeviceRef again = events.nextAttach();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, present);

    size_t attaches = 0, detaches = 0;
    for (const auto &event : events.events)
        (event.message == kAMDeviceAttached ? attaches : detaches)++;
    EXPECT_EQ(attaches, 3u);
    EXPECT_EQ(detaches, 1u);
}

TEST_F(MobileDeviceDevice, ConnectionSessionAndValues)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);

    EXPECT_EQ(AMDeviceStartSession(device), kAMDNotConnectedError);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, "DeviceName"), nullptr);
    ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);
    EXPECT_EQ(AMDeviceIsPaired(device), 1);
    EXPECT_EQ(AMDeviceValidatePairing(device), kAMDSuccess);
    EXPECT_EQ(AMDeviceGetInterfaceType(device), static_cast<uint32_t>(kAMDInterfaceUSB));

    // Values of the device itself are readable without a session; a domain needs one.
    EXPECT_EQ(stringValue(device, nullptr, "DeviceName"), "Test iPhone");
    EXPECT_EQ(stringValue(device, "com.apple.mobile.backup", "Version"), "");
    ASSERT_EQ(AMDeviceStartSession(device), kAMDSuccess);
    const std::pair<const char *, const char *> values[] = {
        {"DeviceName", "Test iPhone"}, {"DeviceClass", "iPhone"}, {"UniqueDeviceID", "00008020-usb-phone"},
        {"SerialNumber", "F17USBPHONE1"}, {"ProductType", "iPhone9,3"}, {"ProductVersion", "10.2"},
        {"BuildVersion", "14C92"}, {"PhoneNumber", "+1 555 0100"}};
    for (const auto &[key, expected] : values) {
        SCOPED_TRACE(key);
        EXPECT_EQ(stringValue(device, nullptr, key), expected);
    }
    EXPECT_EQ(stringValue(device, "com.apple.mobile.backup", "Version"), "2.0");
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, "NoSuchKey"), nullptr);
    plist_t all = AMDeviceCopyValue(device, nullptr, nullptr);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(plist_dict_get_size(all), 8u);
    plist_free(all);

    char *identifier = AMDeviceCopyDeviceIdentifier(device);
    EXPECT_STREQ(identifier, "00008020-usb-phone");
    std::free(identifier);
    plist_t description = AMDeviceSerialize(device);
    EXPECT_EQ(dictKeys(description), (std::vector<std::string>{"DeviceName", "InterfaceType", "ProductType",
                                                               "ProductVersion", "SerialNumber", "UniqueDeviceID"}));
    plist_free(description);

    AMDServiceConnectionRef service = nullptr;
    EXPECT_EQ(AMDeviceStartService(device, "com.example.nothing", &service), kAMDInvalidServiceError);
    EXPECT_EQ(AMDeviceStartService(device, "com.apple.mobilebackup2", &service), kAMDUnsupportedError);
    EXPECT_EQ(AMDeviceStopSession(device), kAMDSuccess);
    EXPECT_EQ(AMDeviceStartService(device, kAMDFileService, &service), kAMDSessionInactiveError);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(AMDeviceDisconnect(device), kAMDSuccess);
    EXPECT_EQ(AMDeviceStartSession(device), kAMDNotConnectedError);

    AMDeviceRelease(device);
    EXPECT_EQ(AMDeviceConnect(device), kAMDSuccess); // references outlive a release
}

TEST_F(MobileDeviceDevice, PairingRefusedThenGrantedAndRemembered)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"), [](plist_t settings) {
        setBool(settings, "Paired", false);
        setInteger(settings, "PairingRefusals", 1);
    });
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);

    EXPECT_EQ(AMDeviceIsPaired(device), 0);
    EXPECT_EQ(AMDeviceValidatePairing(device), kAMDNotPairedError);
    EXPECT_EQ(AMDeviceStartSession(device), kAMDNotPairedError);
    AMDError error = kAMDSuccess;
    EXPECT_EQ(AMDevicePowerAssertionCreate(device, "AMDPowerAssertionTypeWirelessSync", "test", nullptr, 10, &error), 0u);
    EXPECT_EQ(error, kAMDNotPairedError);
    // Only the name is readable while unpaired.
    EXPECT_EQ(stringValue(device, nullptr, "DeviceName"), "Test iPhone");

    EXPECT_EQ(AMDevicePair(device), kAMDUserDeniedPairingError); // the user said no
    EXPECT_EQ(AMDeviceIsPaired(device), 0);
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ExtendedPairingErrors", plist_new_bool(1));
    EXPECT_EQ(AMDevicePairWithOptions(device, options), kAMDSuccess); // and then trusted us
    plist_free(options);
    EXPECT_EQ(AMDeviceIsPaired(device), 1);
    EXPECT_EQ(AMDeviceValidatePairing(device), kAMDSuccess);
    EXPECT_EQ(AMDeviceStartSession(device), kAMDSuccess);

    // The device remembers this host when it comes back.
    sim.writeFile(QStringLiteral("phone"), QStringLiteral("away"), {});
    ASSERT_TRUE(events.waitForDetach(device));
    sim.removeFile(QStringLiteral("phone"), QStringLiteral("away"));
    AMDeviceRef back = events.nextAttach();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(AMDeviceIsPaired(back), 1);
}

TEST_F(MobileDeviceDevice, PasscodeLockRefusesPairingAndFileServices)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("unpaired"), [](plist_t settings) {
        setBool(settings, "Paired", false);
        setBool(settings, "PasscodeLocked", true);
    });
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("paired"), [](plist_t settings) {
        setBool(settings, "PasscodeLocked", true);
    });
    AMDeviceRef first = events.nextAttach();
    AMDeviceRef second = events.nextAttach();
    ASSERT_TRUE(first && second);
    AMDeviceRef unpaired = AMDeviceIsPaired(first) ? second : first;
    AMDeviceRef paired = unpaired == first ? second : first;

    ASSERT_EQ(AMDeviceConnect(unpaired), kAMDSuccess);
    EXPECT_EQ(AMDevicePair(unpaired), kAMDPasswordProtectedError);
    EXPECT_EQ(AMDevicePairWithOptions(unpaired, nullptr), kAMDPasswordProtectedError);

    startSession(paired);
    AMDServiceConnectionRef service = nullptr;
    EXPECT_EQ(AMDeviceStartService(paired, kAMDFileService, &service), kAMDDeviceLockedError);
    EXPECT_EQ(AMDeviceSecureStartService(paired, kAMDWholeFileSystemService, nullptr, &service), kAMDDeviceLockedError);
    EXPECT_EQ(AMDeviceStartHouseArrestService(paired, "com.example.notes", nullptr, &service), kAMDDeviceLockedError);
    // The device's values and icons are still there.
    EXPECT_EQ(stringValue(paired, nullptr, "DeviceName"), "Test iPhone");
    EXPECT_EQ(AMDeviceStartService(paired, kAMDSpringBoardService, &service), kAMDSuccess);
    EXPECT_EQ(AMDServiceConnectionInvalidate(service), kAMDSuccess);
}

TEST_F(MobileDeviceDevice, DeviceNeedingNewerHostSoftwareRefusesSessions)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"), [](plist_t settings) {
        setBool(settings, "RequiresNewerHost", true);
    });
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(AMDeviceConnect(device), kAMDSuccess);
    EXPECT_EQ(AMDeviceStartSession(device), kAMDHostTooOldError);
}

TEST_F(MobileDeviceDevice, ApplicationLookupContainersAndIcons)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    startSession(device);

    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ApplicationType", plist_new_string("Any"));
    plist_t wanted = plist_new_array();
    for (const char *key : {"CFBundleIdentifier", "CFBundleDisplayName", "UIFileSharingEnabled"})
        plist_array_append_item(wanted, plist_new_string(key));
    plist_dict_set_item(options, "ReturnAttributes", wanted);
    plist_t apps = nullptr;
    ASSERT_EQ(AMDeviceLookupApplications(device, options, &apps), kAMDSuccess);
    EXPECT_EQ(dictKeys(apps), (std::vector<std::string>{"com.apple.mobilesafari", "com.example.game", "com.example.notes"}));
    EXPECT_EQ(dictKeys(plist_dict_get_item(apps, "com.example.notes")),
              (std::vector<std::string>{"CFBundleDisplayName", "CFBundleIdentifier", "UIFileSharingEnabled"}));
    plist_free(apps);
    plist_dict_set_item(options, "ApplicationType", plist_new_string("User"));
    ASSERT_EQ(AMDeviceLookupApplications(device, options, &apps), kAMDSuccess);
    EXPECT_EQ(plist_dict_get_size(apps), 2u);
    plist_free(apps);
    plist_free(options);

    // The whole container, then the Documents folder only.
    AMDServiceConnectionRef service = nullptr;
    ASSERT_EQ(AMDeviceStartHouseArrestService(device, "com.example.game", nullptr, &service), kAMDSuccess);
    AFCConnectionRef container = nullptr;
    ASSERT_EQ(AFCConnectionOpen(service, 0, &container), kAFCSuccess);
    EXPECT_EQ(AFCConnectionSetSecureContext(container, AMDServiceConnectionGetSecureIOContext(service)), kAFCSuccess);
    EXPECT_EQ(list(container, "/"), (std::vector<std::string>{"Library"}));
    EXPECT_EQ(readAll(container, "/Library/save.dat"), QByteArray("saved game\n"));
    AFCConnectionClose(container);

    plist_t vendDocuments = plist_new_dict();
    plist_dict_set_item(vendDocuments, "Command", plist_new_string("VendDocuments"));
    EXPECT_EQ(AMDeviceStartHouseArrestService(device, "com.example.game", vendDocuments, &service), kAMDCommandRefusedError)
        << "the game does not share files";
    ASSERT_EQ(AMDeviceStartHouseArrestService(device, "com.example.notes", vendDocuments, &service), kAMDSuccess);
    ASSERT_EQ(AFCConnectionOpen(service, 0, &container), kAFCSuccess);
    EXPECT_EQ(list(container, "/"), (std::vector<std::string>{"Documents"}));
    EXPECT_EQ(readAll(container, "/Documents/note.txt"), QByteArray("A note kept in the app.\n"));
    AFCError error = kAFCSuccess;
    list(container, "/Library", &error);
    EXPECT_EQ(error, kAFCPermissionError);
    // A link in Documents does not lead to the rest of the container either.
    sim.writeFile(QStringLiteral("phone"), QStringLiteral("apps/com.example.notes/container/Library/private.txt"), "private");
    ASSERT_EQ(::symlink("../Library/private.txt",
                        qPrintable(sim.folder(QStringLiteral("phone")) + QStringLiteral("/apps/com.example.notes/container/Documents/peek"))), 0);
    readAll(container, "/Documents/peek", &error);
    EXPECT_EQ(error, kAFCPermissionError);
    AFCConnectionClose(container);

    EXPECT_EQ(AMDeviceStartHouseArrestService(device, "com.example.missing", nullptr, &service), kAMDApplicationNotFoundError);
    EXPECT_EQ(AMDeviceStartHouseArrestService(device, "../phone", nullptr, &service), kAMDApplicationNotFoundError);
    sim.editSettings(QStringLiteral("phone"), [](plist_t settings) {
        plist_dict_set_item(settings, "AppContainers", plist_new_string("Documents"));
    });
    EXPECT_EQ(AMDeviceStartHouseArrestService(device, "com.example.notes", nullptr, &service), kAMDCommandRefusedError);
    EXPECT_EQ(AMDeviceStartHouseArrestService(device, "com.example.notes", vendDocuments, &service), kAMDSuccess);
    AFCConnectionOpen(service, 0, &container);
    AFCConnectionClose(container);
    plist_free(vendDocuments);

    // Icons over the springboard service, with both message pairs.
    ASSERT_EQ(AMDeviceSecureStartService(device, kAMDSpringBoardService, nullptr, &service), kAMDSuccess);
    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "command", plist_new_string("getIconPNGData"));
    plist_dict_set_item(request, "bundleId", plist_new_string("com.example.notes"));
    ASSERT_EQ(AMDeviceSendMessage(service, request), kAMDSuccess);
    plist_t reply = nullptr;
    ASSERT_EQ(AMDeviceReceiveMessage(service, &reply), kAMDSuccess);
    plist_t png = plist_dict_get_item(reply, "pngData");
    ASSERT_NE(png, nullptr);
    char *bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(png, &bytes, &length);
    EXPECT_EQ(QByteArray(bytes, static_cast<int>(length)), sim.readFile(QStringLiteral("phone"), QStringLiteral("apps/com.example.notes/icon.png")));
    EXPECT_EQ(std::memcmp(bytes, "\x89PNG", 4), 0);
    std::free(bytes);
    plist_free(reply);
    plist_dict_set_item(request, "bundleId", plist_new_string("com.example.game"));
    ASSERT_EQ(AMDServiceConnectionSendMessage(service, request, kAMDPropertyListXML), kAMDSuccess);
    ASSERT_EQ(AMDServiceConnectionReceiveMessage(service, &reply, nullptr), kAMDSuccess);
    EXPECT_EQ(plist_dict_get_item(reply, "pngData"), nullptr) << "an app without an icon";
    plist_free(reply);
    EXPECT_EQ(AMDServiceConnectionReceiveMessage(service, &reply, nullptr), kAMDNoMessageError);
    plist_free(request);
    EXPECT_EQ(AMDServiceConnectionInvalidate(service), kAMDSuccess);
}

TEST_F(MobileDeviceDevice, WiFiDeviceGoesAwayAndComesBack)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("wifi-pad"), QStringLiteral("pad"));
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(AMDeviceGetInterfaceType(device), static_cast<uint32_t>(kAMDInterfaceWiFi));
    startSession(device);

    // Over Wi-Fi the file connection works only once it has the secure context.
    AMDServiceConnectionRef service = nullptr;
    ASSERT_EQ(AMDeviceSecureStartService(device, kAMDFileService, nullptr, &service), kAMDSuccess);
    AMDSecureIOContextRef context = AMDServiceConnectionGetSecureIOContext(service);
    ASSERT_NE(context, nullptr);
    AFCConnectionRef files = nullptr;
    ASSERT_EQ(AFCConnectionOpen(service, 0, &files), kAFCSuccess);
    AFCError error = kAFCSuccess;
    list(files, "/", &error);
    EXPECT_EQ(error, kAMDNotConnectedError);
    ASSERT_EQ(AFCConnectionSetSecureContext(files, context), kAFCSuccess);
    EXPECT_EQ(list(files, "/Fernlow"), (std::vector<std::string>{"welcome.txt"}));

    AMDError assertionError = -1;
    EXPECT_NE(AMDevicePowerAssertionCreate(device, "AMDPowerAssertionTypeWirelessSync", "com.apple.iTunes", nullptr, 1200.0, &assertionError), 0u);
    EXPECT_EQ(assertionError, kAMDSuccess);
    plist_t token = nullptr;
    ASSERT_EQ(AMDeviceCreateWakeupToken(device, nullptr, &token), kAMDSuccess);
    EXPECT_EQ(AMDeviceWakeupUsingToken(token), kAMDSuccess);

    // Out of reach: it detaches, its reference answers "not connected".
    sim.writeFile(QStringLiteral("pad"), QStringLiteral("away"), {});
    ASSERT_TRUE(events.waitForDetach(device));
    EXPECT_EQ(AMDeviceStartSession(device), kAMDNotConnectedError);
    EXPECT_EQ(readAll(files, "/Fernlow/welcome.txt", &error), QByteArray());
    EXPECT_EQ(error, kAMDNotConnectedError);
    EXPECT_EQ(AMDeviceWakeupUsingToken(token), kAMDWakeupTokenError);

    // Back again: a new attachment, usable at once.
    sim.removeFile(QStringLiteral("pad"), QStringLiteral("away"));
    AMDeviceRef back = events.nextAttach();
    ASSERT_NE(back, nullptr);
    EXPECT_NE(back, device);
    startSession(back);
    EXPECT_EQ(stringValue(back, nullptr, "UniqueDeviceID"), "00008020-wifi-pad");
    EXPECT_EQ(AMDeviceWakeupUsingToken(token), kAMDSuccess);

    plist_dict_set_item(token, "WakeupToken", plist_new_string("forged"));
    EXPECT_EQ(AMDeviceWakeupUsingToken(token), kAMDWakeupTokenError);
    plist_free(token);
    AFCConnectionClose(files);
}

// A Wi-Fi device that nobody keeps awake falls asleep (it detaches); its wake-up token
// brings it back, and a power assertion keeps it awake for the assertion's time.
TEST_F(MobileDeviceDevice, WiFiDeviceSleepsAndWakesUp)
{
    DeviceEvents events;
    // Long enough that a loaded machine still makes the power assertion below before the
    // woken device falls asleep again.
    sim.attach(QStringLiteral("wifi-pad"), QStringLiteral("pad"), [](plist_t settings) {
        setReal(settings, "SleepAfterSeconds", 1.0);
    });
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    startSession(device);
    plist_t token = nullptr;
    ASSERT_EQ(AMDeviceCreateWakeupToken(device, nullptr, &token), kAMDSuccess);
    EXPECT_TRUE(events.quietFor(500)) << "a connected device stays awake";
    ASSERT_EQ(AMDeviceDisconnect(device), kAMDSuccess);
    ASSERT_TRUE(events.waitForDetach(device, 3000));

    ASSERT_EQ(AMDeviceWakeupUsingToken(token), kAMDSuccess);
    AMDeviceRef awake = events.nextAttach(3000);
    ASSERT_NE(awake, nullptr);
    AMDError error = -1;
    EXPECT_NE(AMDevicePowerAssertionCreate(awake, "AMDPowerAssertionTypeWirelessSync", "test", nullptr, 1.5, &error), 0u);
    EXPECT_EQ(error, kAMDSuccess);
    EXPECT_TRUE(events.quietFor(800)) << "the assertion holds it awake";
    EXPECT_TRUE(events.waitForDetach(awake, 3000)) << "and it sleeps when the assertion ends";
    plist_free(token);
}

// The device folder's files are read as untrusted input: a property list nested past any
// real one or expanding through shared objects, a pipe where an icon belongs, and numbers
// outside every range are refused or read as absent, never a crash, a hang or a huge value.
TEST_F(MobileDeviceDevice, DamagedDeviceFilesAreRefused)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"), [](plist_t settings) {
        setReal(settings, "TotalBytes", 1e300);
    });
    const QString phone = QStringLiteral("phone");
    sim.writeFile(phone, QStringLiteral("apps/com.example.deep/app.plist"), nestedArrays(100000, 1));
    sim.writeFile(phone, QStringLiteral("apps/com.example.shared/app.plist"), nestedArrays(20, 2));
    const QString icon = sim.folder(phone) + QStringLiteral("/apps/com.example.game/icon.png");
    ::unlink(qPrintable(icon));
    ASSERT_EQ(::mkfifo(qPrintable(icon), 0600), 0);
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    startSession(device);

    plist_t apps = nullptr;
    ASSERT_EQ(AMDeviceLookupApplications(device, nullptr, &apps), kAMDSuccess);
    EXPECT_EQ(dictKeys(apps), (std::vector<std::string>{"com.apple.mobilesafari", "com.example.game", "com.example.notes"}));
    plist_free(apps);
    AMDServiceConnectionRef service = nullptr;
    EXPECT_EQ(AMDeviceStartHouseArrestService(device, "com.example.deep", nullptr, &service), kAMDApplicationNotFoundError);

    ASSERT_EQ(AMDeviceStartService(device, kAMDSpringBoardService, &service), kAMDSuccess);
    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "command", plist_new_string("getIconPNGData"));
    plist_dict_set_item(request, "bundleId", plist_new_string("com.example.game"));
    ASSERT_EQ(AMDeviceSendMessage(service, request), kAMDSuccess);
    plist_free(request);
    plist_t reply = nullptr;
    ASSERT_EQ(AMDeviceReceiveMessage(service, &reply), kAMDSuccess);
    EXPECT_EQ(plist_dict_get_item(reply, "pngData"), nullptr) << "a pipe is no icon";
    plist_free(reply);
    EXPECT_EQ(AMDServiceConnectionInvalidate(service), kAMDSuccess);

    AFCConnectionRef files = openFiles(device);
    EXPECT_EQ(deviceInfo(files, "FSTotalBytes"), "16000000000") << "an impossible size reads as none";
    AFCConnectionClose(files);

    // A whole device file that cannot be read: the device is there, with its defaults.
    sim.writeFile(phone, QStringLiteral("device.plist"), nestedArrays(100000, 1));
    EXPECT_EQ(AMDeviceGetInterfaceType(device), static_cast<uint32_t>(kAMDInterfaceUSB));
    EXPECT_EQ(stringValue(device, nullptr, "UniqueDeviceID"), "phone");

    // A sleep time no clock can hold means no sleep, not an instant one.
    sim.attach(QStringLiteral("wifi-pad"), QStringLiteral("pad"), [](plist_t settings) {
        setReal(settings, "SleepAfterSeconds", 1e300);
    });
    ASSERT_NE(events.nextAttach(), nullptr);
    EXPECT_TRUE(events.quietFor(300));
}

// XML files of the device folder are checked like binary ones: nesting past any real file (on
// which the property-list parser runs out of stack) and a NUL byte inside a string (on which
// it aborts the process) make the file unreadable, never a crash.
TEST_F(MobileDeviceDevice, DeeplyNestedXmlDeviceFilesAreRefused)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
    const QString phone = QStringLiteral("phone");
    const QByteArray head("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n");
    const int depth = 200000;
    QByteArray deep = head;
    deep.reserve(head.size() + depth * 15 + 16);
    for (int i = 0; i < depth; ++i)
        deep += "<array>";
    for (int i = 0; i < depth; ++i)
        deep += "</array>";
    deep += "</plist>\n";
    sim.writeFile(phone, QStringLiteral("apps/com.example.deep/app.plist"), deep);
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    startSession(device);

    plist_t apps = nullptr;
    ASSERT_EQ(AMDeviceLookupApplications(device, nullptr, &apps), kAMDSuccess);
    EXPECT_EQ(dictKeys(apps), (std::vector<std::string>{"com.apple.mobilesafari", "com.example.game", "com.example.notes"}));
    plist_free(apps);
}

TEST_F(MobileDeviceDevice, XmlDeviceFilesWithANulByteAreRefused)
{
    DeviceEvents events;
    sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
    const QString phone = QStringLiteral("phone");
    AMDeviceRef device = events.nextAttach();
    ASSERT_NE(device, nullptr);
    startSession(device);
    const QByteArray head("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n");
    const QByteArray withNul = head + "<dict><key>Values</key><dict><key>DeviceName</key><string>Nul" + '\0'
        + "Phone</string></dict></dict></plist>\n";
    ASSERT_TRUE(withNul.contains(QByteArray("Nul\0Phone", 9)));
    sim.writeFile(phone, QStringLiteral("device.plist"), withNul);
    EXPECT_EQ(stringValue(device, nullptr, "UniqueDeviceID"), "phone");
    EXPECT_EQ(stringValue(device, nullptr, "DeviceName"), "");
}
