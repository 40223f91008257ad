#include "TelemetryTestSupport.h"
#include "TestHome.h"
#include "TestWait.h"

#include "telemetry/core/VUUtility.h"
#include "telemetry/core/VUWorkers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>
#include <thread>

#include <sys/xattr.h>

TEST(VULogger, FiltersByLevelAndNamesLevels)
{
    VULogger::resetToDefaults();
    EXPECT_EQ(VULogger::currentLogLevel(), 7u);
    EXPECT_FALSE(VULogger::isUserDefinedLogLevel());
    const auto message = [] { return QStringLiteral("hello"); };
    EXPECT_FALSE(VULogger::formatLine(message, VULogLevelError, "VovUdezir", "f", 1));
    EXPECT_EQ(*VULogger::formatLine(message, VULogLevelAssert, "VovUdezir", "run", 12),
              "[VovUdezir] ASSERT: run/12 hello");

    VULogger::setCurrentLogLevel(VULogLevelVerbose);
    EXPECT_TRUE(VULogger::isUserDefinedLogLevel());
    EXPECT_EQ(*VULogger::formatLine(message, VULogLevelVerbose, "T", "f", 3), "[T] VERBOSE: f/3 hello");
    EXPECT_EQ(*VULogger::formatLine(message, 8, "T", "f", 3), "[T] (null): f/3 hello");
    EXPECT_FALSE(VULogger::formatLine(message, VULogLevelNone, "T", "f", 3));
    VULogger::resetToDefaults();
}

TEST(VULogger, HandlerAndLevelCanBeSwappedWhileOtherThreadsLog)
{
    std::atomic<int> swappedCalls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int i = 0; i < 4; ++i)
        loggers.emplace_back([&] {
            while (!stop)
                VULogError(VULogTag(), "busy %d", 1);
        });
    for (int i = 0; i < 2000; ++i) {
        // Each handler owns state that dies with it: a swap must never free a handler that
        // another thread is still running (the tsan build sees it if it does).
        auto owned = std::make_shared<QString>(QStringLiteral("handler %1").arg(i));
        VULogger::setLogHandler([owned, &swappedCalls](const VULogMessageProvider &message, unsigned, const QString &,
                                                       const char *, const char *, unsigned) {
            if (!owned->isEmpty() && !message().isEmpty())
                ++swappedCalls;
        });
        VULogger::setCurrentLogLevel(i % 2 ? VULogLevelError : VULogLevelNone);
        VULogger::setLogHandler({});
    }
    // The last handler installed is the one that receives the lines from now on.
    std::atomic<int> finalCalls{0};
    VULogger::setLogHandler([&finalCalls](const VULogMessageProvider &, unsigned, const QString &, const char *,
                                          const char *, unsigned) { ++finalCalls; });
    EXPECT_TRUE(waitUntil([&] { return finalCalls.load() > 0; }));
    stop = true;
    for (auto &thread : loggers)
        thread.join();
    VULogger::resetToDefaults();
    // Back to the defaults: nothing reaches the replaced handlers any more.
    const int finalSoFar = finalCalls.load();
    VULogError(VULogTag(), "after the reset %d", 1);
    EXPECT_EQ(finalCalls.load(), finalSoFar);
}

