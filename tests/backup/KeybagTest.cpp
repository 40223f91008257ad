#include "BackupGenerator.h"

#include "backup/BackupCrypto.h"
#include "backup/Keybag.h"
#include "platform/KeyedArchive.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QtEndian>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class KeybagTest : public ::testing::Test
{
protected:
    void SetUp() override { HASDECRYPT = true; }
};

QByteArray recordWithClass(quint32 cls, const QByteArray &wrapped)
{
    return BackupGen::mbFileRecord(cls, BackupGen::le32(cls) + wrapped, "Library/x.db", 10);
}

// Both derivations: with "DPSL"/"DPIC" the HMAC-SHA256 round comes first, without them one
// HMAC-SHA1 round. A right password unlocks every class and yields the writer's key; a wrong
// one leaves the keybag locked.
TEST_F(KeybagTest, UnlocksWithOneAndTwoRoundDerivation)
{
    for (bool twoRound : {true, false}) {
        SCOPED_TRACE(twoRound ? "two rounds" : "one round");
        BackupGen::KeybagRecipe recipe;
        recipe.twoRound = twoRound;
        recipe.password = QStringLiteral("p\u00e4ssw\u00f6rd");
        const BackupGen::Keybag generated = BackupGen::makeKeybag(recipe);

        auto wrong = Keybag::initWithData(generated.blob);
        ASSERT_TRUE(wrong);
        EXPECT_EQ(wrong->attrs().contains("DPSL"), twoRound);
        EXPECT_EQ(wrong->classes().size(), recipe.classes.size());
        EXPECT_EQ(wrong->descriptionWithData(QStringLiteral("passwort")), Keybag::kWrongPassword);
        EXPECT_TRUE(wrong->decoded().isEmpty());
        EXPECT_FALSE(wrong->isUnlocked());

        auto keybag = Keybag::initWithData(generated.blob);
        ASSERT_EQ(keybag->descriptionWithData(recipe.password), Keybag::kUnlocked);
        EXPECT_EQ(keybag->decoded().toHex(), generated.passwordKey.toHex());
        EXPECT_EQ(keybag->password(), recipe.password);
        for (quint32 cls : recipe.classes) {
            const QByteArray fileKey = BackupGen::randomBytes(32);
            EXPECT_EQ(keybag->unwrapKeyForClass(cls, BackupGen::wrapKey(fileKey, generated.classKeys.value(cls))),
                      fileKey);
        }

        // The derived key alone unlocks a fresh keybag without the derivation.
        auto again = Keybag::initWithData(generated.blob);
        EXPECT_EQ(again->descriptionWithData(QString(), generated.passwordKey), Keybag::kUnlocked);
        EXPECT_EQ(again->decoded(), generated.passwordKey);
    }
}

TEST_F(KeybagTest, UnlockStatusCodes)
{
    const BackupGen::Keybag generated = BackupGen::makeKeybag({});
    auto keybag = Keybag::initWithData(generated.blob);
    EXPECT_EQ(keybag->descriptionWithData(QString()), Keybag::kNoCredentials);
    EXPECT_EQ(keybag->descriptionWithData(QStringLiteral("")), Keybag::kMissingParameters);
    EXPECT_EQ(keybag->descriptionWithData(QString(), BackupGen::randomBytes(32)), Keybag::kWrongPassword);

    // A header without "SALT", or with "DPSL" but no "DPIC", cannot derive.
    const QByteArray cls = BackupGen::tlv("UUID", QByteArray(16, 'u')) + BackupGen::tlv("CLAS", BackupGen::be32(1))
                           + BackupGen::tlv("WRAP", BackupGen::be32(2)) + BackupGen::tlv("WPKY", QByteArray(40, 'k'));
    const QByteArray header = BackupGen::tlv("VERS", BackupGen::be32(4)) + BackupGen::tlv("UUID", QByteArray(16, 'h'));
    auto noSalt = Keybag::initWithData(header + BackupGen::tlv("ITER", BackupGen::be32(5)) + cls);
    ASSERT_TRUE(noSalt);
    EXPECT_EQ(noSalt->descriptionWithData(QStringLiteral("x")), Keybag::kMissingParameters);
    auto noDpic = Keybag::initWithData(header + BackupGen::tlv("SALT", "salty") + BackupGen::tlv("ITER", BackupGen::be32(5))
                                       + BackupGen::tlv("DPSL", "dpsl") + cls);
    ASSERT_TRUE(noDpic);
    EXPECT_EQ(noDpic->descriptionWithData(QStringLiteral("x")), Keybag::kMissingParameters);
    auto shortIter = Keybag::initWithData(header + BackupGen::tlv("SALT", "salty") + BackupGen::tlv("ITER", "ab") + cls);
    ASSERT_TRUE(shortIter);
    EXPECT_EQ(shortIter->descriptionWithData(QStringLiteral("x")), Keybag::kMissingParameters);
    // Round counts above twice what devices use would keep the unlock busy for minutes:
    // refused at once.
    QElapsedTimer timer;
    timer.start();
    auto hugeIter = Keybag::initWithData(header + BackupGen::tlv("SALT", "salty")
                                         + BackupGen::tlv("ITER", BackupGen::be32(20'000'001)) + cls);
    ASSERT_TRUE(hugeIter);
    EXPECT_EQ(hugeIter->descriptionWithData(QStringLiteral("x")), BackupCrypto::kDeriveBadParameter);
    auto hugeDpic = Keybag::initWithData(header + BackupGen::tlv("SALT", "salty") + BackupGen::tlv("ITER", BackupGen::be32(5))
                                         + BackupGen::tlv("DPSL", "dpsl") + BackupGen::tlv("DPIC", BackupGen::be32(20'000'001))
                                         + cls);
    ASSERT_TRUE(hugeDpic);
    EXPECT_EQ(hugeDpic->descriptionWithData(QStringLiteral("x")), BackupCrypto::kDeriveBadParameter);
    EXPECT_LT(timer.elapsed(), 5000);
}

