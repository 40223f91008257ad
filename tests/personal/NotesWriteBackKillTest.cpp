// A write-back killed (SIGKILL) in the middle of an operation leaves the copy as at its last
// commit: whole operations only, counters matching the notes, integrity "ok".

#include "NotesDatabaseFixture.h"
#include "TestHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

namespace F = NotesDatabaseFixture;

TEST(NotesWriteBackKill, AWriteBackKilledMidOperationLeavesTheLastCommit)
{
    // The child's temporary folder: TMPDIR in a folder of this test's own.
    QTemporaryDir tmp;
    QProcess child;
    child.setProgram(QStringLiteral(QUILLON_NOTES_KILL_CHILD));
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tmp.path());
    child.setProcessEnvironment(environment);
    child.start();
    ASSERT_TRUE(child.waitForStarted());

    int committed = 0;
    QElapsedTimer timer;
    timer.start();
    while (committed < 2 && timer.elapsed() < 120000) {
        if (!child.canReadLine() && !child.waitForReadyRead(1000)) {
            ASSERT_EQ(child.state(), QProcess::Running);
            continue;
        }
        const QByteArray line = child.readLine().trimmed();
        if (line.startsWith("committed "))
            committed = line.mid(10).toInt();
    }
    ASSERT_GE(committed, 2);
    ::kill(pid_t(child.processId()), SIGKILL); // the third add is under way
    ASSERT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);

    const QStringList found = QDir(tmp.path()).entryList({QStringLiteral("org.quillon.Quillon_*")}, QDir::Dirs);
    ASSERT_EQ(found.size(), 1) << found.join(' ').toStdString();
    const QString copy = tmp.path() + "/" + found.first() + "/notes.db";
    EXPECT_EQ(F::value(copy, "PRAGMA integrity_check"), "ok");
    const int notes = F::value(copy, "SELECT COUNT(*) FROM Note").toInt();
    // Each add writes three notes (the body continues twice), all or none.
    EXPECT_EQ(notes % 3, 0);
    EXPECT_GE(notes, 3 * committed);
    EXPECT_LE(notes, 3 * committed + 3);
    EXPECT_EQ(F::value(copy, "SELECT COUNT(*) FROM note_bodies WHERE length(data) >= 402848"), QString::number(notes));
}
