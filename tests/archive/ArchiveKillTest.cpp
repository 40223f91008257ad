// A writer killed (SIGKILL) in the middle of a large transaction leaves the archive exactly
// as at its last commit, with every attachment file of a committed row in place.

#include "ArchiveRig.h"

#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QProcess>

#include <csignal>

namespace {

// Reads the child's lines until `line` appears; false when the child ends or time runs out.
bool waitForLine(QProcess &child, const QByteArray &line, int timeoutMs = 120000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        while (child.canReadLine()) {
            if (child.readLine().trimmed() == line)
                return true;
        }
        if (child.state() != QProcess::Running)
            return false;
        child.waitForReadyRead(1000);
    }
    return false;
}

} // namespace

TEST(ArchiveKill, AWriterKilledMidTransactionLeavesTheLastCommit)
{
    ArchiveRig rig("uid-kill");
    constexpr int kBatch = 500;
    QProcess child;
    child.setProgram(QStringLiteral(QUILLON_ARCHIVE_KILL_CHILD));
    child.setArguments({rig.folder(), QString::number(kBatch)});
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The child's temporary folder lies in this test's throw-away home.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), rig.home.path());
    child.setProcessEnvironment(environment);
    child.start();
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(waitForLine(child, "committed 1"));
    ASSERT_TRUE(waitForLine(child, "writing 2"));
    ::kill(pid_t(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);

    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error)) << error;
    EXPECT_EQ(rig.text("uid-kill", "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(rig.number("uid-kill", "SELECT COUNT(*) FROM message"), 2 * kBatch);
    EXPECT_EQ(rig.number("uid-kill", "SELECT COUNT(*) FROM smsbackuppieces"), 2 * kBatch);
    EXPECT_EQ(rig.number("uid-kill", "SELECT COUNT(*) FROM message WHERE text LIKE '% of 2'"), 0);

    // Every committed row's file is there, whole.
    sqlite3 *db = rig.openRaw("uid-kill");
    sqlite3_stmt *statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT uuid, path FROM smsbackuppieces", -1, &statement, nullptr), SQLITE_OK);
    int missing = 0, damaged = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const QString uuid = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        const QString path = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
        const QByteArray contents = readFile(rig.folder() + "/" + path);
        if (contents.isEmpty())
            ++missing;
        else if (contents.size() != 2048 + uuid.size() || !contents.endsWith(uuid.toUtf8()))
            ++damaged;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(damaged, 0);
}
