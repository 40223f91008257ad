// Merging one archive into another through the archive action: what is copied, what counts
// as a duplicate, attachment files of the same name, the result sheets, and failures that
// must leave the target as it was.

#include "ArchiveRig.h"
#include "RecordingSheets.h"

#include "archive/ArchiveSchema.h"
#include "archive/QNArchive.h"
#include "../device/RecordingWindow.h"

#include <QDir>
#include <QFileInfo>

namespace {

constexpr qint64 kSeconds = 1600000000;

std::shared_ptr<QNArchive> makeArchive(ArchiveRig &rig, const QString &key, const QString &name)
{
    int error = 0;
    const ArchiveDBPtr db = rig.controller.getBackupDB(key, &error);
    EXPECT_TRUE(db) << error;
    if (!db)
        return nullptr;
    EXPECT_EQ(ArchiveSchema::addPropsTable(db->handle(), name), 0);
    return QNArchive::initWithUuid(key, {}, rig.folder());
}

// Rows are written with the test's own connection; `sql` may use the message's row id as
// last_insert_rowid() for its pieces.
void message(ArchiveRig &rig, const QString &key, qint64 date, const QString &address, const QString &text,
             const QString &piecesSql = {})
{
    rig.exec(key, QStringLiteral("INSERT INTO message (id, date, address, text, flags, html, sender, sendername) "
                                 "VALUES (7, %1, '%2', '%3', 0, '<p>%3</p>', 'sender', 'Bob');")
                          .arg(date)
                          .arg(address, text)
                      + piecesSql);
}

QString piecePath(const QString &key, const QString &name)
{
    return QStringLiteral("INSERT INTO smsbackuppieces (smsid, uuid, path) VALUES (last_insert_rowid(), '%2', "
                          "'%1.qnxmdb/%2');")
        .arg(key, name);
}

struct MergeRig
{
    MergeRig()
    {
        source = makeArchive(rig, "uid-src", "Old phone");
        target = makeArchive(rig, "uid-dst", "New phone");
        rig.controller.setDevicesOnMain({source, target});
        rig.controller.setWindow(&window);
    }
    ~MergeRig() { rig.controller.setWindow(nullptr); }

    // Merges with the confirmation answered and waits for the result sheet.
    void merge()
    {
        const int before = int(sheets.shown.size());
        rig.controller.mergeArchive(source, target);
        ASSERT_TRUE(waitUntil([&] { return sheets.shown.size() >= before + 2; }, 20000));
    }
    QString file(const QString &key, const QString &name) const
    {
        return rig.folder() + "/" + key + ".qnxmdb/" + name;
    }

    ArchiveRig rig;
    RecordingSheets sheets;
    RecordingWindow window;
    std::shared_ptr<QNArchive> source, target;
};

} // namespace