TEST(VUUtility, StringFormatting)
{
    EXPECT_EQ(VUUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(VUUtility::appSecretFrom("appsecret=s3cr3t;target=tok-123"), "s3cr3t");
    EXPECT_EQ(VUUtility::appSecretFrom("plainsecret"), "plainsecret");
    EXPECT_FALSE(VUUtility::appSecretFrom("target=tok-123"));
    EXPECT_EQ(VUUtility::transmissionTargetTokenFrom("appsecret=s;target=tok-123"), "tok-123");
    EXPECT_FALSE(VUUtility::transmissionTargetTokenFrom("appsecret=s;target="));
    EXPECT_EQ(VUUtility::targetKeyFromTargetToken("abc-def-1"), "abc");
    EXPECT_EQ(VUUtility::targetKeyFromTargetToken("whole"), "whole");
    EXPECT_FALSE(VUUtility::targetKeyFromTargetToken("-starts"));
    EXPECT_EQ(VUUtility::iKeyFromTargetToken("abc-def"), "o:abc");
    EXPECT_FALSE(VUUtility::iKeyFromTargetToken("-x"));
    EXPECT_EQ(VUUtility::prettyPrintJson(QByteArray("not json")), "not json");
    EXPECT_EQ(VUUtility::prettyPrintJson(QByteArray(R"({"p":"a\/b"})")), "{\n  \"p\": \"a/b\"\n}");
    EXPECT_FALSE(VUUtility::prettyPrintJson(std::nullopt));
    EXPECT_EQ(VUUtility::sdkName(), "vovudezir.macos");
    EXPECT_EQ(VUUtility::sdkVersion(), "1.14.0");
}

TEST(VUUtility, ISO8601DatesAreUtcWithMilliseconds)
{
    const QDateTime date = sampleDate();
    EXPECT_EQ(VUUtility::dateToISO8601(date), "2019-03-05T14:07:09.500Z");
    EXPECT_EQ(VUUtility::dateToISO8601(date.toOffsetFromUtc(-5 * 3600)), "2019-03-05T14:07:09.500Z");
    EXPECT_EQ(VUUtility::dateFromISO8601("2019-03-05T14:07:09.500Z"), date);
    for (const char *bad : {"2019-03-05 14:07:09", "2019-13-05T14:07:09.500Z", "", "2019-03-05T14:07:09.500"})
        EXPECT_FALSE(VUUtility::dateFromISO8601(QString::fromLatin1(bad))) << bad;
    const double now = VUUtility::nowInMilliseconds();
    EXPECT_NEAR(now, double(QDateTime::currentMSecsSinceEpoch()), 5000.0);

    // The formatter is a plain function: many threads at once give the same text.
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 500; ++j)
                if (VUUtility::dateFromISO8601(VUUtility::dateToISO8601(date)) != date)
                    ++wrong;
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

TEST(VUUtility, PropertyValidationKeepsCallerOrderAndCutsWholeCharacters)
{
    RecordingLogHandler log(VULogLevelWarning);
    VUPropertyList input;
    for (int i = 24; i >= 0; --i)
        input.append({QStringLiteral("k%1").arg(i), QStringLiteral("v%1").arg(i)});
    const auto kept = VUUtility::validateProperties(input, "Ev", "Event");
    ASSERT_EQ(kept.size(), 20);
    EXPECT_EQ(kept.first().first, "k24");
    EXPECT_EQ(kept.last().first, "k5");
    EXPECT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.contains("Event 'Ev' : properties cannot contain more than 20 items. Skipping other properties."));

    // Emoji are two UTF-16 units each: the cut must count characters and never split one.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    const QString accent = QString::fromUtf8("\xC3\xA9");
    struct Case { const char *name; QString key; QVariant value; int keyChars; int valueChars; bool kept; };
    const Case cases[] = {
        {"key of 126 emoji cut to 125", emoji.repeated(126), QStringLiteral("v"), 125, 1, true},
        {"key of 125 emoji stays", emoji.repeated(125), QStringLiteral("v"), 125, 1, true},
        {"value of 125 accents stays", QStringLiteral("k"), accent.repeated(125), 1, 125, true},
        {"value of 300 emoji cut to 125", QStringLiteral("k"), emoji.repeated(300), 1, 125, true},
        {"number value dropped", QStringLiteral("n"), QVariant(qint64(4)), 0, 0, false},
        {"empty key dropped", QString(), QStringLiteral("v"), 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = VUUtility::validateProperties({{c.key, c.value}}, "Ev", "Event");
        ASSERT_EQ(result.size(), c.kept ? 1 : 0);
        if (!c.kept)
            continue;
        EXPECT_EQ(VUUtility::characterCount(result.first().first), c.keyChars);
        EXPECT_EQ(VUUtility::characterCount(result.first().second), c.valueChars);
        EXPECT_EQ(QString::fromUtf8(result.first().first.toUtf8()), result.first().first);
        EXPECT_EQ(QString::fromUtf8(result.first().second.toUtf8()), result.first().second);
        EXPECT_FALSE(result.first().second.back().isHighSurrogate());
    }
    // Two keys that shorten to the same text: the later value wins, in the first one's place.
    const auto merged = VUUtility::validateProperties(
        {{QString(126, 'a'), QStringLiteral("first")}, {QStringLiteral("b"), QStringLiteral("b")},
         {QString(127, 'a'), QStringLiteral("second")}},
        "Ev", "Event");
    ASSERT_EQ(merged.size(), 2);
    EXPECT_EQ(merged.first().second, "second");
}

TEST(VUUtility, FilesStayInsideTheDataFolder)
{
    TestHome home;
    const QString root = VUUtility::vovUdezirDirectoryURL();
    EXPECT_TRUE(root.startsWith(home.path()));

    const auto url = VUUtility::createFileAtPathComponent(QStringLiteral("one/two/file.bin"), "first", true, false);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, root + "/one/two/file.bin");
    EXPECT_EQ(VUUtility::loadDataForPathComponent(QStringLiteral("one/two/file.bin")), QByteArray("first"));
    EXPECT_EQ(VUUtility::createFileAtPathComponent(QStringLiteral("one/two/file.bin"), "second", false, false), url);
    EXPECT_EQ(VUUtility::loadDataForPathComponent(QStringLiteral("one/two/file.bin")), QByteArray("first"));
    VUUtility::createFileAtPathComponent(QStringLiteral("one/two/file.bin"), "second", false, true);
    EXPECT_EQ(VUUtility::loadDataForPathComponent(QStringLiteral("one/two/file.bin")), QByteArray("second"));
    // The folders are marked for backup tools to skip, where the file system keeps the mark.
    char value[16] = {};
    if (getxattr(QFile::encodeName(root + "/one").constData(), "user.xdg.robots.backup", value, sizeof value) > 0) {
        EXPECT_STREQ(value, "false");
    }

    const auto listing = VUUtility::contentsOfDirectory(QStringLiteral("one/two"));
    ASSERT_TRUE(listing);
    EXPECT_EQ(*listing, QStringList{root + "/one/two/file.bin"});
    EXPECT_FALSE(VUUtility::contentsOfDirectory(QStringLiteral("missing")));
    EXPECT_TRUE(VUUtility::fileExistsForPathComponent(QStringLiteral("one/two/file.bin")));
    EXPECT_TRUE(VUUtility::deleteItemForPathComponent(QStringLiteral("one")));
    EXPECT_FALSE(VUUtility::fileExistsForPathComponent(QStringLiteral("one/two/file.bin")));

    // Nothing escapes the folder and nothing is done for an absent path.
    home.writeFile("victim.txt", "keep me");
    for (const char *escape : {"../victim.txt", "a/../../victim.txt", "/etc/passwd", ".."}) {
        SCOPED_TRACE(escape);
        const QString path = QString::fromLatin1(escape);
        EXPECT_FALSE(VUUtility::createFileAtPathComponent(path, "x", false, true));
        EXPECT_FALSE(VUUtility::deleteItemForPathComponent(path));
        EXPECT_FALSE(VUUtility::loadDataForPathComponent(path));
        EXPECT_FALSE(VUUtility::fullURLForPathComponent(path));
    }
    QFile victim(home.path() + "/victim.txt");
    ASSERT_TRUE(victim.open(QIODevice::ReadOnly));
    EXPECT_EQ(victim.readAll(), QByteArray("keep me"));
    // Names of the data folder itself never delete it, with "Logs.sqlite" inside.
    const auto kept = VUUtility::createFileAtPathComponent(QStringLiteral("Logs.sqlite"), "db", false, true);
    ASSERT_TRUE(kept);
    for (const char *itself : {"", ".", "./", "./.", "a/.."}) {
        SCOPED_TRACE(itself);
        EXPECT_FALSE(VUUtility::deleteItemForPathComponent(QString::fromLatin1(itself)));
        EXPECT_TRUE(QFileInfo::exists(*kept));
    }
    EXPECT_FALSE(VUUtility::createFileAtPathComponent(std::nullopt, "x", false, false));
    EXPECT_FALSE(VUUtility::deleteItemForPathComponent(std::nullopt));
    EXPECT_FALSE(VUUtility::createDirectoryForPathComponent(std::nullopt));
    EXPECT_FALSE(VUUtility::fullURLForPathComponent(std::nullopt));
}

