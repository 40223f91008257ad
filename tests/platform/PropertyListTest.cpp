#include "VariantTree.h"
#include "platform/PropertyList.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QTimeZone>

#include <limits>

#include <sys/stat.h>

namespace {

using PropertyList::Format;

QVariantMap everyKind()
{
    return QVariantMap{
        {"string", QStringLiteral("héllo ✓")},
        {"empty string", QString()},
        {"int one", qint64(1)},
        {"int zero", qint64(0)},
        {"negative", qint64(-42)},
        {"int min", std::numeric_limits<qint64>::min()},
        {"int max", std::numeric_limits<qint64>::max()},
        {"large unsigned", quint64(0xF000000000000001ull)},
        {"real one", 1.0},
        {"real", -2.5},
        {"true", true},
        {"false", false},
        {"data", QByteArray("\x00\x01\xFFzz", 5)},
        {"empty data", QByteArray()},
        {"date", QDateTime(QDate(2019, 6, 1), QTime(12, 30, 5), Qt::UTC)},
        {"old date", QDateTime(QDate(1990, 3, 4), QTime(1, 2, 3), Qt::UTC)},
        // Beyond libplist's 32-bit seconds since 2001.
        {"very old date", QDateTime(QDate(1900, 5, 6), QTime(7, 8, 9), Qt::UTC)},
        {"far date", QDateTime(QDate(2200, 1, 2), QTime(3, 4, 5), Qt::UTC)},
        {"uid", QVariant::fromValue(PlistUid{7})},
        {"array", QVariantList{qint64(1), 1.0, true, QStringLiteral("1")}},
        {"nested", QVariantMap{{"inner", QVariantList{QVariantMap{{"deep", qint64(3)}}}}}},
        {"empty array", QVariantList{}},
        {"empty dict", QVariantMap{}},
    };
}

} // namespace

TEST(PropertyList, RoundTripsEveryKindInBothFormats)
{
    const QVariantMap tree = everyKind();
    for (Format format : {Format::Binary, Format::Xml}) {
        SCOPED_TRACE(format == Format::Binary ? "binary" : "xml");
        QString error;
        const QByteArray bytes = PropertyList::toData(tree, format, &error);
        ASSERT_FALSE(bytes.isEmpty()) << error.toStdString();
        EXPECT_EQ(bytes.startsWith("bplist00"), format == Format::Binary);
        const auto back = PropertyList::fromData(bytes, &error);
        ASSERT_TRUE(back) << error.toStdString();
        expectSameTree(tree, *back, "root");
    }
}

TEST(PropertyList, BothFormatsKeepMillisecondsOnBothSidesOf2001)
{
    const QDateTime dates[] = {
        QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59, 250), Qt::UTC), // -0.75 s
        QDateTime(QDate(2000, 12, 31), QTime(23, 59, 58, 250), Qt::UTC), // -1.75 s
        QDateTime(QDate(2001, 1, 1), QTime(0, 0, 3, 1), Qt::UTC),
        QDateTime(QDate(1990, 3, 4), QTime(1, 2, 3, 123), Qt::UTC),
        QDateTime(QDate(1800, 3, 4), QTime(1, 2, 3, 456), Qt::UTC),
        QDateTime(QDate(2300, 3, 4), QTime(1, 2, 3, 789), Qt::UTC),
    };
    for (Format format : {Format::Binary, Format::Xml}) {
        for (const QDateTime &date : dates) {
            SCOPED_TRACE(date.toString(Qt::ISODateWithMs).toStdString() + (format == Format::Xml ? " xml" : " binary"));
            const auto back = PropertyList::fromData(PropertyList::toData(QVariantList{date}, format));
            ASSERT_TRUE(back);
            EXPECT_EQ(back->toList().value(0).toDateTime(), date);
        }
    }
    // Dates written by other programs, with and without fractions or a zone.
    const struct {
        const char *text;
        QDateTime date;
    } written[] = {
        {"2019-06-01T12:30:05Z", QDateTime(QDate(2019, 6, 1), QTime(12, 30, 5), Qt::UTC)},
        {"2019-06-01T12:30:05.5Z", QDateTime(QDate(2019, 6, 1), QTime(12, 30, 5, 500), Qt::UTC)},
        {"2019-06-01T12:30:05", QDateTime(QDate(2019, 6, 1), QTime(12, 30, 5), Qt::UTC)},
    };
    for (const auto &w : written) {
        SCOPED_TRACE(w.text);
        const auto back = PropertyList::fromData(QByteArray("<plist version=\"1.0\"><date>") + w.text + "</date></plist>");
        ASSERT_TRUE(back);
        EXPECT_EQ(back->toDateTime(), w.date);
    }
}

