// A device's messages, calls and voicemail archived, the program restarted, and everything
// read back as records with its attachments; a second sync of the same data adds nothing.

#include "ArchiveRig.h"

#include "messages/FRSMSInfo.h"
#include "personal/CallListController.h"
#include "personal/FRCallInfo.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"

#include <QFile>

namespace {

struct DeviceRecords
{
    QList<FRSMSInfoPtr> messages;
    QList<FRCallInfoPtr> calls, voicemail;
};

// The records an extraction would make of the fixture device; the attachment is a file of
// the temporary folder, as a backup session leaves it.
DeviceRecords deviceRecords(const QString &scratch)
{
    DeviceRecords records;
    sqlite3 *db = nullptr;
    sqlite3_open(":memory:", &db);
    QFile script(fixturePath("archive/device-records.sql"));
    EXPECT_TRUE(script.open(QIODevice::ReadOnly));
    EXPECT_EQ(sqlite3_exec(db, script.readAll().constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    const auto each = [&](const char *sql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        while (sqlite3_step(statement) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
    };
    const auto text = [](sqlite3_stmt *s, int column) {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
        return bytes ? QString::fromUtf8(bytes) : QString();
    };
    each("SELECT rowid, remote, date, address, sender, text, html, flags, attachment FROM messages", [&](sqlite3_stmt *s) {
        const FRSMSInfoPtr sms = FRSMSInfo::infoWithInfo(
            {{SMSKey::SMSID, sqlite3_column_int(s, 0)},   {SMSKey::RemoteID, sqlite3_column_int64(s, 1)},
             {SMSKey::Date, QDateTime::fromSecsSinceEpoch(sqlite3_column_int64(s, 2))},
             {SMSKey::Address, text(s, 3)},                {SMSKey::Sender, text(s, 4)},
             {SMSKey::Text, text(s, 5)},                   {SMSKey::HTML, text(s, 6)},
             {SMSKey::Flags, sqlite3_column_int(s, 7)},    {SMSKey::OnPhone, true}},
            nullptr);
        const QString attachment = text(s, 8);
        if (!attachment.isEmpty()) {
            writeFile(scratch + "/" + attachment, "jpeg bytes of " + attachment.toUtf8());
            sms->setFiles({{attachment, scratch + "/" + attachment}});
        }
        records.messages << sms;
    });
    each("SELECT rowid, remote, date, address, duration, flags, provider, name FROM calls", [&](sqlite3_stmt *s) {
        QVariantMap info{{CallKey::CallID, sqlite3_column_int(s, 0)}, {CallKey::RemoteID, sqlite3_column_int64(s, 1)},
                         {CallKey::Date, QDateTime::fromSecsSinceEpoch(sqlite3_column_int64(s, 2))},
                         {CallKey::Number, text(s, 3)}, {CallKey::Duration, sqlite3_column_int(s, 4)},
                         {CallKey::Flags, sqlite3_column_int(s, 5)}, {CallKey::Provider, text(s, 6)}};
        if (sqlite3_column_type(s, 7) != SQLITE_NULL)
            info.insert(CallKey::Name, text(s, 7));
        records.calls << FRCallInfo::infoWithInfo(info, nullptr);
    });
    each("SELECT rowid, remote, date, address, duration, amr FROM voicemail", [&](sqlite3_stmt *s) {
        records.voicemail << FRCallInfo::infoWithInfo(
            {{CallKey::CallID, sqlite3_column_int(s, 0)}, {CallKey::RemoteID, sqlite3_column_int64(s, 1)},
             {CallKey::Date, QDateTime::fromSecsSinceEpoch(sqlite3_column_int64(s, 2))},
             {CallKey::Number, text(s, 3)}, {CallKey::Duration, sqlite3_column_int(s, 4)},
             {CallKey::AMR, QByteArray(static_cast<const char *>(sqlite3_column_blob(s, 5)), sqlite3_column_bytes(s, 5))},
             {CallKey::IsVoicemail, true}},
            nullptr);
    });
    sqlite3_close(db);
    return records;
}

// One sync as the extraction runs it: one transaction, new items only.
void archive(AppController &controller, const DeviceRecords &records)
{
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = controller.getBackupDB(QString(), &error);
    ASSERT_TRUE(db) << error;
    ASSERT_EQ(sqlite3_exec(db->handle(), "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const auto &sms : records.messages) {
        if (!controller.checkForItem(sms->SMSFullHTML(), sms->SMSNSDate().toSecsSinceEpoch(), {}, "message", QString(), &error))
            ASSERT_TRUE(controller.addSMSToBackup(*sms, QString(), false, &error, nullptr, true)) << error;
    }
    for (const auto &call : records.calls) {
        if (!controller.checkForItem(call->CallNumber(), call->CallNSDate().toSecsSinceEpoch(), {}, "call", QString(), &error))
            ASSERT_TRUE(controller.addCallToBackup(*call, QString(), false, &error));
    }
    for (const auto &vm : records.voicemail) {
        if (!controller.checkForItem(vm->CallNumber(), vm->CallNSDate().toSecsSinceEpoch(), {}, "voicemail", QString(), &error))
            ASSERT_TRUE(controller.addVoicemailToBackup(*vm, QString(), false, &error));
    }
    ASSERT_EQ(sqlite3_exec(db->handle(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
}

struct Table : CallListController
{
    explicit Table(const QString &name) : table(name) {}
    QString table;
    QString archiveTableName() const override { return table; }
    QString cacheDBName() const override { return "uid-phone"; }
    void setNumTotalCalls(int) override {}
};

} // namespace

TEST(ArchiveRoundTrip, ADevicesRecordsSurviveARestartWithTheirAttachments)
{
    ArchiveRig rig;
    for (const char *key : {"SHOW_SMS", "SHOW_WA", "SHOW_FB1"})
        UserDefaults::standard().setBool(true, QString::fromLatin1(key));
    const DeviceRecords records = deviceRecords(getTempDir() + "session");
    archive(rig.controller, records);
    archive(rig.controller, deviceRecords(getTempDir() + "session")); // the next sync: all known
    rig.controller.closeBackupDBs();

    // A restart: a new controller, new handles, the same archive folder.
    AppController restarted;
    {
        std::lock_guard lock(restarted.mDeviceValuesLock);
        restarted.mDeviceNumber = "uid-phone";
        restarted.mDeviceName = "Phone";
    }
    int error = 0;
    const auto messages = restarted.getSMSFromBackupFile(QString(), "uid-phone", nullptr, &error);
    ASSERT_TRUE(messages) << error;
    ASSERT_EQ(messages->size(), 3);
    EXPECT_EQ(messages->at(0)->SMSRawText(), "WA hi"); // newest first
    EXPECT_TRUE(messages->at(0)->SMSWhatsApp());
    EXPECT_EQ(messages->at(0)->SMSRemoteID(), 9000000003LL);
    EXPECT_FALSE(messages->at(0)->SMSOnPhone());
    const FRSMSInfoPtr look = messages->at(1);
    EXPECT_EQ(look->SMSRawText(), "Look");
    EXPECT_EQ(look->SMSNumberSpecific(), "+15550100");
    // Handed over as a file, the attachment is kept as a file in the archive's piece folder.
    const QString piece = restarted.loadSMSPieceFromBackup(look->itemId(), "uid-phone", "IMG_1.JPG", false).toString();
    EXPECT_EQ(piece, rig.folder() + "/uid-phone.qnxmdb/IMG_1.JPG");
    EXPECT_EQ(readFile(piece), "jpeg bytes of IMG_1.JPG");
    EXPECT_EQ(messages->at(2)->SMSType(), "Sent");

    Table calls("call"), voicemail("voicemail");
    const auto callRows = restarted.getCallsFromBackupFile(QString(), "uid-phone", &calls, &error);
    ASSERT_TRUE(callRows);
    ASSERT_EQ(callRows->size(), 2);
    EXPECT_EQ(callRows->at(1)->CallName(), "Ann");
    EXPECT_EQ(callRows->at(1)->CallDuration(), "1 Minute");
    EXPECT_EQ(callRows->at(0)->CallProviderName(), "WhatsApp");
    EXPECT_EQ(callRows->at(0)->CallStatus(), "Missed WhatsApp");
    const auto vmRows = restarted.getCallsFromBackupFile(QString(), "uid-phone", &voicemail, &error);
    ASSERT_TRUE(vmRows && vmRows->size() == 1);
    EXPECT_EQ(vmRows->at(0)->amr(), QByteArray::fromHex("2321414D520A0102"));
    EXPECT_EQ(vmRows->at(0)->CallSeconds(), 12);
    EXPECT_TRUE(vmRows->at(0)->uniqueFileName().endsWith("Voicemail from +15550100.m4a"));
}
