// Writing an archive: messages with their attachments, the duplicate check, calls and
// voicemail, the archive view's deletes and their undo.

#include "ArchiveRig.h"

#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/CallListController.h"
#include "personal/FRCallInfo.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFileInfo>

#include <functional>

namespace {

QVariantMap message(qint64 seconds, const QString &text, const QString &html = {}, int flags = 0)
{
    return {{SMSKey::Date, QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)},
            {SMSKey::Text, text},
            {SMSKey::HTML, html.isNull() ? QStringLiteral("<p>%1</p>").arg(text) : html},
            {SMSKey::Address, QStringLiteral("+15550100")},
            {SMSKey::Flags, flags},
            {SMSKey::RemoteID, 5000000001LL}};
}

FRSMSInfoPtr store(ArchiveRig &rig, QVariantMap info, const QVariantMap &files = {})
{
    FRSMSInfoPtr sms = FRSMSInfo::infoWithInfo(info, nullptr);
    if (!files.isEmpty())
        sms->setFiles(files);
    int error = 0;
    EXPECT_TRUE(rig.controller.addSMSToBackup(*sms, QString(), false, &error, nullptr, true)) << error;
    return sms;
}

QList<FRSMSInfoPtr> readBack(ArchiveRig &rig)
{
    int error = 0;
    const auto records = rig.controller.getSMSFromBackupFile(QString(), QString(), nullptr, &error);
    EXPECT_TRUE(records) << error;
    return records.value_or(QList<FRSMSInfoPtr>{});
}

void showAll()
{
    for (const char *key : {"SHOW_SMS", "SHOW_WA", "SHOW_FB1"})
        UserDefaults::standard().setBool(true, QString::fromLatin1(key));
}

} // namespace

TEST(ArchiveWrites, AMessageWithItsAttachmentsIsReadBackAsARecord)
{
    ArchiveRig rig;
    showAll();
    const QString staged = getTempDir() + "IMG_0001.MOV";
    writeFile(staged, "a movie too large for the database");
    QVariantMap info = message(1400000000, "Look at this", {}, SMSFlag::IMessage | SMSFlag::Sent);
    info.insert(SMSKey::GroupTitle, "Trip");
    store(rig, info, {{"photo.jpg", QByteArray("\xFF\xD8 jpeg")}, {"IMG_0001.MOV", staged}});

    const auto records = readBack(rig);
    ASSERT_EQ(records.size(), 1);
    const FRSMSInfoPtr &sms = records[0];
    EXPECT_EQ(sms->SMSRawText(), "Look at this");
    EXPECT_EQ(sms->SMSNSDate().toSecsSinceEpoch(), 1400000000);
    EXPECT_TRUE(sms->SMSiMessage());
    EXPECT_FALSE(sms->SMSIncoming());
    EXPECT_EQ(sms->GroupTitle(), "Trip");
    EXPECT_EQ(sms->remoteId().toString(), "5000000001"); // 64-bit remote ids survive
    EXPECT_TRUE(sms->isBackup());
    const int rowid = sms->itemId();

    auto &c = rig.controller;
    EXPECT_EQ(c.loadSMSPieceFromBackup(rowid, QString(), "photo.jpg", false).toByteArray(), "\xFF\xD8 jpeg");
    const QString moved = c.loadSMSPieceFromBackup(rowid, QString(), "IMG_0001.MOV", false).toString();
    EXPECT_EQ(moved, rig.folder() + "/uid-phone.qnxmdb/IMG_0001.MOV");
    EXPECT_EQ(readFile(moved), "a movie too large for the database");
    EXPECT_TRUE(c.existsSMSPieceFromBackup(rowid, QString(), "IMG_0001.MOV", false));
    EXPECT_TRUE(c.existsSMSPieceFromBackup(0, QString(), "photo.jpg", false));
    EXPECT_FALSE(c.existsSMSPieceFromBackup(rowid, QString(), "photo.jpg", true));
    EXPECT_TRUE(c.writeThumbnailToBackup(rowid, QString(), "photo.jpg", "thumb"));
    EXPECT_EQ(c.loadSMSPieceFromBackup(rowid, QString(), "photo.jpg", true).toByteArray(), "thumb");

    c.getSMSPiecesFromBackup(rowid, QString());
    EXPECT_EQ(readFile(QStringLiteral("%1uid-phone/%2/photo.jpg").arg(getTempDir()).arg(rowid)), "\xFF\xD8 jpeg");
}

