// Sessions and write-back with a device of the older backup protocol.

#include "LiveRig.h"

#include "backup/BackupSessionFlags.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"

#include <QFile>

#include <future>

#include <gtest/gtest.h>

namespace {

const QVariantMap kOlderDevice{
    {QStringLiteral("Domains"),
     QVariantMap{{QStringLiteral("com.apple.mobile.backup"), QVariantMap{{QStringLiteral("Version"), QStringLiteral("1.6")}}}}}};

QMap<QString, QByteArray> olderFiles()
{
    // More chunks of the stream than the connection holds at once: the device waits for
    // the host as it streams.
    QByteArray big(6 * 1024 * 1024 + 17, 'x');
    big.prepend("large sms database ");
    return {
        {QStringLiteral("HomeDomain/Library/SMS/sms.db"), big},
        {QStringLiteral("HomeDomain/Library/CallHistory/call_history.db"), "calls"},
        {QStringLiteral("HomeDomain/Library/Voicemail/3.amr"), "voice"},
        {QStringLiteral("MediaDomain/Library/SMS/Attachments/ab/IMG_1.jpg"), "picture one"},
        {QStringLiteral("MediaDomain/Library/SMS/Attachments/cd/IMG_1.jpg"), "picture two"},
        {QStringLiteral("HomeDomain/Library/Preferences/com.example.plist"), "not wanted"},
        {QStringLiteral("AppDomain-net.whatsapp.WhatsApp/Documents/ChatStorage.sqlite"), "after the app domains begin"},
    };
}

} // namespace

TEST(OlderProtocol, TheDeviceStreamsItsFilesAndOnlyTheWantedOnesAreKept)
{
    LiveRig live;
    live.attach(olderFiles(), kOlderDevice);
    auto result = live.request();
    ASSERT_EQ(live.wait(result), 1) << gDeviceError.load() << "\n" << qPrintable(live.log());
    EXPECT_FALSE(is20Stuff.load());
    EXPECT_EQ(live.tempFile(QStringLiteral("sms.db")), olderFiles().value(QStringLiteral("HomeDomain/Library/SMS/sms.db")));
    EXPECT_EQ(live.tempFile(QStringLiteral("call_history.db")), "calls");
    EXPECT_EQ(live.tempFile(QStringLiteral("3.amr")), "voice");
    // Same-named attachments of two messages keep their own names and contents.
    EXPECT_EQ(live.tempFile(QStringLiteral("ab-iMessage-IMG_1.jpg")), "picture one");
    EXPECT_EQ(live.tempFile(QStringLiteral("cd-iMessage-IMG_1.jpg")), "picture two");
    EXPECT_FALSE(live.tempFiles().contains(QStringLiteral("com.example.plist")));
    EXPECT_FALSE(live.tempFiles().contains(QStringLiteral("ChatStorage.sqlite")));
    EXPECT_GT(live.rig.window.progressMax.load(), 6 * 1024 * 1024);
}

TEST(OlderProtocol, ARefusedBackupIsNotTriedAgain)
{
    LiveRig live;
    live.attach(olderFiles(), kOlderDevice);
    live.setFaults({{QStringLiteral("Backup"), QVariantMap{{QStringLiteral("Refuse"), true}}}});
    auto result = live.request();
    EXPECT_EQ(live.wait(result), 0);
    EXPECT_EQ(gDeviceError.load(), 100034);
    EXPECT_EQ(live.logCount(QStringLiteral("Beginning old-style decrypt")), 1);
}

TEST(OlderProtocol, EditedDatabasesAreWrittenBackEachUnderItsOwnPath)
{
    LiveRig live;
    live.attach(olderFiles(), kOlderDevice);
    auto session = live.request();
    ASSERT_EQ(live.wait(session), 1) << gDeviceError.load() << "\n" << qPrintable(live.log());

    const QVariantList edited{
        QVariantMap{{QStringLiteral("RemotePath"), QStringLiteral("Library/SMS/sms.db")},
                    {QStringLiteral("Data"), QByteArray("edited messages")}},
        QVariantMap{{QStringLiteral("RemotePath"), QStringLiteral("Library/CallHistory/call_history.db")},
                    {QStringLiteral("Data"), QByteArray("edited calls")}},
    };
    auto restore = std::async(std::launch::async, [&] { return live.rig.controller->setFiles(edited, false); });
    ASSERT_EQ(live.wait(restore), 1) << gDeviceError.load();
    auto device = [&](const QString &path) {
        QFile file(live.deviceFolder() + QStringLiteral("/personal/HomeDomain/") + path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    EXPECT_EQ(device(QStringLiteral("Library/SMS/sms.db")), "edited messages");
    EXPECT_EQ(device(QStringLiteral("Library/CallHistory/call_history.db")), "edited calls");
    EXPECT_EQ(live.logCount(QStringLiteral("sending file")), 2);
}

TEST(OlderProtocol, ALockedDeviceIsToldSoAndSentNothing)
{
    LiveRig live;
    live.attach(olderFiles(), kOlderDevice);
    auto session = live.request();
    ASSERT_EQ(live.wait(session), 1) << gDeviceError.load() << "\n" << qPrintable(live.log());
    // The user locks the device after the session.
    const QString settings = live.deviceFolder() + QStringLiteral("/device.plist");
    QVariantMap device = PropertyList::fromFile(settings).value_or(QVariant()).toMap();
    device.insert(QStringLiteral("PasscodeLocked"), true);
    ASSERT_TRUE(PropertyList::toFile(device, settings, PropertyList::Format::Xml));

    const QVariantList edited{QVariantMap{{QStringLiteral("RemotePath"), QStringLiteral("Library/SMS/sms.db")},
                                          {QStringLiteral("Data"), QByteArray("edited messages")}}};
    // Found locked at the restore, then known to be locked: told so each time, nothing sent.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        auto restore = std::async(std::launch::async, [&] { return live.rig.controller->setFiles(edited, false); });
        EXPECT_EQ(live.wait(restore), 0);
        EXPECT_EQ(gDeviceError.load(), 47);
        EXPECT_EQ(live.logCount(QStringLiteral("has passcode")), attempt);
    }
    EXPECT_EQ(live.logCount(QStringLiteral("sending file")), 0);
    QFile file(live.deviceFolder() + QStringLiteral("/personal/HomeDomain/Library/SMS/sms.db"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), olderFiles().value(QStringLiteral("HomeDomain/Library/SMS/sms.db")));
}

TEST(OlderProtocol, ACurrentProtocolDeviceIsNeverWrittenTo)
{
    LiveRig live;
    live.attach({{QStringLiteral("HomeDomain/Library/SMS/sms.db"), "messages"}});
    auto session = live.request();
    ASSERT_EQ(live.wait(session), 1) << gDeviceError.load() << "\n" << qPrintable(live.log());
    const QVariantList edited{QVariantMap{{QStringLiteral("RemotePath"), QStringLiteral("Library/SMS/sms.db")},
                                          {QStringLiteral("Data"), QByteArray("edited")}}};
    EXPECT_EQ(live.rig.controller->setFiles(edited, true), 0);
    EXPECT_EQ(gDeviceError.load(), 0);
    QFile file(live.deviceFolder() + QStringLiteral("/personal/HomeDomain/Library/SMS/sms.db"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "messages");
}