// A wrong password tried on an unlocked keybag must not replace the good password or the
// class keys: record and file decryption keep working.
TEST_F(KeybagTest, WrongPasswordAfterUnlockKeepsKeys)
{
    BackupGen::KeybagRecipe recipe;
    const BackupGen::Keybag generated = BackupGen::makeKeybag(recipe);
    auto keybag = Keybag::initWithData(generated.blob);
    ASSERT_EQ(keybag->descriptionWithData(recipe.password), Keybag::kUnlocked);
    const QByteArray fileKey = BackupGen::randomBytes(32);
    const QByteArray wrapped = BackupGen::wrapKey(fileKey, generated.classKeys.value(3));

    EXPECT_EQ(keybag->descriptionWithData(QStringLiteral("wrong")), Keybag::kWrongPassword);
    EXPECT_EQ(keybag->password(), recipe.password);
    EXPECT_EQ(keybag->decoded(), generated.passwordKey);
    EXPECT_EQ(keybag->unwrapKeyForClass(3, wrapped), fileKey);

    const QByteArray salt = BackupGen::randomBytes(16);
    keybag->setSalt(salt);
    const QByteArray recordKey = SHA1Data(recipe.password.toUtf8() + salt).left(16);
    const QByteArray record = recordWithClass(3, wrapped);
    const QByteArray stored = BackupGen::aesCbcEncrypt(recordKey, record, mbFileRecordIV()).toBase64();
    const std::optional<MBFile> file = keybag->getMBFile(stored);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->ProtectionClass(), 3);
    EXPECT_EQ(file->EncryptionKey(), wrapped);
}

TEST_F(KeybagTest, MalformedKeybagsAreRefused)
{
    const QByteArray valid = BackupGen::makeKeybag({}).blob;
    ASSERT_TRUE(Keybag::initWithData(valid));

    // Every truncation either ends exactly between records or is refused; none reads past
    // the end (run under the sanitizers to see that).
    QSet<qsizetype> boundaries;
    for (qsizetype pos = 0; pos < valid.size();) {
        boundaries.insert(pos);
        pos += 8 + qsizetype(qFromBigEndian<quint32>(valid.constData() + pos + 4));
    }
    for (qsizetype n = 0; n < valid.size(); ++n) {
        if (!boundaries.contains(n)) {
            EXPECT_FALSE(Keybag::initWithData(valid.left(n))) << "prefix " << n;
        }
    }

    const QByteArray header = BackupGen::tlv("VERS", BackupGen::be32(4));
    const struct
    {
        const char *name;
        QByteArray blob;
    } cases[] = {
        {"length past the end", header + QByteArray("SALT") + BackupGen::be32(100) + "short"},
        {"length 0xFFFFFFFF", header + QByteArray("SALT") + BackupGen::be32(0xFFFFFFFFu) + QByteArray(64, 'x')},
        {"length wraps 32-bit position", header + QByteArray("SALT") + BackupGen::be32(0xFFFFFFF8u)},
        {"non-ASCII tag", header + QByteArray("\x01\x02\x03\x04", 4) + BackupGen::be32(0) + valid},
        {"trailing bytes", valid + "abc"},
        {"header only", header + BackupGen::tlv("SALT", "salt") + BackupGen::tlv("ITER", BackupGen::be32(1))},
        {"short CLAS", header + BackupGen::tlv("UUID", "a") + BackupGen::tlv("UUID", "b") + BackupGen::tlv("WRAP", BackupGen::be32(2))
                           + BackupGen::tlv("WPKY", QByteArray(40, 'k')) + BackupGen::tlv("CLAS", "x")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Keybag::initWithData(c.blob));
    }
    EXPECT_FALSE(Keybag::initWithData({}));
}

