// Emoji: recognising emoji-only bodies, the SoftBank tables and the conversions, and the
// pictures that stand in where no emoji font exists.

#include "TestHome.h"
#include "interfaces/EmojiPictureScaler.h"
#include "messages/EMOEmoji.h"
#include "messages/EmojiConversion.h"
#include "messages/EmojiTables.h"

#include <QDir>
#include <QFile>

using namespace EmojiConversion;

namespace {

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

} // namespace

TEST(Emoji, EmojiOnlyBodies)
{
    struct Case
    {
        const char *name;
        QString text;
        bool pure;
    };
    const Case cases[] = {
        {"empty", "", false},
        {"one face", u("\xF0\x9F\x98\x80"), true},
        {"three faces", u("\xF0\x9F\x98\x80\xF0\x9F\x98\x81\xF0\x9F\x98\x82"), true},
        {"four faces", u("\xF0\x9F\x98\x80\xF0\x9F\x98\x81\xF0\x9F\x98\x82\xF0\x9F\x98\x83"), false},
        {"faces and a letter", u("\xF0\x9F\x98\x80\xF0\x9F\x98\x81" "a"), false},
        {"keycap", u("1\xEF\xB8\x8F\xE2\x83\xA3"), true},
        {"lone high surrogate", QString(QChar(0xD83D)), false},
        {"telephone symbol", u("\xE2\x98\x8E"), true},
        {"arrows are no emoji", u("\xE2\x86\x92\xE2\x87\x92"), false},
        {"a box-drawing line is no emoji", u("\xE2\x94\x80"), false},
        {"copyright sign", u("\xC2\xA9"), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(emo_isPureEmojiString(c.text), c.pure);
    }
}

TEST(Emoji, TablesMapSoftBankCodesToUnicode)
{
    ASSERT_GT(EmojiTables::kCount, 400);
    for (int i = 1; i < EmojiTables::kCount; ++i)
        ASSERT_LT(EmojiTables::sbtable[i - 1], EmojiTables::sbtable[i]); // ascending, searched linearly
    EXPECT_EQ(EmojiTables::sbtable[0], 0xE001);
    EXPECT_EQ(textOfUtf8Word(mapSBToUnicode(0xE001)), u("\xF0\x9F\x91\xA6"));
    EXPECT_EQ(textOfUtf8Word(mapSBToUnicode(0xE009)), u("\xE2\x98\x8E")); // three bytes, no padding
    EXPECT_EQ(textOfUtf8Word(mapSBToUnicode(0xE009)).size(), 1);
    EXPECT_EQ(textOfUtf8Word(mapSBToUnicode(0xE514)), u("\xF0\x9F\x87\xB0"));
    EXPECT_EQ(mapSBToUnicode(0xE05B), 0u);
    EXPECT_EQ(mapUtf16ToSb(0xD83DDC66), 0xE001);
    EXPECT_EQ(mapUtf16ToSb(0x260E), 0xE009);
    EXPECT_EQ(textOfUtf8Word(mapUtf16ToUtf8(0x2764)), u("\xE2\x9D\xA4"));
    EXPECT_EQ(mapUtf16ToUtf8(0x2765), 0u);
    EXPECT_EQ(textOfUtf8Word(mapRegionalIndicator(mapSBToUnicode(0xE50B))), u("\xF0\x9F\x87\xB5"));
    EXPECT_EQ(mapRegionalIndicator(mapSBToUnicode(0xE001)), 0u);
    EXPECT_EQ(pictureIndex(0xE001), 0);
    EXPECT_EQ(pictureIndex(0xE101), 90);
    EXPECT_EQ(pictureIndex(0xE537), 470);
    EXPECT_EQ(pictureIndex(0xE05B), -1);
}

TEST(Emoji, ConversionsOfText)
{
    EXPECT_EQ(softBankToUnicode(QString(QChar(0xE50B))), u("\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5 "));
    EXPECT_EQ(softBankToUnicode(u("a") + QChar(0xE009) + u("b")), u("a\xE2\x98\x8E b"));
    EXPECT_FALSE(softBankToUnicode(QString(QChar(0xE009))).contains(QChar(0)));
    EXPECT_EQ(unicodeToSoftBank(u("\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5!")), QString(QChar(0xE50B)) + "!");
    EXPECT_EQ(unicodeToSoftBank(u("x\xF0\x9F\x91\xA6")), u("x") + QChar(0xE001));
    EXPECT_EQ(convertLowerWithVariationChar(u("\xE2\x98\x8E")), u("\xE2\x98\x8E\xEF\xB8\x8F"));
    EXPECT_EQ(convertLowerWithVariationChar(u("\xE2\x98\x8E\xEF\xB8\x8E")), u("\xE2\x98\x8E\xEF\xB8\x8E"));
    EXPECT_EQ(change52VariationChar(u("\xE2\x9B\xAA\xEF\xB8\x8F")), u("\xE2\x9B\xAA"));

    Options plain;
    const Result big = convert(u("\xF0\x9F\x98\x80\xF0\x9F\x98\x81"), plain);
    EXPECT_TRUE(big.showAsEmoji);
    EXPECT_FALSE(convert(u("\xF0\x9F\x98\x80 hi"), plain).showAsEmoji);
    Options export_;
    export_.noConvert = false;
    export_.forceUnicode = true;
    EXPECT_EQ(convert(QString(QChar(0xE009)), export_).text, u("\xE2\x98\x8E\xEF\xB8\x8F "));
}

TEST(Emoji, PicturesStandInWithoutAnEmojiFont)
{
    TestHome home;
    // A picture file of the first block only: each picture filled with its index.
    QByteArray pictures;
    for (int i = 0; i < 90; ++i)
        pictures += QByteArray(4096, char(i));
    const QString path = home.writeFile("keys.bin", pictures);
    setPictureFile(path);
    EXPECT_EQ(pictureData(0xE002), QByteArray(4096, char(1)));
    EXPECT_TRUE(pictureData(0xE101).isEmpty()); // beyond the end of the file
    EXPECT_TRUE(scaledPicture(0xE002, 15).isEmpty()); // no scaler installed

    struct Recorder : EmojiPictureScaler
    {
        int calls = 0;
        QByteArray scaledPicture(const QByteArray &rgba, int size, int points) override
        {
            ++calls;
            return QByteArray::number(rgba.size()) + "/" + QByteArray::number(size) + "/" + QByteArray::number(points);
        }
    } recorder;
    EmojiPictureScaler::install(&recorder);
    EXPECT_EQ(scaledPicture(0xE002, 15), "4096/32/15");
    EmojiPictureScaler::install(nullptr);

    Options noFont;
    noFont.noConvert = false;
    noFont.haveEmojiFont = false;
    const Result result = convert(u("a\xF0\x9F\x91\xA6") + QChar(0xE101), noFont);
    EXPECT_EQ(result.text, u("a") + QChar(0xE001) + " " + QChar(0xE101));
    EXPECT_EQ(result.pictureAt, QList<qsizetype>{1});
    EXPECT_TRUE(result.hasSpecial);
    setPictureFile(QString());
}