TEST(ArchiveWrites, TheDuplicateCheckMatchesByDateAndContent)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    store(rig, message(1400000000, "hello"));
    int error = 0;
    EXPECT_TRUE(c.checkForItem("<p>hello</p>", 1400000000, {}, "message", QString(), &error));
    EXPECT_FALSE(c.checkForItem("<p>hello</p>", 1400000001, {}, "message", QString(), &error));
    EXPECT_FALSE(c.checkForItem("<p>other</p>", 1400000000, {}, "message", QString(), &error));
}

TEST(ArchiveWrites, AMessageArchivedWithoutHtmlIsReplacedAndNothingElseIsTouched)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    // Archived before its content was known (empty html), and an unrelated message of the
    // same second that happens to have no text.
    store(rig, message(1400000000, "early", ""));
    store(rig, message(1400000000, "", "<img src=x>"));
    int error = 0;
    EXPECT_FALSE(c.checkForItem("", 1400000000, {}, "message", QString(), &error));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message WHERE html=''"), 0);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message WHERE html='<img src=x>'"), 1);
    // Stored again, the next sync finds it.
    store(rig, message(1400000000, "early", "<p>early</p>"));
    EXPECT_TRUE(c.checkForItem("<p>early</p>", 1400000000, {}, "message", QString(), &error));
}

TEST(ArchiveWrites, DeletingAndUndoingKeepsTheRowAndItsAttachments)
{
    ArchiveRig rig;
    showAll();
    auto &c = rig.controller;
    const QString staged = getTempDir() + "clip.mov";
    writeFile(staged, "clip");
    store(rig, message(1400000000, "with clip"), {{"clip.mov", staged}, {"small.png", QByteArray("png")}});
    QFile::remove(staged);
    FRSMSInfoPtr sms = readBack(rig).value(0);
    ASSERT_TRUE(sms);
    const int rowid = sms->itemId();
    const QString file = rig.folder() + "/uid-phone.qnxmdb/clip.mov";
    ASSERT_TRUE(QFileInfo::exists(file));

    c.loadSMSPiecesIntoMemoryForUndo(*sms, QString());
    EXPECT_EQ(sms->fileids().size(), 2);
    ASSERT_TRUE(c.deleteLocalItem(rowid, "message", QString()));
    EXPECT_EQ(rig.text("uid-phone", QStringLiteral("SELECT address FROM message WHERE rowid=%1").arg(rowid)),
              "---DELETED---");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smsbackuppieces"), 0);
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_TRUE(readBack(rig).isEmpty());
    int error = 0;
    EXPECT_FALSE(c.checkForItem("<p>with clip</p>", 1400000000, {}, "message", QString(), &error));

    ASSERT_TRUE(c.addSMSToBackup(*sms, QString(), true, &error, nullptr, true)) << error;
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 1);
    EXPECT_EQ(rig.number("uid-phone", "SELECT rowid FROM message"), rowid);
    EXPECT_EQ(readFile(file), "clip");
    EXPECT_EQ(c.loadSMSPieceFromBackup(rowid, QString(), "small.png", false).toByteArray(), "png");
    EXPECT_EQ(readBack(rig).size(), 1);
}

TEST(ArchiveWrites, UndoOfAnOldRowRemovesItsTombstone)
{
    ArchiveRig rig;
    showAll();
    auto &c = rig.controller;
    int error = 0;
    ASSERT_TRUE(c.getBackupDB(QString(), &error));
    // Written by an earlier version: nanoseconds since 2001.
    rig.exec("uid-phone", "INSERT INTO message (id, date, address, text, flags, html) VALUES "
                          "(1, 600000000000000000, '+15550100', 'old', 0, '<p>old</p>')");
    FRSMSInfoPtr sms = readBack(rig).value(0);
    ASSERT_TRUE(sms);
    ASSERT_TRUE(c.deleteLocalItem(sms->itemId(), "message", QString()));
    ASSERT_TRUE(c.addSMSToBackup(*sms, QString(), true, &error, nullptr, true)) << error;
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 1);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message WHERE address='---DELETED---'"), 0);
}

