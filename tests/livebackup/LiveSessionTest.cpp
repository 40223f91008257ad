// Live backup sessions against simulated devices of the current protocol: what lands in the
// temporary folder, reuse within a connection, passwords, and the device's failures.

#include "LiveRig.h"

#include "backup/BackupKeychain.h"
#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/DeviceBackup.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "device/DeviceTimings.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

const QByteArray kSms = "sms database";
const QByteArray kSmsWal = "sms journal";
const QByteArray kContacts = "address book";
const QByteArray kContactsWal = "address book journal";
const QByteArray kChatOld = "whatsapp documents chat";
const QByteArray kChatShared = "whatsapp group chat";

QMap<QString, QByteArray> phoneFiles()
{
    return {
        {QStringLiteral("HomeDomain/Library/SMS/sms.db"), kSms},
        {QStringLiteral("HomeDomain/Library/SMS/sms.db-wal"), kSmsWal},
        {QStringLiteral("HomeDomain/Library/AddressBook/AddressBook.sqlitedb"), kContacts},
        {QStringLiteral("HomeDomain/Library/AddressBook/AddressBook.sqlitedb-wal"), kContactsWal},
        {QStringLiteral("HomeDomain/Library/CallHistoryDB/CallHistory.storedata"), "calls"},
        // Not on the wanted list, but its journal must come with it.
        {QStringLiteral("HomeDomain/Library/Voicemail/voicemail.db"), "voicemail"},
        {QStringLiteral("HomeDomain/Library/Voicemail/voicemail.db-wal"), "voicemail journal"},
        {QStringLiteral("HomeDomain/Library/Voicemail/12.amr"), "voice"},
        {QStringLiteral("MediaDomain/Library/SMS/Attachments/ab/IMG_1.jpg"), "picture one"},
        {QStringLiteral("MediaDomain/Library/SMS/Attachments/cd/IMG_1.jpg"), "picture two"},
        {QStringLiteral("AppDomain-net.whatsapp.WhatsApp/Documents/ChatStorage.sqlite"), kChatOld},
        {QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared/ChatStorage.sqlite"), kChatShared},
        // Never taken: files nobody asked for, another app's chat store, an SMS database
        // that an app keeps for itself.
        {QStringLiteral("HomeDomain/Library/Preferences/com.example.plist"), "preferences"},
        {QStringLiteral("AppDomain-com.example.chat/Documents/ChatStorage.sqlite"), "someone else's"},
        {QStringLiteral("AppDomain-com.example.chat/Library/SMS/sms.db"), "bogus"},
    };
}

QStringList expectedNames()
{
    QStringList names = {
        QStringLiteral("AddressBook.sqlitedb"),     QStringLiteral("AddressBook.sqlitedb-wal"),
        QStringLiteral("CallHistory.storedata"),    QStringLiteral("sms.db"),
        QStringLiteral("sms.db-wal"),               QStringLiteral("12.amr"),
        QStringLiteral("ab-iMessage-IMG_1.jpg"),    QStringLiteral("cd-iMessage-IMG_1.jpg"),
        QStringLiteral("voicemail.db"),             QStringLiteral("voicemail.db-wal"),
    };
    names.sort();
    return names;
}

// The two chat stores share a last component: each keeps its own name by its domain.
void expectWantedFiles(LiveRig &live)
{
    const QStringList files = live.tempFiles();
    for (const QString &name : expectedNames())
        EXPECT_TRUE(files.contains(name)) << qPrintable(name);
    EXPECT_EQ(live.tempFile(QStringLiteral("sms.db")), kSms);
    EXPECT_EQ(live.tempFile(QStringLiteral("sms.db-wal")), kSmsWal);
    EXPECT_EQ(live.tempFile(QStringLiteral("AddressBook.sqlitedb-wal")), kContactsWal);
    EXPECT_EQ(live.tempFile(QStringLiteral("ab-iMessage-IMG_1.jpg")), "picture one");
    EXPECT_EQ(live.tempFile(QStringLiteral("cd-iMessage-IMG_1.jpg")), "picture two");
    const WorkFolderNames names = live.rig.controller->sessionFileNames();
    const QString oldChat = names.nameFor(QStringLiteral("AppDomain-net.whatsapp.WhatsApp"),
                                          QStringLiteral("Documents/ChatStorage.sqlite"));
    const QString sharedChat = names.nameFor(QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared"),
                                             QStringLiteral("ChatStorage.sqlite"));
    ASSERT_FALSE(oldChat.isEmpty());
    ASSERT_NE(oldChat, sharedChat);
    EXPECT_EQ(live.tempFile(oldChat), kChatOld);
    EXPECT_EQ(live.tempFile(sharedChat), kChatShared);
    // 10 named files + 2 chat stores, and nothing else.
    EXPECT_EQ(files.size(), expectedNames().size() + 2) << qPrintable(files.join(QLatin1Char(' ')));
    EXPECT_FALSE(files.contains(QStringLiteral("com.example.plist")));
}

} // namespace

