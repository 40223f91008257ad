// Backup cryptography against OpenSSL on its own: whole-file decryption of a 200 MB file
// versus "openssl enc -d -aes-256-cbc", and the password derivation with real iteration
// counts versus PKCS5_PBKDF2_HMAC called directly. Compare the pairs' real times.

#include "BackupGenerator.h"

#include "backup/Keybag.h"
#include "shell/SystemFlags.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <openssl/evp.h>

namespace {

constexpr qint64 kFileSize = 200LL * 1024 * 1024;

struct DecryptSetup
{
    QTemporaryDir dir;
    QString source;
    QByteArray fileKey;
    QByteArray wrapped;
    std::shared_ptr<Keybag> keybag;

    DecryptSetup()
    {
        HASDECRYPT = true;
        BackupGen::KeybagRecipe recipe;
        const BackupGen::Keybag generated = BackupGen::makeKeybag(recipe);
        keybag = Keybag::initWithData(generated.blob);
        if (!keybag || keybag->descriptionWithData(recipe.password) != Keybag::kUnlocked)
            qFatal("bench: keybag did not unlock");
        fileKey = BackupGen::randomBytes(32);
        wrapped = BackupGen::wrapKey(fileKey, generated.classKeys.value(3));
        source = dir.filePath("source.enc");
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("bench: cannot write %s", qUtf8Printable(source));
        file.write(BackupGen::aesCbcEncrypt(fileKey, BackupGen::randomBytes(int(kFileSize))));
    }
};

DecryptSetup &decryptSetup()
{
    static DecryptSetup setup;
    return setup;
}

void BM_DecryptFile_Quillon(benchmark::State &state)
{
    DecryptSetup &s = decryptSetup();
    const QString out = s.dir.filePath("quillon.out");
    for (auto _ : state) {
        if (!s.keybag->decryptFile(s.source, out, s.wrapped, 3))
            state.SkipWithError("decryptFile failed");
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_DecryptFile_OpenSSLCommand(benchmark::State &state)
{
    DecryptSetup &s = decryptSetup();
    const QString out = s.dir.filePath("openssl.out");
    const QStringList arguments{"enc", "-d", "-aes-256-cbc", "-K", QString::fromLatin1(s.fileKey.toHex()),
                                "-iv", QString(32, '0'), "-in", s.source, "-out", out};
    for (auto _ : state) {
        if (QProcess::execute("openssl", arguments) != 0)
            state.SkipWithError("openssl enc failed");
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

struct DeriveSetup
{
    BackupGen::KeybagRecipe recipe;
    QByteArray blob;
    QByteArray salt, dpsl;

    DeriveSetup()
    {
        HASDECRYPT = true;
        recipe.iterations = 10000;
        recipe.sha256Iterations = 10000000;
        recipe.twoRound = true;
        blob = BackupGen::makeKeybag(recipe).blob;
        auto keybag = Keybag::initWithData(blob);
        salt = keybag->attrs().value("SALT");
        dpsl = keybag->attrs().value("DPSL");
    }
};

DeriveSetup &deriveSetup()
{
    static DeriveSetup setup;
    return setup;
}

void BM_Unlock_Quillon(benchmark::State &state)
{
    DeriveSetup &s = deriveSetup();
    for (auto _ : state) {
        auto keybag = Keybag::initWithData(s.blob);
        if (keybag->descriptionWithData(s.recipe.password) != Keybag::kUnlocked)
            state.SkipWithError("unlock failed");
    }
}

void BM_Unlock_OpenSSLPbkdf2(benchmark::State &state)
{
    DeriveSetup &s = deriveSetup();
    const QByteArray password = s.recipe.password.toUtf8();
    for (auto _ : state) {
        unsigned char first[32], key[32];
        PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                          reinterpret_cast<const unsigned char *>(s.dpsl.constData()), int(s.dpsl.size()),
                          int(s.recipe.sha256Iterations), EVP_sha256(), 32, first);
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(first), 32,
                          reinterpret_cast<const unsigned char *>(s.salt.constData()), int(s.salt.size()),
                          int(s.recipe.iterations), EVP_sha1(), 32, key);
        benchmark::DoNotOptimize(key);
    }
}

} // namespace

BENCHMARK(BM_DecryptFile_Quillon)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_DecryptFile_OpenSSLCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Unlock_Quillon)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Unlock_OpenSSLPbkdf2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