TEST(PropertyList, RefusesToWriteWhatWouldNotReadBack)
{
    const QString withNul = QString("before") + QChar(0) + QString("after");
    const struct {
        const char *name;
        QVariant value;
        bool binaryToo;
    } cases[] = {
        // A reader would end the string at the NUL.
        {"string holding a NUL", QVariantList{withNul}, true},
        {"key holding a NUL", QVariantMap{{withNul, 1}}, true},
        // Four-digit years only in text.
        {"year 10000", QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC), false},
        {"year before 1", QDateTime(QDate(-1, 12, 31), QTime(0, 0), Qt::UTC), false},
        // Characters XML cannot carry.
        {"control character", QVariantList{QString("bell") + QChar(7)}, false},
        {"unpaired surrogate", QVariantList{QString(QChar(0xD800))}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_TRUE(PropertyList::toData(c.value, Format::Xml, &error).isEmpty());
        EXPECT_FALSE(error.isEmpty());
        error.clear();
        EXPECT_EQ(PropertyList::toData(c.value, Format::Binary, &error).isEmpty(), c.binaryToo);
        EXPECT_EQ(error.isEmpty(), !c.binaryToo);
    }
    // What XML escapes comes back as it was.
    const QVariantList tricky{QStringLiteral("a<b>&c\r\nd\te"), QString::fromUtf8("\xF0\x9F\x98\x80")};
    for (Format format : {Format::Binary, Format::Xml}) {
        const auto back = PropertyList::fromData(PropertyList::toData(tricky, format));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->toList(), tricky);
    }
}

TEST(PropertyList, LargeArraysAndDictionariesRoundTrip)
{
    // Sizes where reading or writing item by item from the list's start shows (the speed
    // itself is the benchmark's); shared strings and wide references are exercised too.
    QVariantList list;
    QVariantMap map;
    for (int i = 0; i < 70000; ++i) {
        list.append(QStringLiteral("item %1").arg(i % 1000));
        map.insert(QStringLiteral("key %1").arg(i), qint64(i) * 100003);
    }
    const QVariantMap tree{{"list", list}, {"map", map}};
    for (Format format : {Format::Binary, Format::Xml}) {
        SCOPED_TRACE(format == Format::Binary ? "binary" : "xml");
        QString error;
        const auto back = PropertyList::fromData(PropertyList::toData(tree, format, &error), &error);
        ASSERT_TRUE(back) << error.toStdString();
        EXPECT_EQ(back->toMap().value("list").toList(), list);
        EXPECT_EQ(back->toMap().value("map").toMap(), map);
    }
}