TEST(VUWorkers, EveryItemRunsOnceBeforeForEachReturns)
{
    // Counts on each side of the point where helpers join, and several callers at once; each
    // item takes a little while, so one still running when forEach returns is seen.
    for (const qsizetype count : {qsizetype(0), qsizetype(1), qsizetype(7), qsizetype(8), qsizetype(2000)}) {
        SCOPED_TRACE(count);
        std::vector<std::atomic<int>> runs(size_t(count) * 3);
        std::atomic<int> unfinishedAtReturn{0};
        std::vector<std::thread> callers;
        for (int caller = 0; caller < 3; ++caller)
            callers.emplace_back([&, caller] {
                VUWorkers::forEach(count, [&](qsizetype i) {
                    volatile quint64 spin = 0;
                    for (int k = 0; k < 20000; ++k)
                        spin = spin + quint64(k);
                    runs[size_t(caller * count + i)]++;
                });
                for (qsizetype i = 0; i < count; ++i)
                    if (runs[size_t(caller * count + i)].load() != 1)
                        unfinishedAtReturn++;
            });
        for (auto &thread : callers)
            thread.join();
        EXPECT_EQ(unfinishedAtReturn.load(), 0);
        for (size_t i = 0; i < runs.size(); ++i)
            ASSERT_EQ(runs[i].load(), 1) << "item " << i;
    }
}

