#include "shell/DTBase64.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

TEST(DTBase64, KnownTextsAndRoundTrips)
{
    const struct {
        QByteArray data;
        const char *text;
    } known[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="},
        {QByteArray("\x00\xff\xfe", 3), "AP/+"},
    };
    for (const auto &k : known) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(DTBase64::encode(k.data), QString::fromLatin1(k.text));
        EXPECT_EQ(base64Decode(QString::fromLatin1(k.text)), std::optional<QByteArray>(k.data));
    }
    for (int length = 0; length < 70; ++length) {
        QByteArray data(length, Qt::Uninitialized);
        for (char &c : data)
            c = char(QRandomGenerator::global()->bounded(256));
        const QString text = base64Encode(data);
        EXPECT_EQ(text.size(), 4 * ((length + 2) / 3));
        EXPECT_EQ(DTBase64::decode(text), std::optional<QByteArray>(data)) << length;
    }
}

TEST(DTBase64, MalformedTextNeverLeavesItsBounds)
{
    // Lengths that are not a multiple of 4, and missing text, give nothing.
    for (const char *text : {"A", "YWJ", "YWJjZ", "YWJjZA="})
        EXPECT_FALSE(DTBase64::decode(QString::fromLatin1(text)).has_value()) << text;
    EXPECT_FALSE(DTBase64::decode(QString()).has_value());
    EXPECT_FALSE(DTBase64::decode(nullptr, 4).has_value());
    EXPECT_FALSE(DTBase64::decode("abcd", -4).has_value());

    // Padding counts at most twice, so no text asks for a negative size; characters outside
    // the alphabet read as zero bits.
    const struct {
        QByteArray text;
        QByteArray decoded;
    } cases[] = {
        {"====", QByteArray(1, '\0')},
        {"A===", QByteArray(1, '\0')},
        {"========", QByteArray(4, '\0')},
        {"YW==YW==", QByteArray("a`\0a", 4)},
        {"Y!Jj", QByteArray("`\x02" "c", 3)},
        {QByteArray("\xff\x80\x00\x7f", 4), QByteArray(3, '\0')},
        {"YWI=", "ab"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.toHex().constData());
        const auto decoded = DTBase64::decode(c.text.constData(), c.text.size());
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, c.decoded);
        EXPECT_LE(decoded->size(), c.text.size() / 4 * 3);
    }
}
