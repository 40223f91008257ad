#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using Keychain::Status;

QString storeFolder() { return Paths::applicationSupport() + "/keychain"; }
QString storeFile() { return storeFolder() + "/items.json"; }

mode_t modeOf(const QString &path)
{
    struct stat st {};
    stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 0777;
}

} // namespace

TEST(Keychain, StoresFindsReplacesAndRemoves)
{
    TestHome home;
    QByteArray secret = "left over";
    EXPECT_EQ(Keychain::find("Quillon iPhone Password", "abc", &secret), Status::NotFound);
    EXPECT_TRUE(secret.isEmpty());
    EXPECT_EQ(Keychain::remove("Quillon iPhone Password", "abc"), Status::NotFound);

    const QByteArray binary("\x00\xFFkey\x00", 6);
    ASSERT_EQ(Keychain::store("Quillon iPhone Password", "abc", "first"), Status::Success);
    ASSERT_EQ(Keychain::store("Quillon iPhone Key", "abc", binary), Status::Success);
    ASSERT_EQ(Keychain::store("Quillon iPhone Password", "abc", "second"), Status::Success);

    EXPECT_EQ(Keychain::find("Quillon iPhone Password", "abc", &secret), Status::Success);
    EXPECT_EQ(secret, "second");
    EXPECT_EQ(Keychain::find("Quillon iPhone Key", "abc", &secret), Status::Success);
    EXPECT_EQ(secret, binary);
    EXPECT_EQ(Keychain::find("Quillon iPhone Password", "other", &secret), Status::NotFound);

    EXPECT_EQ(Keychain::remove("Quillon iPhone Password", "abc"), Status::Success);
    EXPECT_EQ(Keychain::remove("Quillon iPhone Password", "abc"), Status::NotFound);
    EXPECT_EQ(Keychain::find("Quillon iPhone Key", "abc", &secret), Status::Success);
}

TEST(Keychain, FileIsReadableOnlyByTheUser)
{
    TestHome home;
    // A folder someone left open is closed on the next write.
    QDir().mkpath(storeFolder());
    chmod(QFile::encodeName(storeFolder()).constData(), 0755);
    ASSERT_EQ(Keychain::store("s", "a", "x"), Status::Success);
    EXPECT_EQ(modeOf(storeFolder()), 0700u);
    EXPECT_EQ(modeOf(storeFile()), 0600u);
    ASSERT_EQ(Keychain::store("s", "b", "y"), Status::Success);
    EXPECT_EQ(modeOf(storeFile()), 0600u);
    // No temporary file is left beside the store.
    EXPECT_EQ(QDir(storeFolder()).entryList(QDir::Files), QStringList{"items.json"});
}

TEST(Keychain, DamagedOrUnreadableStoreIsUnavailableNotMissing)
{
    struct Case {
        const char *name;
        QByteArray contents; // empty: the store path is a folder, so it cannot be read
    } cases[] = {
        {"not json", "garbage"},
        {"wrong shape", "{\"items\": 5}"},
        {"item without secret", "{\"items\": [{\"service\": \"s\", \"account\": \"a\"}]}"},
        {"unreadable", QByteArray()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestHome home;
        QDir().mkpath(storeFolder());
        if (c.contents.isEmpty())
            QDir().mkpath(storeFile());
        else
            home.writeFile(QDir(home.path()).relativeFilePath(storeFile()), c.contents);
        QByteArray secret = "x";
        EXPECT_EQ(Keychain::find("s", "a", &secret), Status::Unavailable);
        EXPECT_TRUE(secret.isEmpty());
        EXPECT_EQ(Keychain::remove("s", "a"), Status::Unavailable);
    }
}

TEST(Keychain, BadSecretEncodingIsUnavailable)
{
    TestHome home;
    home.writeFile(QDir(home.path()).relativeFilePath(storeFile()),
                   "{\"items\": [{\"service\": \"s\", \"account\": \"a\", \"secret\": \"@@not base64@@\"}]}");
    QByteArray secret;
    EXPECT_EQ(Keychain::find("s", "a", &secret), Status::Unavailable);
    EXPECT_EQ(Keychain::find("s", "b", &secret), Status::NotFound);
}

TEST(Keychain, StoringOverADamagedFileKeepsItAside)
{
    TestHome home;
    home.writeFile(QDir(home.path()).relativeFilePath(storeFile()), "garbage");
    ASSERT_EQ(Keychain::store("s", "a", "new"), Status::Success);
    QByteArray secret;
    EXPECT_EQ(Keychain::find("s", "a", &secret), Status::Success);
    const QStringList aside = QDir(storeFolder()).entryList({"items.json.damaged-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(storeFolder() + "/" + aside.first());
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "garbage");

    // A store that cannot be read is never written over.
    TestHome second;
    QDir().mkpath(storeFile());
    EXPECT_EQ(Keychain::store("s", "a", "x"), Status::Unavailable);
    EXPECT_TRUE(QFileInfo(storeFile()).isDir());
}

TEST(Keychain, ConcurrentStoresAreAllKept)
{
    TestHome home;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 5; ++i)
                Keychain::store("s", QString("t%1-%2").arg(t).arg(i), QByteArray::number(t * 100 + i));
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (int t = 0; t < 8; ++t) {
        for (int i = 0; i < 5; ++i) {
            QByteArray secret;
            ASSERT_EQ(Keychain::find("s", QString("t%1-%2").arg(t).arg(i), &secret), Status::Success);
            EXPECT_EQ(secret, QByteArray::number(t * 100 + i));
        }
    }
}

TEST(Keychain, FallsBackToTheFileWhenNoBusAnswers)
{
    TestHome home;
    const QByteArray previousBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("QUILLON_KEYCHAIN");
    qputenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + home.path() + "/no-such-bus").toUtf8());
    const Status stored = Keychain::store("s", "a", "via file");
    QByteArray secret;
    const Status found = Keychain::find("s", "a", &secret);
    if (previousBus.isNull())
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
        qputenv("DBUS_SESSION_BUS_ADDRESS", previousBus);
    qputenv("QUILLON_KEYCHAIN", "file");

    EXPECT_EQ(stored, Status::Success);
    EXPECT_EQ(found, Status::Success);
    EXPECT_EQ(secret, "via file");
    EXPECT_TRUE(QFile::exists(storeFile()));
}