TEST(ArchiveMerge, CopiesWhatIsNewWithItsAttachmentsAndKeepsSameNamedFilesApart)
{
    MergeRig m;
    ArchiveRig &rig = m.rig;
    // Calls: one at a moment and address the target has (another duration), one new.
    rig.exec("uid-dst", QStringLiteral("INSERT INTO call (id, date, address, duration, flags) VALUES (1, %1, '+1', 99, 0);")
                            .arg(kSeconds));
    rig.exec("uid-src", QStringLiteral("INSERT INTO call (id, date, address, duration, flags, provider, name) VALUES "
                                       "(1, %1, '+1', 10, 0, NULL, NULL), (2, %1, '+2', 5, 0, 'tel', 'Cy');")
                            .arg(kSeconds));
    rig.exec("uid-src", QStringLiteral("INSERT INTO voicemail (id, date, address, duration, flags, amr) VALUES "
                                       "(1, %1, '+1', 3, 0, X'0102');")
                            .arg(kSeconds));
    rig.exec("uid-dst", "INSERT INTO contacts (id, name) VALUES ('c1', 'Kept');");
    rig.exec("uid-src", "INSERT INTO contacts (id, name) VALUES ('c1', 'Other'), ('c2', 'New');");

    // Attachment files: one name taken by another picture, one by the same picture.
    writeFile(m.file("uid-dst", "IMG.jpg"), "target picture");
    writeFile(m.file("uid-src", "IMG.jpg"), "source picture");
    writeFile(m.file("uid-dst", "same.jpg"), "same bytes");
    writeFile(m.file("uid-src", "same.jpg"), "same bytes");
    message(rig, "uid-dst", kSeconds, "+1", "the target alone", piecePath("uid-dst", "IMG.jpg"));
    message(rig, "uid-dst", kSeconds + 1, "+1", " Same\n");

    message(rig, "uid-src", kSeconds, "+1", "Hello there",
            piecePath("uid-src", "IMG.jpg")
                + "INSERT INTO smsbackuppieces (smsid, uuid, data) VALUES (last_insert_rowid(), 'inline', X'41');");
    message(rig, "uid-src", kSeconds + 1, "+1", "Same");    // duplicate up to white space
    message(rig, "uid-src", kSeconds + 1, "+2", "Same");    // another conversation
    message(rig, "uid-src", kSeconds + 2, "---DELETED---", "---DELETED---");
    message(rig, "uid-src", kSeconds + 3, "+1", "lost picture", piecePath("uid-src", "missing.jpg"));
    message(rig, "uid-src", kSeconds + 4, "+1", "again", piecePath("uid-src", "same.jpg"));

    m.merge();
    EXPECT_EQ(m.sheets.titles(), (QStringList{"Merge Archive Data?", "Archive Data Copied"}));
    EXPECT_EQ(m.sheets.shown.last().message,
              "4 messages, 1 voicemails and 1 calls were copied from the archive for \"Old phone\" to the archive for "
              "\"New phone\".  1 messages, 0 voicemails and 1 calls were not copied because they appear to be "
              "duplicates.");
    EXPECT_EQ(m.sheets.begun.load(), 1);
    EXPECT_EQ(m.sheets.ended.load(), 1);

    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM call"), 2);
    EXPECT_EQ(rig.number("uid-dst", "SELECT duration FROM call WHERE address='+1'"), 99);
    EXPECT_EQ(rig.text("uid-dst", "SELECT name FROM call WHERE address='+2'"), "Cy");
    EXPECT_EQ(rig.number("uid-dst", "SELECT length(amr) FROM voicemail"), 2);
    EXPECT_EQ(rig.text("uid-dst", "SELECT name FROM contacts WHERE id='c1'"), "Kept");
    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM contacts"), 2);
    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM message"), 6);
    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM message WHERE address='---DELETED---'"), 0);
    EXPECT_EQ(rig.text("uid-dst", "SELECT sendername FROM message WHERE text='Hello there'"), "Bob");
    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM message WHERE text='Same'"), 1);

    // The copied picture took a name of its own; the target's picture is untouched.
    EXPECT_EQ(rig.text("uid-dst", "SELECT p.path FROM smsbackuppieces p JOIN message m ON m.ROWID = p.smsid "
                                  "WHERE m.text='Hello there' AND p.uuid='IMG.jpg'"),
              "uid-dst.qnxmdb/IMG-1.jpg");
    EXPECT_EQ(readFile(m.file("uid-dst", "IMG-1.jpg")), "source picture");
    EXPECT_EQ(readFile(m.file("uid-dst", "IMG.jpg")), "target picture");
    EXPECT_EQ(rig.number("uid-dst", "SELECT length(data) FROM smsbackuppieces WHERE uuid='inline'"), 1);
    // The same picture is shared; a piece without its file gets no row.
    EXPECT_EQ(rig.text("uid-dst", "SELECT path FROM smsbackuppieces WHERE uuid='same.jpg'"), "uid-dst.qnxmdb/same.jpg");
    EXPECT_EQ(QDir(rig.folder() + "/uid-dst.qnxmdb").entryList(QDir::Files | QDir::Hidden).size(), 3);
    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM smsbackuppieces WHERE uuid='missing.jpg'"), 0);

    // The target was marked and the windows told; the mark is cleared once handled.
    EXPECT_EQ(m.target->numMessages(), 6);
    ASSERT_TRUE(waitUntil([&] { return m.window.count("updateSMSArchive") > 0; }));
    EXPECT_EQ(m.target->updated(), QNArchive::kUpdatedNone);
    EXPECT_EQ(m.window.count("updateCallArchive"), m.window.count("updateVoicemailArchive"));

    // Merged again, everything is a duplicate.
    m.merge();
    EXPECT_EQ(m.sheets.titles().last(), "No Archive Data Copied");
    EXPECT_EQ(rig.number("uid-dst", "SELECT COUNT(*) FROM message"), 6);
}

