#include "TestHome.h"
#include "platform/Paths.h"
#include "shell/OwnTemporaries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

QString makeFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("half written");
    return path;
}

// A temporary root of the test's own, so no other run's work folders are counted.
class ScopedTempRoot
{
public:
    ScopedTempRoot() : mPrevious(qgetenv("TMPDIR")) { qputenv("TMPDIR", mDir.path().toUtf8()); }
    ~ScopedTempRoot() { qputenv("TMPDIR", mPrevious); }
    QString path() const { return mDir.path(); }

private:
    QTemporaryDir mDir;
    QByteArray mPrevious;
};

} // namespace

TEST(OwnTemporaries, WhatAKilledRunLeftIsRemovedAtTheNextStart)
{
    TestHome home;
    ScopedTempRoot root;
    const QString downloads = home.path() + "/Downloads";
    const QString download = makeFile(downloads + "/.quillon-download-a1B2c3");
    const QString plaintext = makeFile(home.path() + "/Restored/Notes.db.qnpartXyZ123");
    const QString mine = makeFile(downloads + "/photo.jpg");
    // The journal as a run killed in the middle of both leaves it.
    OwnTemporaries::begin(download);
    OwnTemporaries::begin(plaintext);
    QByteArray left;
    {
        QFile journal(OwnTemporaries::journalPath());
        ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
        left = journal.readAll();
    }
    OwnTemporaries::end(download);
    OwnTemporaries::end(plaintext);
    {
        QFile journal(OwnTemporaries::journalPath());
        ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
        // Lines naming a file that is not ours, or nothing readable, are never acted on.
        journal.write(left + QFile::encodeName(mine).toBase64() + "\n" + QByteArray("not base64 at all\n"));
    }
    const QString keychain = Paths::applicationSupport() + "/keychain";
    const QString staleSecrets = makeFile(keychain + "/items.json.tmp-999999999");
    const QString liveSecrets = makeFile(keychain + "/items.json.tmp-" + QString::number(::getpid()));

    EXPECT_EQ(OwnTemporaries::removeStale(), 3);
    EXPECT_FALSE(QFileInfo::exists(download));
    EXPECT_FALSE(QFileInfo::exists(plaintext));
    EXPECT_FALSE(QFileInfo::exists(staleSecrets));
    EXPECT_TRUE(QFileInfo::exists(liveSecrets)) << "its writer is alive";
    EXPECT_TRUE(QFileInfo::exists(mine));
    EXPECT_EQ(QFileInfo(OwnTemporaries::journalPath()).size(), 0);
}

TEST(OwnTemporaries, TheJournalEmptiesOnceGrownAndNothingIsInProgress)
{
    TestHome home;
    const auto journalSize = [] { return QFileInfo(OwnTemporaries::journalPath()).size(); };
    OwnTemporaries::begin(home.path() + "/.quillon-download-first");
    OwnTemporaries::end(home.path() + "/.quillon-download-first");
    EXPECT_GT(journalSize(), 0) << "a short journal is left to grow";

    // A busy stretch: one temporary stays in progress while many others come and go.
    OwnTemporaries::begin(home.path() + "/.quillon-download-long");
    int n = 0;
    while (journalSize() < OwnTemporaries::kJournalLimit) {
        const QString path = home.path() + "/.quillon-download-" + QString::number(++n);
        OwnTemporaries::Noted noted(path);
    }
    EXPECT_GE(journalSize(), OwnTemporaries::kJournalLimit) << "the long one is still being written";
    OwnTemporaries::end(home.path() + "/.quillon-download-long");
    EXPECT_EQ(journalSize(), 0);

    OwnTemporaries::begin(home.path() + "/.quillon-download-again");
    EXPECT_GT(journalSize(), 0) << "the journal is written again after emptying";
    OwnTemporaries::end(home.path() + "/.quillon-download-again");
}

TEST(OwnTemporaries, ANoteAfterTheJournalWasRemovedIsStillKept)
{
    TestHome home;
    OwnTemporaries::Noted({home.path() + "/.quillon-download-before"});
    ASSERT_TRUE(QFile::remove(OwnTemporaries::journalPath()));
    const QString next = home.path() + "/.quillon-download-after";
    OwnTemporaries::Noted noted(next);
    QFile journal(OwnTemporaries::journalPath());
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    EXPECT_EQ(journal.readAll(), QFile::encodeName(next).toBase64() + "\n");
}

TEST(OwnTemporaries, OnlyOurNamesCount)
{
    for (const char *name : {".quillon-download-AbC123", "Notes.db.qnpartXYZ", "x.qnpart123456"})
        EXPECT_TRUE(OwnTemporaries::isOurTemporaryName(name)) << name;
    for (const char *name : {"quillon-download-x", "photo.jpg", "items.json", ".quillon-downloads"})
        EXPECT_FALSE(OwnTemporaries::isOurTemporaryName(name)) << name;
}

TEST(OwnTemporaries, AKilledRunsWorkFolderGoesAtTheNextStartAndNothingElseDoes)
{
    TestHome home;
    ScopedTempRoot root;
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);

    const QString prefix = root.path() + "/org.quillon.Quillon_1765400000.123000_";
    const QString killed = prefix + QString::number(gone);
    makeFile(killed + "/sms.db");
    makeFile(killed + "/Attachments/ab-iMessage-IMG_1.jpg");
    const QString running = prefix + QString::number(::getpid()) + "-1";
    makeFile(running + "/sms.db");
    const QString notOurName = root.path() + "/org.quillon.Quillon_notes";
    makeFile(notOurName + "/keep");
    // A link under a killed run's name leads to someone else's folder.
    QTemporaryDir victim;
    makeFile(victim.path() + "/keep");
    const QString planted = prefix + QString::number(gone) + "-2";
    ASSERT_TRUE(QFile::link(victim.path(), planted));

    EXPECT_EQ(OwnTemporaries::removeStale(), 1);
    EXPECT_FALSE(QFileInfo::exists(killed));
    EXPECT_TRUE(QFileInfo::exists(running + "/sms.db"));
    EXPECT_TRUE(QFileInfo::exists(notOurName + "/keep"));
    EXPECT_TRUE(QFileInfo(planted).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(victim.path() + "/keep"));
}
