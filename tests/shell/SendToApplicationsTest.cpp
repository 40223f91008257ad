// Send-to through the desktop's real openers (xdg-open, xdg-email) to a recording handler:
// the notes mailbox as a mail library reads it, one message per note, text files, the album,
// the playlist; and the launcher's idea of success.

#include "DesktopHandlerRig.h"

#include "TestWait.h"
#include "platform/Paths.h"
#include "shell/Defaults.h"
#include "shell/DesktopLauncher.h"
#include "shell/SendToApplications.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <atomic>

using namespace SendToApplications;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
}

const QDateTime kDate(QDate(2019, 3, 4), QTime(5, 6, 7), Qt::UTC);

} // namespace

TEST(DesktopLauncher, AFailureWithinTheSettleTimeFailsAndARunningOpenerHasLaunched)
{
    EXPECT_FALSE(DesktopLauncher::run("sh", {"-c", "exit 3"}, 5000));
    EXPECT_FALSE(DesktopLauncher::run("/nonexistent/opener", {}, 5000));
    EXPECT_TRUE(DesktopLauncher::run("sh", {"-c", "exit 0"}, 5000));
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(DesktopLauncher::run("sh", {"-c", "sleep 20"}, 200));
    EXPECT_LT(timer.elapsed(), scaledTimeoutMs(10000));
}

TEST(SendTo, NotesBecomeAMailboxThatAMailLibraryReadsWithOneLineSubjects)
{
    DesktopHandlerRig handler;
    const QList<SendToNote> notes{
        {"Shopping\nBcc: someone@example.org", "Milk\nEggs\n--DFGHJERTYUCVBN-- stays text", kDate},
        {QString::fromUtf8("Caf\xc3\xa9"), QString(5000, 'x'), kDate},
    };
    ASSERT_TRUE(sendToMail(notes));
    ASSERT_TRUE(handler.waitForRecord(1));
    const QString mailbox = handler.record().first();
    EXPECT_EQ(mailbox, getTempDir() + "/iNotes.mbox/mbox");

    const QByteArray json = runPython(R"(
import json, mailbox, sys
out = []
for message in mailbox.mbox(sys.argv[1]):
    out.append({"keys": list(message.keys()), "subject": str(message["Subject"]),
                "body": message.get_payload(decode=True).decode("utf-8"), "from": message.get_from()})
print(json.dumps(out))
)",
                                      {mailbox});
    const QJsonArray messages = QJsonDocument::fromJson(json).array();
    ASSERT_EQ(messages.size(), 2) << json.constData();
    const QStringList order{"X-Uniform-Type-Identifier", "Message-Id", "Content-Transfer-Encoding",
                            "X-Universally-Unique-Identifier", "Subject", "Date"};
    for (int i = 0; i < 2; ++i) {
        const QJsonObject message = messages.at(i).toObject();
        QStringList keys;
        for (const QJsonValue &key : message["keys"].toArray())
            keys << key.toString();
        EXPECT_EQ(keys, order);
        EXPECT_EQ(message["from"].toString(), "iPhone");
        EXPECT_EQ(message["body"].toString(), notes[i].bodyText);
    }
    EXPECT_EQ(messages[0].toObject()["subject"].toString(), "Shopping Bcc: someone@example.org");
}

TEST(SendTo, EachNoteOpensAMessageInTheMailComposerAndATextFileInTheEditor)
{
    DesktopHandlerRig handler;
    const QList<SendToNote> notes{{"Plan & more", "First line\nsecond line", kDate},
                                  {"Plan & more", "Other", kDate},
                                  {"../../escape", "Up", kDate}};
    tigerSendToMail(notes.mid(0, 1));
    ASSERT_TRUE(handler.waitForRecord(1));
    const QUrlQuery query(QUrl(handler.record().first()).query(QUrl::FullyEncoded));
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded), "Plan & more");
    EXPECT_EQ(query.queryItemValue("body", QUrl::FullyDecoded).remove('\r'), "First line\nsecond line");

    ASSERT_TRUE(sendToTextEdit(notes));
    ASSERT_TRUE(handler.waitForRecord(4));
    QStringList files = handler.record().mid(1);
    files.sort();
    const QString folder = getTempDir() + "/Notes";
    EXPECT_EQ(files, QStringList({folder + "/-..-escape.txt", folder + "/Plan & more-1.txt", folder + "/Plan & more.txt"}))
        << qPrintable(files.join(", "));
    EXPECT_EQ(readAll(folder + "/Plan & more-1.txt"), "Other");
}