TEST(LiveSession, PlainDeviceSendsOnlyWhatIsWantedAndASecondRequestReusesIt)
{
    LiveRig live;
    live.attach(phoneFiles());
    auto first = live.request();
    ASSERT_EQ(live.wait(first), 1) << gDeviceError.load();
    expectWantedFiles(live);
    EXPECT_EQ(live.rig.window.progressMax.load(), 100);
    EXPECT_DOUBLE_EQ(live.rig.window.progressValue.load(), 100);
    // The device dates the backup it made, as a device does.
    const DeviceBackupPtr made = DeviceBackup::initWithPath(sessionBackupFolder(LiveRig::kUid), false);
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->backupDate().isValid());

    // Two requests at once in the same connection: neither runs a session.
    QFile::remove(getTempDir() + QStringLiteral("sms.db"));
    auto a = live.request();
    auto b = live.request();
    EXPECT_EQ(live.wait(a), 1);
    EXPECT_EQ(live.wait(b), 1);
    EXPECT_EQ(live.logCount(QStringLiteral("getFiles starting")), 1);
    EXPECT_FALSE(QFile::exists(getTempDir() + QStringLiteral("sms.db")));
}

TEST(LiveSession, TheNextConnectionKnocksOutTheWantedFilesSoOnlyTheyComeAgain)
{
    LiveRig live;
    live.attach(phoneFiles());
    auto first = live.request();
    ASSERT_EQ(live.wait(first), 1) << gDeviceError.load();

    // The device changed its messages; the refresh of a new session fetches them again,
    // and the unwanted file still held from the first session is not sent again.
    QFile sms(live.deviceFolder() + QStringLiteral("/personal/HomeDomain/Library/SMS/sms.db"));
    ASSERT_TRUE(sms.open(QIODevice::WriteOnly));
    sms.write("newer sms database");
    sms.close();
    // A journal changes with its database; an old one beside the new database is damage.
    QFile journal(live.deviceFolder() + QStringLiteral("/personal/HomeDomain/Library/Voicemail/voicemail.db-wal"));
    ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
    journal.write("newer voicemail journal");
    journal.close();
    QFile::remove(live.deviceFolder() + QStringLiteral("/personal/HomeDomain/Library/Preferences/com.example.plist"));
    live.rig.controller->flushBackup();
    auto second = live.request();
    ASSERT_EQ(live.wait(second), 1) << gDeviceError.load();
    EXPECT_EQ(live.tempFile(QStringLiteral("sms.db")), "newer sms database");
    EXPECT_EQ(live.tempFile(QStringLiteral("voicemail.db-wal")), "newer voicemail journal");
    EXPECT_TRUE(live.log().contains(QStringLiteral("didn't need a manifest")));
}

TEST(LiveSession, EncryptedDeviceAsksOnceRemovesAWrongStoredPasswordAndDecrypts)
{
    LiveRig live;
    live.attach(phoneFiles(), {{QStringLiteral("BackupPassword"), QStringLiteral("correct horse")},
                               {QStringLiteral("BackupPasswordIterations"), 10}});
    BackupKeychain::rememberPassword(QStringLiteral("stale"), {}, LiveRig::kUid);
    RecordingPrompt prompt(live.rig.controller.get());
    prompt.answers = {QStringLiteral("correct horse")};
    live.rig.controller->setBackupPasswordPrompt(&prompt);
    live.rig.controller->userInteractedWithBackupMode();

    auto first = live.request();
    ASSERT_EQ(live.wait(first), 1) << gDeviceError.load();
    EXPECT_EQ(prompt.requests.load(), 1);
    EXPECT_EQ(prompt.lastDevice, LiveRig::kUid);
    expectWantedFiles(live);
    // Remembered as asked: the right password replaced the stale one.
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(false, LiveRig::kUid), QStringLiteral("correct horse"));
    EXPECT_EQ(BackupKeychain::getOurBackupKey(false, LiveRig::kUid).size(), 32);

    auto again = live.request();
    EXPECT_EQ(live.wait(again), 1);
    EXPECT_EQ(prompt.requests.load(), 1);
}

