#include "TestHome.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

const QDateTime kTime(QDate(2019, 6, 1), QTime(14, 3, 7, 45));

VarnekLogger::Clock fixedClock()
{
    return [] { return kTime; };
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList logFiles(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

TEST(VarnekLogger, NamesTheFileByTimeAndStampsEveryLine)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Logs/Quillon";
    VarnekLogger logger(true, false, folder, fixedClock());
    const QString expectedName = VarnekLogger::getAppName() + " 2019-06-01 at 14.03.07.log";
    EXPECT_EQ(logger.logFilePath(), folder + "/" + expectedName);

    logger.log("plain");
    logger.log("ends in newline\n");
    logger.log("");
    logger.log("first\nsecond");
    logger.log(QString::fromUtf8("Grüße"));

    const QList<QByteArray> lines = readAll(logger.logFilePath()).split('\n');
    ASSERT_GE(lines.size(), 8);
    EXPECT_TRUE(lines[0].startsWith("===== ") && lines[0].endsWith(" =====")) << lines[0].constData();
    EXPECT_EQ(lines[1], "2019-06-01 14:03:07.045 plain");
    EXPECT_EQ(lines[2], "2019-06-01 14:03:07.045 ends in newline");
    EXPECT_EQ(lines[3], "2019-06-01 14:03:07.045 ");
    EXPECT_EQ(lines[4], "2019-06-01 14:03:07.045 first");
    EXPECT_EQ(lines[5], "second"); // only a message's first line carries a time stamp
    EXPECT_EQ(lines[6], QString::fromUtf8("2019-06-01 14:03:07.045 Grüße").toUtf8());
    EXPECT_EQ(lines[7], "");
}

TEST(VarnekLogger, SecondFileInTheSameSecondGetsItsOwnName)
{
    QTemporaryDir dir;
    VarnekLogger first(true, false, dir.path(), fixedClock());
    first.log("from the first");
    VarnekLogger second(true, false, dir.path(), fixedClock());
    second.log("from the second");

    ASSERT_NE(first.logFilePath(), second.logFilePath());
    EXPECT_TRUE(second.logFilePath().endsWith(" 2019-06-01 at 14.03.07 2.log")) << qPrintable(second.logFilePath());
    EXPECT_TRUE(readAll(first.logFilePath()).contains("from the first"));
    EXPECT_FALSE(readAll(first.logFilePath()).contains("from the second"));
    EXPECT_EQ(logFiles(dir.path()).size(), 2);
}

TEST(VarnekLogger, OffWritesNothingUntilSwitchedOnAndEverySwitchOnStartsAFile)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Logs/Quillon";
    VarnekLogger logger(false, false, folder, fixedClock());
    logger.log("not written");
    EXPECT_FALSE(QFileInfo::exists(folder));

    logger.setLogToFile(true);
    const QString firstFile = logger.logFilePath();
    logger.log("on");
    logger.setLogToFile(false);
    logger.log("off again");
    logger.setLogToFile(true);
    logger.log("on again");

    EXPECT_NE(logger.logFilePath(), firstFile);
    EXPECT_EQ(logFiles(folder).size(), 2);
    const QByteArray first = readAll(firstFile);
    EXPECT_TRUE(first.startsWith("===== "));
    EXPECT_TRUE(first.contains(" on\n"));
    EXPECT_FALSE(first.contains("off again"));
    const QByteArray second = readAll(logger.logFilePath());
    EXPECT_TRUE(second.startsWith("===== "));
    EXPECT_TRUE(second.contains("on again"));
}

TEST(VarnekLogger, AddFileCopiesOnlyWhileLoggingAndNeverReplaces)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Logs";
    const QString source = dir.path() + "/Manifest.bin";
    {
        QFile f(source);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("first copy");
    }
    VarnekLogger logger(false, false, folder, fixedClock());
    logger.addFile(source);
    EXPECT_FALSE(QFileInfo::exists(folder + "/Manifest 2019-06-01 at 14.03.07.log"));

    logger.setLogToFile(true);
    logger.addFile(source);
    EXPECT_EQ(readAll(folder + "/Manifest 2019-06-01 at 14.03.07.log"), "first copy");

    {
        QFile f(source);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("second copy");
    }
    logger.addFile(source);
    EXPECT_EQ(readAll(folder + "/Manifest 2019-06-01 at 14.03.07.log"), "first copy");
    EXPECT_EQ(readAll(folder + "/Manifest 2019-06-01 at 14.03.07 2.log"), "second copy");
}

TEST(VarnekLogger, EntryPointsFormatThroughTheMainLoggerAndAreSilentWithoutOne)
{
    TestHome home;
    VarnekLogger *const saved = gMainLogger.exchange(nullptr);
    VarnekLog("nobody listens %d", 1); // no logger: nothing happens, nothing crashes
    VarnekLogAFile("/nonexistent");

    VarnekLogger *logger = VarnekLogger::createDefaultLoggerToFile(true, false);
    EXPECT_EQ(logger->logFileLocation(), home.path() + "/.local/state/Logs/" + VarnekLogger::getAppName());
    VarnekLog("count %d of %s", 3, qUtf8Printable(QStringLiteral("items")));
    VarnekLog(QStringLiteral("as a string"));
    const QByteArray text = readAll(logger->logFilePath());
    EXPECT_TRUE(text.contains(" count 3 of items\n"));
    EXPECT_TRUE(text.contains(" as a string\n"));

    logger->setLogToFile(false);
    gMainLogger.store(saved);
}

TEST(VarnekLogger, LinesFromManyThreadsNeverInterleave)
{
    QTemporaryDir dir;
    VarnekLogger logger(true, false, dir.path());
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        for (int i = 0; i < 20 && !stop.load(); ++i) {
            logger.setLogToFile(false);
            logger.setLogToFile(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i)
                logger.log(QStringLiteral("thread %1 line %2 ").arg(t).arg(i) + QString(40, QLatin1Char('x')));
        });
    }
    for (auto &w : writers)
        w.join();
    stop.store(true);
    toggler.join();

    for (const QString &name : logFiles(dir.path())) {
        const QList<QByteArray> lines = readAll(dir.path() + "/" + name).split('\n');
        for (const QByteArray &line : lines) {
            if (line.isEmpty() || line.startsWith("====="))
                continue;
            EXPECT_TRUE(line.endsWith(QByteArray(40, 'x')) && line.count("thread") == 1) << line.constData();
        }
    }
}