TEST(SendTo, PhotosGoIntoTheDeviceAlbumWhichIsReused)
{
    DesktopHandlerRig handler;
    QTemporaryDir exported;
    writeFile(exported.path() + "/IMG_0001.JPG", "jpeg");
    const QString album = albumFolder(Paths::home() + "/Pictures", "iPhone");
    EXPECT_EQ(album, Paths::home() + "/Pictures/iPhone Photos");
    ASSERT_TRUE(sendToPhotos({exported.path() + "/IMG_0001.JPG"}, album));
    ASSERT_TRUE(sendToPhotos({exported.path() + "/IMG_0001.JPG"}, album));
    ASSERT_TRUE(handler.waitForRecord(2));
    EXPECT_EQ(handler.record(), QStringList({album, album}));
    EXPECT_EQ(QDir(album).entryList(QDir::Files, QDir::Name), QStringList({"IMG_0001-1.JPG", "IMG_0001.JPG"}));
    EXPECT_TRUE(hasPhotosApp());
    EXPECT_FALSE(hasiPhotoApp());
}

TEST(SendTo, MediaAreListedOnceInThePlaylistAndTemporaryCopiesGoOnlyAfterAHandOver)
{
    DesktopHandlerRig handler;
    QTemporaryDir saved;
    QTemporaryDir temporary;
    const QString music = Paths::home() + "/Music/From iPhone";
    writeFile(saved.path() + "/a.mp3", "a");
    writeFile(saved.path() + "/b.m4a", "b");
    writeFile(temporary.path() + "/memo.m4a", "memo");
    EXPECT_EQ(playlistName(true, false, "iPad"), "Voice Memos");
    EXPECT_EQ(playlistName(false, true, "iPad"), "Voicemails");
    EXPECT_EQ(playlistName(false, false, "iPad"), "From iPad");

    std::atomic<int> outcome{-1};
    auto done = [&](bool launched) { outcome = launched ? 1 : 0; };
    // The opener fails: the temporary copy stays.
    handler.setFailing(true);
    ASSERT_EQ(sendToiTunes({saved.path() + "/a.mp3", temporary.path() + "/memo.m4a"}, music, "Voice Memos",
                           temporary.path(), done),
              0);
    ASSERT_TRUE(waitUntil([&] { return outcome != -1; }, scaledTimeoutMs(90000)));
    EXPECT_EQ(outcome, 0);
    EXPECT_TRUE(QFileInfo::exists(temporary.path() + "/memo.m4a"));

    handler.setFailing(false);
    outcome = -1;
    ASSERT_EQ(sendToiTunes({saved.path() + "/a.mp3", saved.path() + "/b.m4a", temporary.path() + "/memo.m4a"}, music,
                           "Voice Memos", temporary.path(), done),
              0);
    ASSERT_TRUE(waitUntil([&] { return outcome != -1; }, scaledTimeoutMs(90000)));
    EXPECT_EQ(outcome, 1);
    EXPECT_EQ(handler.record(), QStringList({music + "/Voice Memos.m3u"}));
    EXPECT_FALSE(QFileInfo::exists(temporary.path() + "/memo.m4a"));
    // Each file once; the recording listed from its copy beside the playlist, which outlives
    // the temporary folder.
    EXPECT_EQ(readAll(music + "/Voice Memos.m3u"),
              "#EXTM3U\n" + (saved.path() + "/a.mp3\n" + music + "/memo.m4a\n" + saved.path() + "/b.m4a\n").toUtf8());
    EXPECT_EQ(readAll(music + "/memo.m4a"), "memo");

    // A playlist that cannot be written.
    writeFile(Paths::home() + "/NotAFolder", "");
    EXPECT_EQ(sendToiTunes({saved.path() + "/a.mp3"}, Paths::home() + "/NotAFolder", "x", temporary.path()), -36);
    EXPECT_EQ(checkiTunesSettings(), 0);
}
