// The built program, started as a user would start it: offscreen, in a throw-away home.
#include "QuillonRun.h"
#include "TestHome.h"
#include "shell/SingleInstance.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <csignal>
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

    std::unique_ptr<QProcess> start(int quitAfterMs, const QStringList &arguments = {},
                                    const QString &display = {}) const
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = environment(quitAfterMs);
        if (!display.isEmpty()) {
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DISPLAY", display);
        }
        process->setProcessEnvironment(env);
        process->start(buildPath(QStringLiteral("bin/Quillon")), arguments);
        return process;
    }

    QByteArray logText() const
    {
        QByteArray text;
        QDirIterator logs(home.path() + "/.local/state/Logs/Quillon", {"Quillon *.log"}, QDir::Files);
        while (logs.hasNext()) {
            QFile log(logs.next());
            if (log.open(QIODevice::ReadOnly))
                text += log.readAll();
        }
        return text;
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

// A private X server for the tests that need alerts on a screen; skipped where none can start.
class PrivateDisplay
{
public:
    PrivateDisplay()
    {
        for (int number = 90 + int(::getpid() % 50); number < 400 && mDisplay.isEmpty(); number += 7) {
            if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
                continue;
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            mServer.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(number), "-nolisten", "tcp",
                                                     "-screen", "0", "1024x768x24"});
            if (!mServer.waitForStarted(5000))
                return;
            if (waitFor([&] { return QFileInfo::exists(socket) || mServer.state() != QProcess::Running; }, 20000)
                && mServer.state() == QProcess::Running)
                mDisplay = QStringLiteral(":%1").arg(number);
            else
                mServer.waitForFinished(5000);
        }
    }
    ~PrivateDisplay()
    {
        if (mServer.state() == QProcess::Running) {
            mServer.terminate();
            mServer.waitForFinished(10000);
        }
    }
    QString display() const { return mDisplay; }

private:
    QProcess mServer;
    QString mDisplay;
};

TEST(QuillonProcess, StartsOffscreenAndQuitsLeavingNoTemporaryFolder)
{
    QuillonHome q;
    q.turnOnLog();
    // The re-execution marker is logged once the logger exists.
    auto process = q.start(300, {"-respawn"});
    ASSERT_TRUE(process->waitForStarted(10000));
    ASSERT_TRUE(process->waitForFinished(60000)) << errorOutput(*process).constData();
    expectCleanExit(*process);
    EXPECT_TRUE(q.workFolders().isEmpty()) << qPrintable(q.workFolders().join(", "));

    // The log shows the run made its folder, which is now gone.
    const QByteArray text = q.logText();
    EXPECT_TRUE(text.contains("Temporary folder: " + q.tmp.path().toUtf8() + "/org.quillon.Quillon_")) << text.constData();
    EXPECT_TRUE(text.contains("FRWindow: closeup"));
    EXPECT_EQ(text.count("re-spawn to 32-bit failed"), 1) << text.constData();
}

TEST(QuillonProcess, QuitSignalsQuitInOrder)
{
    // Logging out sends SIGTERM, Ctrl-C SIGINT, closing the terminal that started it SIGHUP.
    const struct {
        const char *name;
        int signal;
    } cases[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QuillonHome q;
        q.turnOnLog();
        auto process = q.start(600000);
        ASSERT_TRUE(process->waitForStarted(10000));
        // Sent once the run's temporary folder exists, so there is something to clean up.
        ASSERT_TRUE(waitFor([&] { return q.logText().contains("Temporary folder: "); }, 60000));
        ::kill(pid_t(process->processId()), c.signal);
        ASSERT_TRUE(process->waitForFinished(60000));
        expectCleanExit(*process);
        EXPECT_TRUE(q.workFolders().isEmpty()) << qPrintable(q.workFolders().join(", "));
        EXPECT_TRUE(q.logText().contains("Quit signal received"));
    }
}

TEST(QuillonProcess, TheAlreadyRunningAlertEndsOnAQuitSignal)
{
    PrivateDisplay screen;
    if (screen.display().isEmpty())
        GTEST_SKIP() << "no X server could be started";
    QuillonHome q;
    auto first = q.start(600000);
    ASSERT_TRUE(first->waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return lockIsHeld(q.lockPath()); }, 60000));

    // The second copy shows its alert on the screen and waits for OK, which nobody clicks.
    auto second = q.start(600000, {}, screen.display());
    ASSERT_TRUE(second->waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return errorOutput(*second).contains(kAlreadyRunning); }, 60000))
        << "display " << qPrintable(screen.display()) << ", state " << int(second->state()) << ", exit "
        << second->exitCode() << ": " << errorOutput(*second).constData();
    quitQuillon(*second);
    quitQuillon(*first);
}

TEST(QuillonProcess, ASecondCopyExitsWithItsMessageWhileTheFirstRuns)
{
    QuillonHome q;
    auto first = q.start(60000);
    ASSERT_TRUE(first->waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return lockIsHeld(q.lockPath()); }, 30000));

    auto second = q.start(60000);
    ASSERT_TRUE(second->waitForFinished(30000));
    expectCleanExit(*second);
    EXPECT_TRUE(errorOutput(*second).contains(kAlreadyRunning));
    EXPECT_EQ(first->state(), QProcess::Running);

    // Logging out sends SIGTERM: the first copy still quits in order.
    first->terminate();
    ASSERT_TRUE(first->waitForFinished(30000));
    expectCleanExit(*first);
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
    expectCleanExit(*survivor); // it quit in order, not killed
    expectCleanExit(*refused);
    EXPECT_TRUE(errorOutput(*refused).contains(kAlreadyRunning));
    EXPECT_FALSE(errorOutput(*survivor).contains(kAlreadyRunning));
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
    EXPECT_FALSE(errorOutput(*a).contains(kAlreadyRunning));
    EXPECT_FALSE(errorOutput(*b).contains(kAlreadyRunning));
    expectCleanExit(*a);
    expectCleanExit(*b);
}