TEST(VUWorkers, AStartedJobRunsOnceAndHasFinishedWhenJoined)
{
    // Enough jobs that helpers take some and the joining thread takes others.
    std::vector<std::atomic<int>> runs(500);
    std::vector<std::shared_ptr<VUWorkers::Job>> jobs;
    for (size_t i = 0; i < runs.size(); ++i)
        jobs.push_back(VUWorkers::start([&runs, i] {
            volatile quint64 spin = 0;
            for (int k = 0; k < 20000; ++k)
                spin = spin + quint64(k);
            runs[i]++;
        }));
    for (size_t i = 0; i < jobs.size(); ++i) {
        jobs[i]->join();
        ASSERT_EQ(runs[i].load(), 1) << "job " << i;
    }
    jobs.clear();
    for (size_t i = 0; i < runs.size(); ++i)
        ASSERT_EQ(runs[i].load(), 1) << "job " << i;
}

TEST(VUWorkers, AJobThatNoHelperTakesRunsWhenJoined)
{
    // Every helper is held; the joining thread must run the job itself rather than wait.
    std::mutex lock;
    std::condition_variable changed;
    int holding = 0;
    bool release = false;
    std::vector<std::shared_ptr<VUWorkers::Job>> holders;
    const int helperCount = std::max(1, std::min(QThread::idealThreadCount() - 1, 3));
    for (int i = 0; i < helperCount; ++i)
        holders.push_back(VUWorkers::start([&] {
            std::unique_lock guard(lock);
            ++holding;
            changed.notify_all();
            changed.wait(guard, [&] { return release; });
        }));
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return holding == helperCount; });
    }
    bool ran = false;
    auto job = VUWorkers::start([&] { ran = true; });
    job->join();
    EXPECT_TRUE(ran);
    {
        std::lock_guard guard(lock);
        release = true;
        changed.notify_all();
    }
    for (const auto &holder : holders)
        holder->join();
}
