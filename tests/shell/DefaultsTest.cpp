#include "TestHome.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// Points the system temporary folder at a fresh folder for one test and forgets the cached
// per-run folder before and after.
class ScopedTempRoot
{
public:
    ScopedTempRoot()
        : mPrevious(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", mDir.path().toUtf8());
        forgetTempDir();
    }
    ~ScopedTempRoot()
    {
        deleteTempDir();
        qputenv("TMPDIR", mPrevious);
    }
    QString path() const { return mDir.path(); }

private:
    QTemporaryDir mDir;
    QByteArray mPrevious;
};

QStringList workFolders(const QString &parent)
{
    return QDir(parent).entryList({"org.quillon.Quillon_*"}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
}

} // namespace

TEST(Defaults, BuiltInValuesAndTheLookupRule)
{
    TestHome home;
    const struct {
        const char *key;
        QVariant builtIn;
    } cases[] = {
        {"AUTOLAUNCH", false},
        {"PRINT_SELECTION", false},
        {"newStyle", true},
        {"NOCONVERT", true},
        {"DRAG_SAVES_MEDIA", false},
        {"ARCHIVE_LOCATION", QStringLiteral("~/Library/Application Support/Quillon")},
        {"USE_WIFI", QVariant()},
        {"TEMP_LOCATION", QVariant()},
        {"no such key", QVariant()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(getDefault(c.key), c.builtIn);
        EXPECT_EQ(preferenceValue(c.key), c.builtIn);
    }
    // A stored value wins over the built-in one, whatever its type in the store.
    UserDefaults::standard().setObject(QStringLiteral("NO"), "NOCONVERT");
    EXPECT_FALSE(preferenceBool("NOCONVERT"));
    UserDefaults::standard().setObject(QStringLiteral("14"), "MSG_SIZE");
    EXPECT_EQ(preferenceInteger("MSG_SIZE"), 14);
}

TEST(Defaults, FirstStartWritesTheMissingValues)
{
    TestHome home;
    writeStartupDefaults();
    EXPECT_FALSE(preferenceBool("SHOW_FB1"));
    EXPECT_TRUE(preferenceBool("SHOW_SMS"));
    EXPECT_TRUE(preferenceBool("SHOW_WA"));
    EXPECT_EQ(preferenceInteger("MSG_SIZE"), 10);
    EXPECT_EQ(preferenceInteger("SMS_EXPORT_FORMAT2"), 3);
    EXPECT_EQ(preferenceInteger("SMS_SAVE_FORMAT"), 3);
    EXPECT_EQ(preferenceInteger("LAST_SOURCE_INDEX"), 1);
    EXPECT_TRUE(preferenceBool("EXPORT_INDIVIDUAL_FILES"));
    EXPECT_TRUE(preferenceBool("NSPrintHeaderAndFooter"));
    EXPECT_TRUE(UserDefaults::standard().contains("messageSortArchive"));
    EXPECT_TRUE(preferenceBool("NOCONVERT"));
    EXPECT_FALSE(preferenceBool("USE_WIFI"));
    EXPECT_FALSE(UserDefaults::standard().contains("USE_WIFI"));
    EXPECT_EQ(preferenceValue("ARCHIVE_LOCATION").toString(), "~/Library/Application Support/Quillon");
}

TEST(Defaults, LaterStartsKeepTheUsersChoicesButResetNewStyle)
{
    TestHome home;
    UserDefaults &d = UserDefaults::standard();
    d.setInteger(1, "SMS_EXPORT_FORMAT2");
    d.setInteger(14, "MSG_SIZE");
    d.setBool(false, "newStyle");
    d.setBool(false, "SHOW_SMS");
    writeStartupDefaults();
    EXPECT_EQ(preferenceInteger("SMS_EXPORT_FORMAT2"), 1);
    EXPECT_FALSE(d.contains("EXPORT_INDIVIDUAL_FILES"));
    EXPECT_FALSE(preferenceBool("EXPORT_INDIVIDUAL_FILES"));
    EXPECT_EQ(preferenceInteger("MSG_SIZE"), 14);
    EXPECT_FALSE(preferenceBool("SHOW_SMS"));
    EXPECT_TRUE(preferenceBool("newStyle"));
    EXPECT_TRUE(cached_USE_NEW_STYLE.load());
}

TEST(Defaults, TempDirIsPrivateNewAndTheSameForTheWholeRun)
{
    TestHome home;
    ScopedTempRoot root;
    QString first;
    std::vector<std::thread> threads;
    std::vector<QString> seen(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&seen, i] { seen[i] = getTempDir(); });
    for (auto &t : threads)
        t.join();
    first = seen[0];
    for (const QString &path : seen)
        EXPECT_EQ(path, first);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_TRUE(first.endsWith('/'));
    EXPECT_TRUE(first.startsWith(root.path() + "/org.quillon.Quillon_")) << qPrintable(first);
    EXPECT_EQ(workFolders(root.path()).size(), 1);

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(first).constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    QFile inside(first + "copied.db");
    ASSERT_TRUE(inside.open(QIODevice::WriteOnly));
    inside.close();
    deleteTempDir();
    EXPECT_FALSE(QFileInfo::exists(first));
}