TEST(PropertyList, FileRoundTripAndMissingFile)
{
    TestHome home;
    const QString path = home.path() + "/x.plist";
    QString error;
    ASSERT_TRUE(PropertyList::toFile(everyKind(), path, Format::Xml, &error)) << error.toStdString();
    const auto back = PropertyList::fromFile(path, &error);
    ASSERT_TRUE(back);
    expectSameTree(everyKind(), *back, "file");

    EXPECT_FALSE(PropertyList::fromFile(home.path() + "/missing.plist", &error));
    EXPECT_FALSE(error.isEmpty());
    // A pipe (nobody writing) or a folder where the file belongs is refused, without waiting.
    const QString pipe = home.path() + "/pipe.plist";
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString &notAFile : {pipe, home.path()}) {
        SCOPED_TRACE(notAFile.toStdString());
        error.clear();
        EXPECT_FALSE(PropertyList::fromFile(notAFile, &error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(PropertyList, RefusesValuesWithNoPlistForm)
{
    const struct {
        const char *name;
        QVariant value;
    } cases[] = {
        {"invalid", QVariant()},
        {"null", QVariant::fromValue(nullptr)},
        {"nested invalid", QVariantMap{{"a", QVariantList{QVariant()}}}},
        {"invalid date", QDateTime()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_TRUE(PropertyList::toData(c.value, Format::Binary, &error).isEmpty());
        EXPECT_FALSE(error.isEmpty());
    }
}

namespace {

// A binary property list assembled by hand: objects, then the offset table and trailer.
QByteArray binaryPlist(const QList<QByteArray> &objects, quint64 top = 0, quint8 refSize = 1,
                       quint64 countOverride = 0, quint64 tableOverride = 0)
{
    QByteArray out("bplist00");
    QList<quint64> offsets;
    for (const QByteArray &o : objects) {
        offsets.append(quint64(out.size()));
        out += o;
    }
    const quint64 table = tableOverride ? tableOverride : quint64(out.size());
    for (quint64 off : offsets)
        out += char(off);  // offsets fit one byte in these fixtures
    QByteArray trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = char(refSize);
    auto put = [&trailer](int at, quint64 v) {
        for (int i = 7; i >= 0; --i, v >>= 8)
            trailer[at + i] = char(v & 0xFF);
    };
    put(8, countOverride ? countOverride : quint64(objects.size()));
    put(16, top);
    put(24, table);
    return out + trailer;
}

} // namespace

TEST(PropertyList, HandBuiltBinaryParses)
{
    // ["a", 5]
    const auto v = PropertyList::fromData(
        binaryPlist({QByteArray("\xA2\x01\x02", 3), QByteArray("\x51" "a", 2), QByteArray("\x10\x05", 2)}));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->toList(), (QVariantList{QStringLiteral("a"), qint64(5)}));
}

TEST(PropertyList, RefusesMalformedInput)
{
    QByteArray deepXml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i)
        deepXml += "<array>";
    // Closing tags inside a comment must not hide the nesting around them.
    QByteArray hiddenDepthXml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    hiddenDepthXml += QByteArray("<array>").repeated(300) + "<!--" + QByteArray("</array>").repeated(300) + "-->"
                      + QByteArray("<array>").repeated(300) + QByteArray("</array>").repeated(600) + "</plist>";
    // 2000 nested one-element arrays, each pointing to the next.
    QByteArray deepBinary("bplist00");
    {
        // 2000 objects need 2-byte offsets and references.
        QList<quint32> offsets;
        for (int i = 0; i < 2000; ++i) {
            offsets.append(quint32(deepBinary.size()));
            if (i + 1 < 2000) {
                deepBinary += '\xA1';
                deepBinary += char((i + 1) >> 8);
                deepBinary += char((i + 1) & 0xFF);
            } else {
                deepBinary += QByteArray("\x10\x01", 2);
            }
        }
        const quint64 table = quint64(deepBinary.size());
        for (quint32 off : offsets) {
            deepBinary += char(off >> 8);
            deepBinary += char(off & 0xFF);
        }
        QByteArray trailer(32, '\0');
        trailer[6] = 2;
        trailer[7] = 2;
        trailer[14] = char(2000 >> 8);
        trailer[15] = char(2000 & 0xFF);
        for (int i = 7; i >= 0; --i)
            trailer[24 + i] = char((table >> (8 * (7 - i))) & 0xFF);
        deepBinary += trailer;
    }

    // Thirty arrays, each holding the next one twice: 2^30 copies once libplist expands them.
    auto doublingArrays = [](int levels) {
        QList<QByteArray> objects;
        for (int i = 0; i < levels; ++i)
            objects.append(QByteArray("\xA2", 1) + char(i + 1) + char(i + 1));
        objects.append(QByteArray("\x10\x01", 2));
        return binaryPlist(objects);
    };

    const QByteArray good = PropertyList::toData(everyKind(), Format::Binary);
    const struct {
        const char *name;
        QByteArray input;
    } cases[] = {
        {"empty", QByteArray()},
        {"text", "hello world"},
        {"json", "{\"a\": 1}"},
        {"xml without plist", "<?xml version=\"1.0\"?><foo/>"},
        {"unknown xml element", "<plist version=\"1.0\"><foo/></plist>"},
        {"header only", "bplist00"},
        {"truncated binary", good.left(good.size() / 2)},
        {"binary without trailer", good.left(good.size() - 10)},
        {"deep xml", deepXml},
        {"deep xml behind a comment", hiddenDepthXml},
        {"deep binary", deepBinary},
        {"self-referencing array", binaryPlist({QByteArray("\xA1\x00", 2)})},
        {"two-object cycle", binaryPlist({QByteArray("\xA1\x01", 2), QByteArray("\xA1\x00", 2)})},
        {"reference past the objects", binaryPlist({QByteArray("\xA1\x05", 2)})},
        {"top object missing", binaryPlist({QByteArray("\x10\x01", 2)}, 3)},
        {"object count too large", binaryPlist({QByteArray("\x10\x01", 2)}, 0, 1, 1000)},
        {"offset table past the end", binaryPlist({QByteArray("\x10\x01", 2)}, 0, 1, 0, 5000)},
        {"string longer than the file", binaryPlist({QByteArray("\x5F\x13\xFF\xFF\xFF\xFF", 6)})},
        {"array count longer than the file", binaryPlist({QByteArray("\xAF\x12\x7F\xFF\xFF\xFF", 6)})},
        {"reference size zero", binaryPlist({QByteArray("\x10\x01", 2)}, 0, 0)},
        {"unknown marker", binaryPlist({QByteArray("\x70\x00", 2)})},
        {"shared arrays expanding exponentially", doublingArrays(30)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_FALSE(PropertyList::fromData(c.input, &error));
        EXPECT_FALSE(error.isEmpty());
    }
    // The deep binary list is refused for its depth, not its shape: a shallow one of the same
    // construction reads.
    EXPECT_TRUE(PropertyList::fromData(binaryPlist({QByteArray("\xA1\x01", 2), QByteArray("\x10\x01", 2)})));
    // Sharing itself is fine: a few levels of the doubling arrays read, every copy in place.
    const auto shared = PropertyList::fromData(doublingArrays(3));
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->toList().at(1).toList().at(1).toList(), (QVariantList{qint64(1), qint64(1)}));
}

TEST(PropertyList, SurvivesEveryTruncationAndByteFlip)
{
    // Every prefix and every single-byte corruption either parses or is refused; none crash.
    const QByteArray good = PropertyList::toData(everyKind(), Format::Binary);
    for (qsizetype n = 0; n < good.size(); ++n)
        (void)PropertyList::fromData(good.left(n));
    for (qsizetype i = 8; i < good.size(); ++i) {
        for (char flip : {char(0xFF), char(0x00), char(0x80)}) {
            QByteArray bad = good;
            bad[i] = char(bad[i] ^ flip);
            (void)PropertyList::fromData(bad);
        }
    }
    SUCCEED();
}