TEST_F(KeybagTest, ManifestKeyAndFileKeyShapes)
{
    const BackupGen::Keybag generated = BackupGen::makeKeybag({});
    EXPECT_FALSE(Keybag::initWithData(generated.blob, "\x04\0\0\0")->hasManKey());
    auto keybag = Keybag::initWithData(generated.blob, BackupGen::le32(0x01020304) + QByteArray(40, 'w'));
    EXPECT_TRUE(keybag->hasManKey());
    EXPECT_EQ(keybag->classForManKey(), 0x01020304u);
    EXPECT_EQ(keybag->wrappedManKey(), QByteArray(40, 'w'));

    ASSERT_EQ(keybag->descriptionWithData(QStringLiteral("secret")), Keybag::kUnlocked);
    const QByteArray fileKey = BackupGen::randomBytes(32);
    const QByteArray wrapped = BackupGen::wrapKey(fileKey, generated.classKeys.value(2));
    EXPECT_EQ(keybag->unwrapKeyForClass(2, wrapped), fileKey);
    EXPECT_TRUE(keybag->unwrapKeyForClass(2, wrapped.left(39)).isEmpty());
    EXPECT_TRUE(keybag->unwrapKeyForClass(2, wrapped + "x").isEmpty());
    EXPECT_TRUE(keybag->unwrapKeyForClass(42, wrapped).isEmpty());
    EXPECT_TRUE(keybag->unwrapKeyForClass(1, wrapped).isEmpty());  // another class's key
}

TEST_F(KeybagTest, MBFileRecordsFromKeyedArchives)
{
    const QByteArray wrapped(40, 'w');
    std::optional<MBFile> file = MBFile::fromArchive(recordWithClass(4, wrapped));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->ProtectionClass(), 4);
    EXPECT_EQ(file->EncryptionKey(), wrapped);

    // The class is truncated to 8 bits; a key of 4 bytes or fewer is no key.
    file = MBFile::fromArchive(BackupGen::mbFileRecord(0x103, "abcd", "a", 1));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->ProtectionClass(), 3);
    EXPECT_TRUE(file->EncryptionKey().isEmpty());
    file = MBFile::fromArchive(BackupGen::mbFileRecord(2, {}, "plain", 1));
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->EncryptionKey().isEmpty());

    EXPECT_FALSE(MBFile::fromArchive("not an archive"));
    EXPECT_FALSE(MBFile::fromArchive({}));
    EXPECT_FALSE(MBFile::fromObject(QVariant::fromValue(KeyedArchive::makeObject("MBDomain", {}))));

    // Records of a manifest without a salt are the plain archive.
    auto keybag = Keybag::initWithData(BackupGen::makeKeybag({}).blob);
    ASSERT_TRUE(keybag->getMBFile(recordWithClass(4, wrapped)));
    EXPECT_FALSE(keybag->getMBFile({}));
    // With a salt, a record under the wrong password does not decode.
    keybag->setSalt("salt");
    EXPECT_FALSE(keybag->getMBFile(recordWithClass(4, wrapped)));
}