TEST(Defaults, TempDirNeverReusesAPathThatAlreadyExists)
{
    TestHome home;
    ScopedTempRoot root;
    QTemporaryDir victim;
    // Plant a link under every name the next two seconds could produce.
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    for (qint64 ms = start; ms < start + 2000; ++ms) {
        const QString name = QString::asprintf("org.quillon.Quillon_%f", ms / 1000.0);
        QFile::link(victim.path(), root.path() + "/" + name);
    }
    const QString folder = getTempDir();
    ASSERT_FALSE(folder.isEmpty());
    const QFileInfo info(folder.chopped(1));
    EXPECT_FALSE(info.isSymLink());
    EXPECT_TRUE(info.isDir());
    EXPECT_TRUE(QDir(victim.path()).isEmpty());
}

TEST(Defaults, TempLocationIsUsedOnlyWhenItIsAUsableFolder)
{
    TestHome home;
    QTemporaryDir chosen;
    QFile plainFile(chosen.path() + "/not-a-folder");
    ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();
    // A relative value must never be taken from wherever Quillon happened to be started.
    QTemporaryDir startedIn;
    ASSERT_TRUE(QDir(startedIn.path()).mkdir("relative"));
    const QString previousCurrent = QDir::currentPath();
    QDir::setCurrent(startedIn.path());

    const struct {
        const char *name;
        QVariant location;
        bool usesLocation;
    } cases[] = {
        {"existing folder", chosen.path(), true},
        {"removed disk", chosen.path() + "/gone", false},
        {"a file", plainFile.fileName(), false},
        {"empty", QString(""), false},
        {"relative folder", QStringLiteral("relative"), false},
        {"data instead of text", chosen.path().toUtf8(), false},
        {"a number", 5, false},
        {"a list", QVariantList{chosen.path()}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempRoot root;
        VarnekLogger *logger = VarnekLogger::createDefaultLoggerToFile(true, false);
        UserDefaults::standard().setObject(c.location, "TEMP_LOCATION");
        const QString folder = getTempDir();
        ASSERT_FALSE(folder.isEmpty());
        EXPECT_TRUE(folder.endsWith('/'));
        EXPECT_TRUE(QDir::isAbsolutePath(folder)) << qPrintable(folder);
        EXPECT_EQ(folder.startsWith(chosen.path() + "/org.quillon.Quillon_"), c.usesLocation) << qPrintable(folder);
        EXPECT_EQ(folder.startsWith(root.path() + "/"), !c.usesLocation) << qPrintable(folder);
        EXPECT_FALSE(QFileInfo::exists(chosen.path() + "/gone"));
        EXPECT_TRUE(QDir(startedIn.path() + "/relative").isEmpty());
        // Every fallback says why in the log.
        QFile log(logger->logFilePath());
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_EQ(log.readAll().contains("TEMP_LOCATION"), !c.usesLocation);
        logger->setLogToFile(false);
    }
    QDir::setCurrent(previousCurrent);
}