TEST(ArchiveWrites, AFailedDeleteKeepsTheAttachmentFiles)
{
    ArchiveRig rig;
    showAll();
    auto &c = rig.controller;
    const QString staged = getTempDir() + "keep.mov";
    writeFile(staged, "keep");
    store(rig, message(1400000000, "keep me"), {{"keep.mov", staged}});
    const int rowid = readBack(rig).value(0)->itemId();
    rig.exec("uid-phone", "CREATE TRIGGER refuse BEFORE UPDATE ON message BEGIN SELECT RAISE(ABORT, 'no'); END");
    c.closeBackupDBs(); // the trigger is seen by a fresh handle
    EXPECT_FALSE(c.deleteLocalItem(rowid, "message", QString()));
    EXPECT_TRUE(QFileInfo::exists(rig.folder() + "/uid-phone.qnxmdb/keep.mov"));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smsbackuppieces"), 1);
}

TEST(ArchiveWrites, AnAttachmentThatCannotBePutInPlaceLeavesNoRow)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QString staged = getTempDir() + "blocked.mov";
    writeFile(staged, "data");
    // Something that is no file stands where the attachment must go.
    QDir().mkpath(c.pieceFolderPathForDevice(QString(), true) + "/blocked.mov/inside");
    FRSMSInfoPtr sms = FRSMSInfo::infoWithInfo(message(1400000000, "blocked"), nullptr);
    sms->setFiles({{"blocked.mov", staged}});
    int error = 0;
    EXPECT_FALSE(c.addSMSToBackup(*sms, QString(), false, &error, nullptr, true));
    EXPECT_EQ(error, AppController::kPieceFileFailed);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smsbackuppieces"), 0);
}

TEST(ArchiveWrites, CallsAndVoicemailAreStoredDeletedAndRestored)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QVariantMap callInfo = {{CallKey::CallID, 1}, {CallKey::RemoteID, 77}, {CallKey::Number, "+15550100"},
                                  {CallKey::Date, QDateTime::fromSecsSinceEpoch(1400000000, Qt::UTC)},
                                  {CallKey::Duration, 65}, {CallKey::Flags, 1},
                                  {CallKey::Provider, "com.apple.Telephony"}, {CallKey::Name, "Ann"}};
    int error = 0;
    ASSERT_TRUE(c.addCallToBackup(*FRCallInfo::infoWithInfo(callInfo, nullptr), QString(), false, &error));
    QVariantMap vmInfo = callInfo;
    vmInfo.insert(CallKey::AMR, QByteArray("#!AMR\n"));
    ASSERT_TRUE(c.addVoicemailToBackup(*FRCallInfo::infoWithInfo(vmInfo, nullptr), QString(), false, &error));
    EXPECT_TRUE(c.checkForItem("+15550100", 1400000000, {}, "call", QString(), &error));
    EXPECT_TRUE(c.checkForItem("+15550100", 1400000000, {}, "voicemail", QString(), &error));
    // A WhatsApp call row reads as WhatsApp whatever its provider says.
    rig.exec("uid-phone", "INSERT INTO call (id, date, address, duration, flags, wa, provider) "
                          "VALUES (9, 1400000100, '+15550199', 0, 0, 1, 'com.apple.Telephony')");

    struct Controller : CallListController
    {
        QString table;
        int total = -1;
        QString archiveTableName() const override { return table; }
        QString cacheDBName() const override { return "uid-phone"; }
        void setNumTotalCalls(int n) override { total = n; }
    } calls, voicemail;
    calls.table = "call";
    voicemail.table = "voicemail";
    auto callRows = c.getCallsFromBackupFile(QString(), QString(), &calls, &error);
    ASSERT_TRUE(callRows);
    ASSERT_EQ(callRows->size(), 2);
    EXPECT_EQ(calls.total, 2);
    EXPECT_EQ(callRows->at(0)->CallProvider().toString(), "WhatsApp");
    EXPECT_EQ(callRows->at(1)->CallName(), "Ann");
    EXPECT_EQ(callRows->at(1)->CallSeconds(), 65);
    EXPECT_EQ(callRows->at(1)->CallNSDate().toSecsSinceEpoch(), 1400000000);
    auto vmRows = c.getCallsFromBackupFile(QString(), QString(), &voicemail, &error);
    ASSERT_TRUE(vmRows && vmRows->size() == 1);
    EXPECT_TRUE(vmRows->at(0)->isVoicemail());
    EXPECT_EQ(vmRows->at(0)->amr(), "#!AMR\n");

    // A tombstoned call keeps its date and id; a tombstoned voicemail loses its audio.
    const FRCallInfoPtr ann = callRows->at(1);
    ASSERT_TRUE(c.deleteLocalItem(ann->itemId(), "call", QString()));
    EXPECT_EQ(rig.text("uid-phone", "SELECT address FROM call WHERE id=77"), "---DELETED---");
    EXPECT_EQ(rig.number("uid-phone", "SELECT date FROM call WHERE id=77"), 1400000000);
    ASSERT_TRUE(c.deleteLocalItem(vmRows->at(0)->itemId(), "voicemail", QString()));
    EXPECT_EQ(rig.number("uid-phone", "SELECT length(amr) FROM voicemail"), 0);
    EXPECT_EQ(c.getCallsFromBackupFile(QString(), QString(), &calls, &error)->size(), 1);
    EXPECT_TRUE(c.getCallsFromBackupFile(QString(), QString(), &voicemail, &error)->isEmpty());

    ASSERT_TRUE(c.addCallToBackup(*ann, QString(), true, &error));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM call"), 2);
    EXPECT_EQ(rig.number("uid-phone", QStringLiteral("SELECT id FROM call WHERE rowid=%1").arg(ann->itemId())), 77);
    ASSERT_TRUE(c.deleteLocalItemForReal(ann->itemId(), "call", QString()));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM call"), 1);
}

