// The fault file: each failure it asks for surfaces from the entry points with its code.

#include "SimDeviceFixture.h"

#include <memory>

#include <QElapsedTimer>

namespace {

class MobileDeviceFaults : public MobileDeviceTest
{
protected:
    void SetUp() override
    {
        MobileDeviceTest::SetUp();
        events = std::make_unique<DeviceEvents>();
        sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
        sim.writeFile(QStringLiteral("phone"), QStringLiteral("media/data.bin"), payload());
        device = events->nextAttach();
        ASSERT_NE(device, nullptr);
        startSession(device);
        files = openFiles(device);
        ASSERT_NE(files, nullptr);
    }
    void TearDown() override
    {
        if (files)
            AFCConnectionClose(files);
    }

    static QByteArray payload()
    {
        QByteArray bytes;
        for (int i = 0; i < 300000; ++i)
            bytes.append(static_cast<char>(i * 7));
        return bytes;
    }
    // Writes faults.plist from a dictionary built by `build`.
    void setFaults(const std::function<void(plist_t)> &build)
    {
        plist_t root = plist_new_dict();
        build(root);
        sim.writeFile(QStringLiteral("phone"), QStringLiteral("faults.plist"), plistXml(root));
        plist_free(root);
    }
    static plist_t entry(std::initializer_list<std::pair<const char *, plist_t>> items)
    {
        plist_t dict = plist_new_dict();
        for (const auto &[key, value] : items)
            plist_dict_set_item(dict, key, value);
        return dict;
    }
    static plist_t array(std::initializer_list<plist_t> items)
    {
        plist_t list = plist_new_array();
        for (plist_t item : items)
            plist_array_append_item(list, item);
        return list;
    }
    static plist_t integer(long long value) { return plist_new_uint(static_cast<uint64_t>(value)); }
    static plist_t code(AMDError value) { return plist_new_uint(static_cast<uint32_t>(value)); }

    // One read of `length` bytes at `offset`; the bytes and the result code.
    std::pair<QByteArray, AFCError> readAt(uint64_t offset, uint32_t length)
    {
        AFCFileRef file = 0;
        AFCError error = AFCFileRefOpen(files, "/data.bin", kAFCFileModeRead, &file);
        if (error)
            return {{}, error};
        AFCFileRefSeek(files, file, static_cast<int64_t>(offset), kAFCSeekSet);
        QByteArray buffer(static_cast<int>(length), '\0');
        error = AFCFileRefRead(files, file, buffer.data(), &length);
        AFCFileRefClose(files, file);
        buffer.truncate(static_cast<int>(length));
        return {buffer, error};
    }

    std::unique_ptr<DeviceEvents> events; // made after the library is bound
    AMDeviceRef device = nullptr;
    AFCConnectionRef files = nullptr;
};

} // namespace

TEST_F(MobileDeviceFaults, NthCallOfAnEntryPointFails)
{
    setFaults([](plist_t root) {
        plist_dict_set_item(root, "FailCalls", array({
            entry({{"EntryPoint", plist_new_string("AFCDirectoryOpen")}, {"Call", integer(2)}, {"Error", code(kAMDNotConnectedError)}}),
            entry({{"EntryPoint", plist_new_string("AFCFileInfoOpen")}, {"Call", integer(1)}}),
            entry({{"EntryPoint", plist_new_string("AMDeviceStartSession")}, {"Call", integer(1)}, {"Error", code(kAMDDeviceLockedError)}}),
            entry({{"EntryPoint", plist_new_string("AFCRemovePath")}, {"Call", integer(2)}, {"Error", integer(kAFCPermissionError)},
                   {"Repeat", plist_new_bool(1)}}),
        }));
    });
    AFCError error = kAFCSuccess;
    list(files, "/", &error);
    EXPECT_EQ(error, kAFCSuccess);
    list(files, "/", &error);
    EXPECT_EQ(error, kAMDNotConnectedError);
    list(files, "/", &error);
    EXPECT_EQ(error, kAFCSuccess) << "only the second call";

    info(files, "/data.bin", "st_size", &error);
    EXPECT_EQ(error, kAFCUnknownError) << "the default code of a file entry point";
    EXPECT_EQ(AMDeviceStartSession(device), kAMDDeviceLockedError);
    EXPECT_EQ(AMDeviceStartSession(device), kAMDSuccess);

    for (const char *name : {"/a", "/b", "/c"})
        writeAll(files, name, "x");
    EXPECT_EQ(AFCRemovePath(files, "/a"), kAFCSuccess);
    EXPECT_EQ(AFCRemovePath(files, "/b"), kAFCPermissionError);
    EXPECT_EQ(AFCRemovePath(files, "/c"), kAFCPermissionError) << "repeats from the second call on";

    // A changed fault file counts afresh.
    setFaults([](plist_t root) {
        plist_dict_set_item(root, "FailCalls", array({
            entry({{"EntryPoint", plist_new_string("AFCRemovePath")}, {"Call", integer(1)}, {"Error", integer(kAFCNotEmptyError)}}),
        }));
    });
    EXPECT_EQ(AFCRemovePath(files, "/b"), kAFCNotEmptyError);
    EXPECT_EQ(AFCRemovePath(files, "/b"), kAFCSuccess);
}