TEST(ArchiveMerge, OlderDatesMeetTheirTwinsByTheSharedDateRule)
{
    MergeRig m;
    const qint64 nanoseconds = (kSeconds - 978307200) * 1000000000LL;
    m.rig.exec("uid-dst", QStringLiteral("INSERT INTO call (id, date, address, duration, flags) VALUES (1, %1, '+1', 1, 0);")
                              .arg(kSeconds));
    m.rig.exec("uid-src", QStringLiteral("INSERT INTO call (id, date, address, duration, flags) VALUES (1, %1, '+1', 1, 0);")
                              .arg(nanoseconds));
    message(m.rig, "uid-dst", kSeconds, "+1", "hi");
    message(m.rig, "uid-src", nanoseconds, "+1", "hi");
    message(m.rig, "uid-src", nanoseconds + 5000000000LL, "+1", "later");
    m.merge();
    EXPECT_EQ(m.sheets.shown.last().message,
              "1 messages, 0 voicemails and 0 calls were copied from the archive for \"Old phone\" to the archive for "
              "\"New phone\".  1 messages, 0 voicemails and 1 calls were not copied because they appear to be "
              "duplicates.");
    EXPECT_EQ(m.rig.number("uid-dst", "SELECT date FROM message WHERE text='later'"), kSeconds + 5);
}

TEST(ArchiveMerge, AnEmptySourceCopiesNothingAndSaysSo)
{
    MergeRig m;
    m.merge();
    EXPECT_EQ(m.sheets.titles().last(), "Archive Data Copied");
    EXPECT_TRUE(m.sheets.shown.last().message.startsWith("0 messages, 0 voicemails and 0 calls were copied"));
    EXPECT_TRUE(m.sheets.shown.last().message.endsWith("\"New phone\"."));
}

TEST(ArchiveMerge, AFailedInsertRollsEverythingBackAndRemovesCopiedFiles)
{
    MergeRig m;
    m.rig.exec("uid-src", QStringLiteral("INSERT INTO call (id, date, address, duration, flags) VALUES (1, %1, '+9', 1, 0);")
                              .arg(kSeconds));
    writeFile(m.file("uid-src", "a.jpg"), "a");
    message(m.rig, "uid-src", kSeconds, "+1", "first", piecePath("uid-src", "a.jpg"));
    message(m.rig, "uid-src", kSeconds + 1, "+1", "refused");
    m.rig.exec("uid-dst", "CREATE TRIGGER refuse BEFORE INSERT ON message WHEN NEW.text = 'refused' "
                          "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    m.merge();
    EXPECT_EQ(m.sheets.titles().last(), "An Error Occurred");
    EXPECT_EQ(m.sheets.shown.last().message, "An error occurred copying items. Nothing was copied.");
    EXPECT_EQ(m.rig.number("uid-dst", "SELECT COUNT(*) FROM call"), 0);
    EXPECT_EQ(m.rig.number("uid-dst", "SELECT COUNT(*) FROM message"), 0);
    EXPECT_FALSE(QFileInfo::exists(m.file("uid-dst", "a.jpg")));
    EXPECT_EQ(m.target->updated(), QNArchive::kUpdatedNone);
}

TEST(ArchiveMerge, AnArchiveThatCannotBeOpenedStopsTheMergeBeforeAnyStatement)
{
    MergeRig m;
    m.rig.controller.closeBackupDBs();
    ASSERT_TRUE(QFile::remove(m.rig.dbPath("uid-dst")));
    m.merge();
    EXPECT_EQ(m.sheets.shown.last().message, "An error occurred copying items. Nothing was copied.");
    EXPECT_FALSE(QFileInfo::exists(m.rig.dbPath("uid-dst"))); // not made again as an empty archive
}

TEST(ArchiveMerge, ACancelledConfirmationOrAMissingArchiveDoesNothing)
{
    MergeRig m;
    m.sheets.answers = {false};
    m.rig.controller.mergeArchive(m.source, m.target);
    m.rig.controller.mergeArchive(m.source, nullptr);
    m.rig.controller.mergeArchive(m.source, m.source);
    EXPECT_EQ(m.sheets.titles(), QStringList{"Merge Archive Data?"});
    EXPECT_EQ(m.sheets.begun.load(), 0);
}