TEST(ArchiveWrites, AFailedCheckOrStoreOfACallOrVoicemailSaysWhy)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    int error = 0;
    ASSERT_TRUE(c.getBackupDB(QString(), &error)) << error;
    QVariantMap info = {{CallKey::CallID, 1}, {CallKey::RemoteID, 77}, {CallKey::Number, "+15550100"},
                        {CallKey::Date, QDateTime::fromSecsSinceEpoch(1400000000, Qt::UTC)},
                        {CallKey::AMR, QByteArray("#!AMR\n")}};
    const FRCallInfoPtr call = FRCallInfo::infoWithInfo(info, nullptr);
    rig.exec("uid-phone", "CREATE TRIGGER refuseCall BEFORE INSERT ON call BEGIN SELECT RAISE(ABORT, 'full'); END;"
                          "CREATE TRIGGER refuseVoicemail BEFORE INSERT ON voicemail BEGIN SELECT RAISE(ABORT, 'full'); END;");
    struct Case
    {
        const char *name;
        std::function<bool(int *)> run;
    };
    const Case refused[] = {
        {"a call", [&](int *e) { return c.addCallToBackup(*call, QString(), false, e); }},
        {"a voicemail", [&](int *e) { return c.addVoicemailToBackup(*call, QString(), false, e); }},
        {"a call keeping its row", [&](int *e) { return c.addCallToBackup(*call, QString(), true, e); }},
    };
    const Case withoutTable[] = {
        {"the check", [&](int *e) { return c.checkForItem("+15550100", 1400000000, {}, "call", QString(), e); }},
        {"a call", [&](int *e) { return c.addCallToBackup(*call, QString(), false, e); }},
    };
    const auto expectFailureWithCode = [](const Case &test) {
        SCOPED_TRACE(test.name);
        int code = 0;
        EXPECT_FALSE(test.run(&code));
        EXPECT_NE(code, 0);
    };
    for (const Case &test : refused)
        expectFailureWithCode(test);
    rig.exec("uid-phone", "DROP TABLE call;");
    for (const Case &test : withoutTable)
        expectFailureWithCode(test);
}

TEST(ArchiveWrites, ContactsAreAddedAndUpdatedOnlyWhenAsked)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    EXPECT_EQ(c.addContactToCache({{"name", "Ann"}, {"image", QByteArray("pic")}}, "WA15550100", QString(), false), 0);
    EXPECT_EQ(c.addContactToCache({{"name", "Anna"}}, "WA15550100", QString(), false), 0);
    EXPECT_EQ(rig.text("uid-phone", "SELECT name FROM contacts"), "Ann");
    EXPECT_EQ(c.addContactToCache({{"name", "Anna"}}, "WA15550100", QString(), true), 0);
    EXPECT_EQ(rig.text("uid-phone", "SELECT name FROM contacts"), "Anna");
    EXPECT_EQ(rig.number("uid-phone", "SELECT length(image) FROM contacts"), 3); // no picture: kept
    const QVariantMap contact = c.loadContactFromCache("WA15550100", true, QString());
    EXPECT_EQ(contact.value("name").toString(), "Anna");
    EXPECT_EQ(contact.value("entry").toString(), "WA15550100");
    EXPECT_EQ(contact.value("image").toByteArray(), "pic");
}