TEST_F(MobileDeviceFaults, ShortReadsAndReadErrorsAtAnOffset)
{
    const QByteArray data = payload();
    setFaults([](plist_t root) {
        plist_dict_set_item(root, "ShortReads", array({entry({{"Path", plist_new_string("/data.bin")}, {"Offset", integer(1000)}})}));
        plist_dict_set_item(root, "ReadErrors", array({entry({{"Offset", integer(5000)}})}));
    });
    auto [first, error] = readAt(0, 4096);
    EXPECT_EQ(error, kAFCSuccess);
    EXPECT_EQ(first, data.left(1000)) << "stops short at the offset";
    std::tie(first, error) = readAt(1000, 1000);
    EXPECT_EQ(first, data.mid(1000, 1000)) << "and goes on from there";
    std::tie(first, error) = readAt(4000, 4096);
    EXPECT_EQ(first, data.mid(4000, 1000)) << "the bytes before the bad spot";
    std::tie(first, error) = readAt(5000, 4096);
    EXPECT_EQ(error, kAFCReadError);
    EXPECT_TRUE(first.isEmpty());

    setFaults([](plist_t root) {
        plist_dict_set_item(root, "ReadErrors", array({entry({{"Path", plist_new_string("/data.bin")}, {"Offset", integer(0)},
                                                              {"Error", code(kAMDNotConnectedError)}})}));
    });
    AFCError whole = kAFCSuccess;
    EXPECT_TRUE(readAll(files, "/data.bin", &whole).isEmpty());
    EXPECT_EQ(whole, kAMDNotConnectedError);
    EXPECT_EQ(readAll(files, "/DCIM/100APPLE/IMG_0001.JPG").size(), 1024) << "other files read normally";
}

TEST_F(MobileDeviceFaults, DisconnectInTheMiddleOfATransfer)
{
    const QByteArray data = payload();
    setFaults([](plist_t root) {
        plist_dict_set_item(root, "Disconnect", entry({{"Path", plist_new_string("/data.bin")}, {"Offset", integer(100000)}}));
    });
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(files, "/data.bin", kAFCFileModeRead, &file), kAFCSuccess);
    QByteArray received;
    AFCError error = kAFCSuccess;
    for (;;) {
        QByteArray chunk(65536, '\0');
        uint32_t length = 65536;
        error = AFCFileRefRead(files, file, chunk.data(), &length);
        if (error || length == 0)
            break;
        received.append(chunk.constData(), static_cast<int>(length));
    }
    EXPECT_EQ(error, kAMDNotConnectedError);
    EXPECT_EQ(received, data.left(100000));
    ASSERT_TRUE(events->waitForDetach(device));
    EXPECT_EQ(AFCFileRefClose(files, file), kAMDNotConnectedError);
    EXPECT_EQ(AMDeviceConnect(device), kAMDNotConnectedError);
    EXPECT_TRUE(events->quietFor(300)) << "stays unplugged while the fault file is unchanged";

    // Plugged in again once the fault file goes; a write cut short unplugs it the same way.
    sim.removeFile(QStringLiteral("phone"), QStringLiteral("faults.plist"));
    AMDeviceRef back = events->nextAttach();
    ASSERT_NE(back, nullptr);
    AFCConnectionClose(files);
    files = nullptr;
    startSession(back);
    files = openFiles(back);
    setFaults([](plist_t root) {
        plist_dict_set_item(root, "Disconnect", entry({{"Offset", integer(70000)}}));
    });
    ASSERT_EQ(AFCFileRefOpen(files, "/upload.bin", kAFCFileModeWrite, &file), kAFCSuccess);
    EXPECT_EQ(AFCFileRefWrite(files, file, data.constData(), 65536), kAFCSuccess);
    EXPECT_EQ(AFCFileRefWrite(files, file, data.constData() + 65536, 65536), kAMDNotConnectedError);
    ASSERT_TRUE(events->waitForDetach(back));
    EXPECT_EQ(sim.readFile(QStringLiteral("phone"), QStringLiteral("media/upload.bin")).size(), 70000);
}

TEST_F(MobileDeviceFaults, SlowDevice)
{
    setFaults([](plist_t root) {
        plist_dict_set_item(root, "Slow", entry({{"CallDelayMilliseconds", integer(60)}, {"BytesPerSecond", integer(400000)}}));
    });
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(AMDeviceStartSession(device), kAMDSuccess);
    EXPECT_GE(timer.elapsed(), 180);

    timer.restart();
    auto [bytes, error] = readAt(0, 200000);
    EXPECT_EQ(error, kAFCSuccess);
    EXPECT_EQ(bytes.size(), 200000);
    EXPECT_GE(timer.elapsed(), 500) << "200000 bytes at 400000 bytes a second";
}