// The first failures of record decryption and unarchiving leave one line each in the log
// and nothing else: no dump of the record, its salt or a wrapped key, which the diagnostic
// upload would send away.
TEST_F(KeybagTest, FailuresLogNoKeyMaterial)
{
    QTemporaryDir dir;
    VarnekLogger logger(true, false, dir.filePath("Logs"));
    VarnekLogger *const saved = gMainLogger.exchange(&logger);

    BackupGen::KeybagRecipe recipe;
    const BackupGen::Keybag generated = BackupGen::makeKeybag(recipe);
    auto keybag = Keybag::initWithData(generated.blob);
    ASSERT_EQ(keybag->descriptionWithData(recipe.password), Keybag::kUnlocked);
    const QByteArray salt = BackupGen::randomBytes(16);
    const QByteArray wrapped = BackupGen::wrapKey(BackupGen::randomBytes(32), generated.classKeys.value(3));
    const QByteArray record = recordWithClass(3, wrapped);
    // Encrypted under another password: decryption fails.
    const QByteArray foreign =
        BackupGen::aesCbcEncrypt(SHA1Data("other" + salt).left(16), record, mbFileRecordIV()).toBase64();
    // Encrypted rightly, but not a keyed archive inside: unarchiving fails.
    const QByteArray garbage =
        BackupGen::aesCbcEncrypt(SHA1Data(recipe.password.toUtf8() + salt).left(16), "garbage" + wrapped, mbFileRecordIV())
            .toBase64();
    keybag->setSalt(salt);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(keybag->getMBFile(foreign));
        EXPECT_FALSE(keybag->getMBFile(garbage));
        EXPECT_FALSE(keybag->decryptFile(dir.filePath("missing"), dir.filePath("out"), foreign, Keybag::kRecordClass));
    }
    logger.flush();
    gMainLogger.store(saved);

    const QStringList files = QDir(dir.filePath("Logs")).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    QFile log(dir.filePath("Logs/" + files[0]));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("decryptMBFileData failed, there is a salt"));
    EXPECT_TRUE(text.contains("unarchive failed, there is a salt"));
    for (const QByteArray &secret : {salt, wrapped, recipe.password.toUtf8(), record.mid(record.size() / 2, 12)}) {
        EXPECT_FALSE(text.contains(secret));
        EXPECT_FALSE(text.contains(secret.toHex()));
        EXPECT_FALSE(text.contains(secret.toBase64()));
    }
    EXPECT_FALSE(text.contains(foreign.left(24)));
}

// One keybag shared by decrypting threads while another thread keeps retrying a wrong
// password: every decryption succeeds (and ThreadSanitizer sees no race).
TEST_F(KeybagTest, SharedBetweenThreads)
{
    BackupGen::KeybagRecipe recipe;
    recipe.iterations = 1;
    recipe.sha256Iterations = 1;
    const BackupGen::Keybag generated = BackupGen::makeKeybag(recipe);
    auto keybag = Keybag::initWithData(generated.blob);
    ASSERT_EQ(keybag->descriptionWithData(recipe.password), Keybag::kUnlocked);

    QTemporaryDir dir;
    const QByteArray fileKey = BackupGen::randomBytes(32);
    const QByteArray plain = BackupGen::randomBytes(5000);
    const QString source = dir.filePath("enc");
    QFile f(source);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(BackupGen::aesCbcEncrypt(fileKey, plain));
    f.close();
    const QByteArray wrapped = BackupGen::wrapKey(fileKey, generated.classKeys.value(3));

    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                if (keybag->decryptFileToData(source, wrapped, 3) == plain)
                    ++good;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i)
            keybag->descriptionWithData(QStringLiteral("wrong"));
        keybag->setSalt("s");
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(good.load(), 80);
}

// Successful unlocks on one thread (each one replaces the class keys, the password and the
// salt) while other threads decrypt with the same keybag: every decryption succeeds, and
// under ThreadSanitizer the shared state is seen to be guarded.
TEST_F(KeybagTest, UnlockWhileOthersDecrypt)
{
    BackupGen::KeybagRecipe recipe;
    recipe.iterations = 1;
    recipe.sha256Iterations = 1;
    const BackupGen::Keybag generated = BackupGen::makeKeybag(recipe);
    auto keybag = Keybag::initWithData(generated.blob);
    ASSERT_EQ(keybag->descriptionWithData(recipe.password), Keybag::kUnlocked);
    const QByteArray derived = keybag->decoded();

    QTemporaryDir dir;
    const QByteArray fileKey = BackupGen::randomBytes(32);
    const QByteArray plain = BackupGen::randomBytes(3000);
    const QString source = dir.filePath("enc");
    BackupGen::writeFileAt(source, BackupGen::aesCbcEncrypt(fileKey, plain));
    const QByteArray wrapped = BackupGen::wrapKey(fileKey, generated.classKeys.value(2));

    std::atomic<int> good{0};
    std::atomic<int> unlocked{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 30; ++i) {
                if (keybag->decryptFileToData(source, wrapped, 2) == plain)
                    ++good;
                keybag->password();
                keybag->salt();
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            if (keybag->descriptionWithData(recipe.password, derived) == Keybag::kUnlocked)
                ++unlocked;
            keybag->setSalt(QByteArray::number(i));
        }
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(good.load(), 90);
    EXPECT_EQ(unlocked.load(), 30);
    EXPECT_EQ(keybag->password(), recipe.password);
}

} // namespace
