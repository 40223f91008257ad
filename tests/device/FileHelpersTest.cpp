// Name shortening, the sidecar format and device path normalisation.

#include "device/DevicePath.h"
#include "device/FileNameBytes.h"
#include "device/FileNameShortener.h"
#include "device/MetadataSidecar.h"

#include <gtest/gtest.h>

namespace {

bool fitsAndIsValid(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    return utf8.size() <= kMaxFileNameBytes && QString::fromUtf8(utf8) == name && !name.isEmpty()
        && !name.at(name.size() - 1).isHighSurrogate();
}

} // namespace

TEST(FileNameShortener, KeepsTheRuleForOrdinaryNamesAndAlwaysFitsInBytes)
{
    struct Case
    {
        const char *label;
        QString name;
        QString expected; // empty: only the general checks
    };
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two UTF-16 units, 4 bytes
    const Case cases[] = {
        {"short name unchanged", QStringLiteral("photo.jpg"), QStringLiteral("photo.jpg")},
        {"250 characters unchanged", QString(250, QLatin1Char('a')), QString(250, QLatin1Char('a'))},
        {"300 characters with extension", QString(296, QLatin1Char('a')) + QStringLiteral(".txt"),
         QString(246, QLatin1Char('a')) + QStringLiteral(".txt")},
        {"300 characters without extension", QString(300, QLatin1Char('b')), QString(249, QLatin1Char('b'))},
        {"extension longer than the limit", QStringLiteral("x.") + QString(300, QLatin1Char('e')),
         QStringLiteral("x.") + QString(247, QLatin1Char('e'))},
        {"300 bytes of two-byte letters", QString(150, QChar(0x00E9)) + QStringLiteral(".txt"), {}},
        {"emoji cut between pairs", QStringLiteral("a") + emoji.repeated(200) + QStringLiteral(".png"), {}},
        {"three-byte letters without extension", QString(120, QChar(0x4E2D)), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const QString result = shortenedFileName(c.name);
        EXPECT_TRUE(fitsAndIsValid(result)) << result.toUtf8().size();
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(result, c.expected);
        }
    }
    // A name that must shrink keeps its extension and as much of its base as fits.
    const QString accented = shortenedFileName(QString(150, QChar(0x00E9)) + QStringLiteral(".txt"));
    EXPECT_TRUE(accented.endsWith(QLatin1String(".txt")));
    EXPECT_EQ(accented.toUtf8().size(), 254); // 125 letters of two bytes, the point, the extension
}

TEST(MetadataSidecar, ParsesPartialLinesAndFormatsWithoutAFinalBreak)
{
    const auto entries = MetadataSidecar::parse("a.txt\t1\t2\nb.txt\t\t5\t1413830740\t1\n\nc.txt");
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].attributes, (QVariantMap{{"CREATION_DATE", "1"}, {"MOD_DATE", "2"}}));
    EXPECT_EQ(entries[1].attributes.value("CREATION_DATE").toString(), QString(""));
    EXPECT_TRUE(entries[1].attributes.contains("CREATION_DATE"));
    EXPECT_EQ(entries[1].attributes.value("CREATOR").toString(), QString("1413830740"));
    EXPECT_TRUE(entries[2].attributes.isEmpty());

    EXPECT_EQ(MetadataSidecar::format({{QString::fromUtf8("\xC3\xA9.txt"), {{"MOD_DATE", "7"}}}, {"z", {}}}),
              QByteArray("\xC3\xA9.txt\t\t7\t\t\nz\t\t\t\t"));
}

TEST(DevicePath, NormalisesSlashesSoTheStartFolderListsItsChildren)
{
    EXPECT_EQ(DevicePath::join("/Fernlow/", ""), QString("/Fernlow"));
    EXPECT_EQ(DevicePath::join("/Fernlow/", "/docs//a"), QString("/Fernlow/docs/a"));
    EXPECT_EQ(DevicePath::join("/", ""), QString("/"));
    EXPECT_EQ(DevicePath::parent("/Fernlow/a"), QString("/Fernlow"));
    EXPECT_EQ(DevicePath::parent("/a"), QString("/"));
    EXPECT_TRUE(DevicePath::isBelow("/Fernlow/a", "/Fernlow/"));
    EXPECT_FALSE(DevicePath::isBelow("/Fernlow", "/Fernlow/"));
    EXPECT_FALSE(DevicePath::isBelow("/FernlowX/a", "/Fernlow/"));
    EXPECT_TRUE(DevicePath::isBelow("/DCIM", "/"));
}

TEST(DevicePath, ResolvesDotsSoNoComparisonIsFooled)
{
    const struct
    {
        const char *path;
        const char *normal;
    } cases[] = {
        {"/Fernlow/../DCIM", "/DCIM"},
        {"/Fernlow/./docs/", "/Fernlow/docs"},
        {"/Fernlow/docs/../..", "/"},
        {"/../../etc", "/etc"},
        {"/Fernlow/..x/.y", "/Fernlow/..x/.y"},
        {"Fernlow//a", "/Fernlow/a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(DevicePath::normalized(QString::fromLatin1(c.path)), QString::fromLatin1(c.normal));
    }
    EXPECT_FALSE(DevicePath::isBelow("/Fernlow/../DCIM", "/Fernlow/"));
    EXPECT_FALSE(DevicePath::hasFolderPrefix("/Fernlow/../DCIM/a", "/Fernlow/"));
}

TEST(MetadataSidecar, NamesThatAreNoPlainNamesAreSkippedBothWays)
{
    const auto entries = MetadataSidecar::parse("a\t1\n.\t2\n..\t3\nx/y\t4\n../b\t5\n\xff\xfe\t6");
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].name, QString("a"));
    // A name that is not UTF-8 keeps its bytes through a read and a write.
    EXPECT_EQ(FileNameBytes::encode(entries[1].name), QByteArray("\xff\xfe"));
    EXPECT_EQ(MetadataSidecar::format(entries), QByteArray("a\t1\t\t\t\n\xff\xfe\t6\t\t\t"));
    EXPECT_EQ(MetadataSidecar::format({{".", {}}, {"..", {}}, {"a/b", {}}, {"t\tab", {}}, {"n\nl", {}}, {"ok", {}}}),
              QByteArray("ok\t\t\t\t"));
}

TEST(FileNameBytes, KeepsEveryByteStringThroughAQString)
{
    const QByteArray cases[] = {
        QByteArray("plain.txt"),
        QByteArray("caf\xC3\xA9"),
        QByteArray("\xF0\x9F\x98\x80 smile"),
        QByteArray("latin1 \xE9t\xE9"),
        QByteArray("\xFF\xFE\x80"),
        QByteArray("\xC3"),               // cut short
        QByteArray("\xE0\x80\xAF"),       // overlong
        QByteArray("\xED\xA0\x80"),       // a surrogate in UTF-8
        QByteArray("\xF4\x90\x80\x80"),   // past U+10FFFF
        QByteArray("\xF0\x90\x82\x80\x80"), // U+10080 (a pair whose low half looks like an escape), then a bad byte
    };
    for (const QByteArray &bytes : cases) {
        SCOPED_TRACE(bytes.toHex().toStdString());
        const QString name = FileNameBytes::decode(bytes);
        EXPECT_EQ(FileNameBytes::encode(name), bytes);
        const bool valid = QString::fromUtf8(bytes).toUtf8() == bytes;
        EXPECT_EQ(FileNameBytes::hasEscapedBytes(name), !valid);
        if (valid) {
            EXPECT_EQ(name, QString::fromUtf8(bytes));
        }
    }
}
