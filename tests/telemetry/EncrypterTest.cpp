// The test swaps in a failing random source through the (deprecated) method table.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "TelemetryTestSupport.h"
#include "TestHome.h"

#include "telemetry/core/VUEncrypter.h"
#include "telemetry/core/VUKeychainUtil.h"

#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <thread>

TEST(VUEncrypter, RoundTripsAndKeepsItsKeyInTheKeychain)
{
    TestHome home;
    VUEncrypter encrypter;
    const auto empty = encrypter.encryptString(QString());
    ASSERT_TRUE(empty);
    EXPECT_EQ(QByteArray::fromBase64(empty->toLatin1()).size(), 16);

    const auto keyText = VUKeychainUtil::stringForKey(VUEncrypter::kVUEncryptionKeyTag);
    ASSERT_TRUE(keyText);
    EXPECT_EQ(keyText->size(), 44);
    EXPECT_EQ(QByteArray::fromBase64(keyText->toLatin1()).size(), 32);

    const QString token = QStringLiteral("abc-123-Zoë");
    const auto first = encrypter.encryptString(token);
    const auto second = encrypter.encryptString(QStringLiteral("other-token"));
    ASSERT_TRUE(first && second);
    // Each call has its own cipher context: texts decrypt in any order, by another instance.
    VUEncrypter reader;
    EXPECT_EQ(reader.decryptString(*second), "other-token");
    EXPECT_EQ(reader.decryptString(*first), token);
    EXPECT_EQ(encrypter.encryptString(token), first) << "same key, zero IV: same text";
    EXPECT_EQ(VUKeychainUtil::stringForKey(VUEncrypter::kVUEncryptionKeyTag), keyText);

    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int j = 0; j < 100; ++j) {
                const QString text = QStringLiteral("t%1-%2").arg(i).arg(j);
                const auto cipher = encrypter.encryptString(text);
                if (!cipher || encrypter.decryptString(*cipher) != text)
                    ++wrong;
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);

    RecordingLogHandler log(VULogLevelWarning);
    EXPECT_FALSE(reader.decryptString(QStringLiteral("***not base64***")));
    EXPECT_TRUE(log.contains("Conversion of encrypted string to NSData failed."));
    EXPECT_FALSE(reader.decryptString(QString::fromLatin1(QByteArray("sixteen bytes!!!").toBase64())));

    // A lost key means a new one, and old texts no longer decrypt.
    ASSERT_TRUE(VUEncrypter::deleteKeyWithTag(VUEncrypter::kVUEncryptionKeyTag));
    VUEncrypter fresh;
    ASSERT_TRUE(fresh.encryptString(token));
    EXPECT_NE(VUKeychainUtil::stringForKey(VUEncrypter::kVUEncryptionKeyTag), keyText);
    EXPECT_NE(fresh.decryptString(*first), token);
}

namespace {
int failingBytes(unsigned char *, int) { return 0; }
int failingStatus() { return 0; }
} // namespace

// A failing random source makes no key: a predictable key would protect nothing.
TEST(VUEncrypter, NeverStoresAKeyMadeWithoutRandomness)
{
    TestHome home;
    RAND_METHOD failing{};
    failing.bytes = failingBytes;
    failing.status = failingStatus;
    const RAND_METHOD *previous = RAND_get_rand_method();
    ASSERT_EQ(RAND_set_rand_method(&failing), 1);
    RecordingLogHandler log(VULogLevelError);
    EXPECT_FALSE(VUEncrypter::generateKeyWithTag(VUEncrypter::kVUEncryptionKeyTag));
    VUEncrypter encrypter;
    EXPECT_FALSE(encrypter.encryptString(QStringLiteral("token")));
    RAND_set_rand_method(previous);
    EXPECT_TRUE(log.contains("Error generating encryption key."));
    EXPECT_FALSE(VUKeychainUtil::stringForKey(VUEncrypter::kVUEncryptionKeyTag));
    // With randomness back, the same object makes its key on the next call.
    EXPECT_TRUE(encrypter.encryptString(QStringLiteral("token")));
}
