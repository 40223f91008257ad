// The built program, started as a user would start it: offscreen, in a throw-away home.
#include "TestHome.h"
#include "shell/SingleInstance.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

namespace {

const char kAlreadyRunning[] = "Quillon is Already Running";

struct QuillonHome
{
    QTemporaryDir home;
    QTemporaryDir tmp;

    QProcessEnvironment environment(int quitAfterMs) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("TMPDIR", tmp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QUILLON_QUIT_AFTER_MS", QString::number(quitAfterMs));
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
            env.remove(name);
        return env;
    }

    void turnOnLog() const
    {
        // The child's defaults live under its own HOME.
        const QByteArray ownHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        UserDefaults::standard().setBool(true, QStringLiteral("DEBUG_LOG"));
        qputenv("HOME", ownHome);
    }

    QString lockPath() const { return home.path() + "/.local/share/Quillon/" + SingleInstance::lockFileName(); }

    std::unique_ptr<QProcess> start(int quitAfterMs) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment(quitAfterMs));
        process->start(QStringLiteral(QUILLON_BINARY_DIR "/bin/Quillon"), {});
        return process;
    }

    QStringList workFolders() const
    {
        return QDir(tmp.path()).entryList({"org.quillon.Quillon_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    }
};

// True once some process holds the single-instance lock.
bool lockIsHeld(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

TEST(QuillonProcess, StartsOffscreenAndQuitsLeavingNoTemporaryFolder)
{
    QuillonHome q;
    q.turnOnLog();
    auto process = q.start(300);
    ASSERT_TRUE(process->waitForStarted(10000));
    ASSERT_TRUE(process->waitForFinished(60000)) << process->readAllStandardError().constData();
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process->exitCode(), 0);
    EXPECT_TRUE(q.workFolders().isEmpty()) << qPrintable(q.workFolders().join(", "));

    // The log shows the run made its folder, which is now gone.
    QDirIterator logs(q.home.path() + "/.local/state/Logs/Quillon", {"Quillon *.log"}, QDir::Files);
    ASSERT_TRUE(logs.hasNext());
    QFile log(logs.next());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("Temporary folder: " + q.tmp.path().toUtf8() + "/org.quillon.Quillon_")) << text.constData();
    EXPECT_TRUE(text.contains("FRWindow: closeup"));
}

TEST(QuillonProcess, ASecondCopyExitsWithItsMessageWhileTheFirstRuns)
{
    QuillonHome q;
    auto first = q.start(60000);
    ASSERT_TRUE(first->waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return lockIsHeld(q.lockPath()); }, 30000));

    auto second = q.start(60000);
    ASSERT_TRUE(second->waitForFinished(30000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(second->readAllStandardError().contains(kAlreadyRunning));
    EXPECT_EQ(first->state(), QProcess::Running);

    // Logging out sends SIGTERM: the first copy still quits in order.
    first->terminate();
    ASSERT_TRUE(first->waitForFinished(30000));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(q.workFolders().isEmpty());
}

TEST(QuillonProcess, OfTwoStartedTogetherExactlyOneSurvives)
{
    QuillonHome q;
    // Neither quits by itself, however slowly a loaded machine starts them: the copy that
    // loses the lock exits at once, and the other runs until it is told to quit.
    auto a = q.start(600000);
    auto b = q.start(600000);
    QProcess *refused = nullptr;
    ASSERT_TRUE(waitFor([&] {
        if (a->waitForFinished(10))
            refused = a.get();
        else if (b->waitForFinished(10))
            refused = b.get();
        return refused != nullptr;
    }, 60000));
    QProcess *survivor = refused == a.get() ? b.get() : a.get();
    EXPECT_EQ(survivor->state(), QProcess::Running);
    survivor->terminate();
    ASSERT_TRUE(survivor->waitForFinished(30000));
    EXPECT_EQ(survivor->exitStatus(), QProcess::NormalExit); // it quit in order, not killed
    EXPECT_EQ(refused->exitCode(), 0);
    EXPECT_EQ(survivor->exitCode(), 0);
    EXPECT_TRUE(refused->readAllStandardError().contains(kAlreadyRunning));
    EXPECT_FALSE(survivor->readAllStandardError().contains(kAlreadyRunning));
    EXPECT_TRUE(q.workFolders().isEmpty());
}

TEST(QuillonProcess, CopiesWithTheirOwnDataFoldersRunSideBySide)
{
    QuillonHome first, second;
    auto a = first.start(2000);
    ASSERT_TRUE(a->waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return lockIsHeld(first.lockPath()); }, 30000));
    auto b = second.start(300);
    ASSERT_TRUE(b->waitForFinished(60000));
    ASSERT_TRUE(a->waitForFinished(60000));
    EXPECT_FALSE(a->readAllStandardError().contains(kAlreadyRunning));
    EXPECT_FALSE(b->readAllStandardError().contains(kAlreadyRunning));
    EXPECT_EQ(a->exitCode(), 0);
    EXPECT_EQ(b->exitCode(), 0);
}