TEST(LiveSession, AWrongPasswordNeverReadsAsSuccess)
{
    LiveRig live;
    live.attach(phoneFiles(), {{QStringLiteral("BackupPassword"), QStringLiteral("right")},
                               {QStringLiteral("BackupPasswordIterations"), 10}});
    // No sheet can be shown (the user has not opened a backup list): the session reports
    // the password failure, and the result is a failure to every caller.
    bool wrongPassword = false;
    live.rig.controller->clearBackupCancel(); // the device switch cancelled what ran before
    auto result = std::async(std::launch::async, [&] {
        return live.rig.controller->getFiles(wantedFileList(), &wrongPassword);
    });
    EXPECT_EQ(live.wait(result), 0);
    EXPECT_TRUE(wrongPassword);
    EXPECT_FALSE(QFile::exists(getTempDir() + QStringLiteral("sms.db")));
}

TEST(LiveSession, ACancelledSheetMakesWaitingRequestsGiveUpButNotTheNextRefresh)
{
    LiveRig live;
    live.attach(phoneFiles(), {{QStringLiteral("BackupPassword"), QStringLiteral("right")},
                               {QStringLiteral("BackupPasswordIterations"), 10}});
    RecordingPrompt prompt(live.rig.controller.get()); // no answers: the user cancels
    live.rig.controller->setBackupPasswordPrompt(&prompt);
    live.rig.controller->userInteractedWithBackupMode();

    std::future<int> waiting;
    {
        // The second request waits on the lock the first holds.
        std::unique_lock lock(backupLock);
        auto first = live.request();
        waiting = live.request();
        ASSERT_TRUE(waitUntil([&] { return live.logCount(QStringLiteral("waiting for the running session")) == 2; }));
        lock.unlock();
        EXPECT_EQ(live.wait(first), 0);
    }
    EXPECT_EQ(live.wait(waiting), 0);
    EXPECT_EQ(prompt.requests.load(), 1);

    // A later refresh is a new request: it asks again and succeeds.
    live.rig.controller->clearBackupCancel();
    prompt.answers = {QStringLiteral("right")};
    auto refresh = live.request();
    EXPECT_EQ(live.wait(refresh), 1) << gDeviceError.load();
    EXPECT_EQ(prompt.requests.load(), 2);
}

TEST(LiveSession, CancelMakesTheRunningAndTheWaitingRequestsGiveUp)
{
    LiveRig live;
    live.attach(phoneFiles());
    live.setFaults({{QStringLiteral("Backup"), QVariantMap{{QStringLiteral("FileDelayMilliseconds"), 200}}}});
    auto running = live.request();
    ASSERT_TRUE(waitUntil([&] { return live.logCount(QStringLiteral("performBackup starting")) == 1; }));
    auto waiting = live.request();
    ASSERT_TRUE(waitUntil([&] { return live.logCount(QStringLiteral("waiting for the running session")) == 1; }));
    live.rig.controller->cancelBackup();
    EXPECT_EQ(live.wait(running), 0);
    EXPECT_EQ(live.wait(waiting), 0);
    EXPECT_EQ(live.logCount(QStringLiteral("performBackup starting")), 1);
    EXPECT_FALSE(live.rig.controller->hasSMSDataAlready());
}

TEST(LiveSession, DeviceFailuresGiveTheirCodesAndOnlyWhatCanSucceedIsTriedAgain)
{
    struct Case
    {
        const char *title;
        QVariantMap backup;
        int code;
        int attempts;
    };
    const QString longDescription =
        QStringLiteral("Insufficient free disk space on drive to back up (<1234 + 5678) bytes needed) for this backup");
    const Case cases[] = {
        {"out of space (105): the needed space is read, no retry",
         {{"ErrorCode", 105}, {"ErrorDescription", longDescription}}, 120105, 1},
        {"out of space (104) is not retried either", {{"ErrorCode", 104}}, 120104, 1},
        {"the connection drops after the first file: lost, no retry", {{"DisconnectAfterFiles", 1}}, 454545, 1},
        {"the device stops talking: the inactivity time-out ends each attempt", {{"StallAfterFiles", 1}}, -51072, 4},
        {"another device error is tried again", {{"ErrorCode", 102}}, 120102, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        LiveRig live;
        live.attach(phoneFiles());
        live.setFaults({{QStringLiteral("Backup"), c.backup}});
        if (c.backup.contains(QStringLiteral("StallAfterFiles")))
            deviceTimings().backupInactivityMs = 400; // four silent attempts, each waited out
        auto result = live.request();
        EXPECT_EQ(live.wait(result, 30000), 0);
        EXPECT_EQ(gDeviceError.load(), c.code);
        EXPECT_EQ(live.logCount(QStringLiteral("performBackup starting")), c.attempts);
        if (c.code == 120105) {
            EXPECT_EQ(gSpace.load(), 6912);
        }
        EXPECT_FALSE(QFile::exists(getTempDir() + QStringLiteral("sms.db")));
    }
}
