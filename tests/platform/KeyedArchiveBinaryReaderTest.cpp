// The direct binary reader must decode every archive exactly as the tree path does, refuse
// what it refuses, and never read outside the buffer: archives we write, archives in the
// forms other writers use, hostile graphs, and damaged copies of all of them.
#include "KeyedArchiveDifferential.h"
#include "TestHome.h"
#include "platform/KeyedArchive.h"
#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

QVariant uid(quint64 v) { return QVariant::fromValue(PlistUid{v}); }

QVariantMap classDict(const QString &name) { return {{"$classname", name}, {"$classes", QStringList{name, "NSObject"}}}; }

QByteArray binary(const QVariant &root) { return PropertyList::toData(root, PropertyList::Format::Binary); }

// An archive around the given objects, the root at index 1.
QByteArray archive(const QVariantList &objects, const QVariantMap &top = {{"root", uid(1)}})
{
    return binary(QVariantMap{{"$archiver", "NSKeyedArchiver"}, {"$objects", objects}, {"$top", top}});
}

// Binary property lists written object by object, for the forms our writer never makes:
// sets, UTF-16 keys, duplicate or unordered keys, wide references, odd markers.
class RawPlist
{
public:
    int scalar(const QByteArray &bytes) { return push(Object{bytes, 0, {}}); }
    int ascii(const QByteArray &text) { return scalar(lengthMarker(0x50, text.size()) + text); }
    int utf16(const QList<quint16> &units)
    {
        QByteArray bytes = lengthMarker(0x60, units.size());
        for (quint16 u : units)
            bytes += QByteArray(1, char(u >> 8)) + QByteArray(1, char(u & 0xFF));
        return scalar(bytes);
    }
    // `log2` picks the stored width: 1, 2, 4, 8 or (4) 16 bytes.
    int integer(quint64 value, int log2 = 3)
    {
        QByteArray bytes(1, char(0x10 | log2));
        if (log2 == 4)
            bytes += QByteArray(8, '\0');
        bytes += bigEndian(value, log2 == 4 ? 8 : 1 << log2);
        return scalar(bytes);
    }
    int real(double value, bool asFloat = false)
    {
        if (asFloat) {
            const float f = float(value);
            quint32 bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            return scalar(QByteArray(1, char(0x22)) + bigEndian(bits, 4));
        }
        return dateOrReal(0x23, value);
    }
    int date(double seconds) { return dateOrReal(0x33, seconds); }
    int uid(quint64 value, int width = 1) { return scalar(QByteArray(1, char(0x80 | (width - 1))) + bigEndian(value, width)); }
    int array(const QList<int> &items, quint8 type = 0xA0) { return push(Object{{}, type, items}); }
    int dict(const QList<std::pair<int, int>> &entries)
    {
        QList<int> refs;
        for (const auto &e : entries)
            refs.append(e.first);
        for (const auto &e : entries)
            refs.append(e.second);
        return push(Object{{}, 0xD0, refs});
    }
    // A keyed archive whose "$objects" are the given objects and whose root is at `root`.
    int keyedArchive(const QList<int> &objects, int root = 1)
    {
        const int top = dict({{ascii("root"), uid(quint64(root))}});
        return dict({{ascii("$archiver"), ascii("NSKeyedArchiver")}, {ascii("$objects"), array(objects)}, {ascii("$top"), top}});
    }

    QByteArray bytes(int top, int offsetWidth = 2, int refWidth = 1) const
    {
        QByteArray out("bplist00");
        QList<quint64> offsets;
        for (const Object &o : mObjects) {
            offsets.append(quint64(out.size()));
            if (!o.type) {
                out += o.bytes;
                continue;
            }
            out += lengthMarker(o.type, o.type == 0xD0 ? o.refs.size() / 2 : o.refs.size());
            for (int ref : o.refs)
                out += bigEndian(quint64(ref), refWidth);
        }
        const quint64 tableAt = quint64(out.size());
        for (quint64 offset : offsets)
            out += bigEndian(offset, offsetWidth);
        out += QByteArray(6, '\0') + QByteArray(1, char(offsetWidth)) + QByteArray(1, char(refWidth));
        out += bigEndian(quint64(mObjects.size()), 8) + bigEndian(quint64(top), 8) + bigEndian(tableAt, 8);
        return out;
    }

private:
    struct Object
    {
        QByteArray bytes; // a scalar's bytes, marker included
        quint8 type;      // a container's marker (0xA0, 0xC0, 0xD0); 0 for scalars
        QList<int> refs;
    };
    QList<Object> mObjects;

    int push(const Object &o)
    {
        mObjects.append(o);
        return int(mObjects.size() - 1);
    }
    static QByteArray bigEndian(quint64 value, int width)
    {
        QByteArray out;
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
            out.append(char(shift >= 64 ? 0 : (value >> shift) & 0xFF));
        return out;
    }
    static QByteArray lengthMarker(quint8 type, qsizetype length)
    {
        if (length < 15)
            return QByteArray(1, char(type | length));
        return QByteArray(1, char(type | 0x0F)) + QByteArray(1, char(0x11)) + bigEndian(quint64(length), 2);
    }
    int dateOrReal(quint8 marker, double value)
    {
        quint64 bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        return scalar(QByteArray(1, char(marker)) + bigEndian(bits, 8));
    }
};

struct Case
{
    const char *name;
    QByteArray archive;
};

void expectAgreement(const Case &c, bool damaged)
{
    SCOPED_TRACE(c.name);
    EXPECT_EQ(keyedDecodeDifference(c.archive).toStdString(), "");
    if (damaged) {
        EXPECT_EQ(keyedDecodeDamageDifference(c.archive).toStdString(), "");
    }
}

} // namespace

TEST(KeyedArchiveBinaryReader, AgreesWithTheTreeOnArchivesWeWrite)
{
    const KeyedObject part = KeyedArchive::makeObject("QNPart", {{"size", qint64(3)}}, {"QNBase"});
    const QVariant shared = QVariant::fromValue(part);
    const QVariantMap everyKind{
        {"string", QStringLiteral("text ✓ 😀")},
        {"empty string", QString("")},
        {"dollar null string", QStringLiteral("$null")},
        {"integers", QVariantList{qint64(0), qint64(-7), qint64(4294967296), std::numeric_limits<qint64>::min(),
                                  std::numeric_limits<quint64>::max()}},
        {"reals", QVariantList{1.0, -0.0, 1e-300, std::nan("")}},
        {"bools", QVariantList{true, false}},
        {"data", QByteArray("\x00\x01", 2)},
        {"dates", QVariantList{QDateTime(QDate(2020, 2, 29), QTime(10, 11, 12, 500), Qt::UTC),
                               QDateTime(QDate(1900, 1, 1), QTime(0, 0, 0, 1), Qt::UTC)}},
        {"null object", QVariant::fromValue(nullptr)},
        {"nil", QVariant()},
        {"map", QVariantMap{{"k", QVariantMap{{"deep", QVariantList{qint64(2)}}}}, {"ключ", "значение"}}},
        {"object", QVariant::fromValue(KeyedArchive::makeObject("QNThing", {{"part", shared}, {"parts", QVariantList{shared, shared}}}))},
    };
    QFile fixture(fixturePath("platform/keyed-archive.xml"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    const QByteArray fixtureXml = fixture.readAll();
    const auto fixtureTree = PropertyList::fromData(fixtureXml);
    ASSERT_TRUE(fixtureTree);

    const Case cases[] = {
        {"every kind", KeyedArchive::encode(everyKind)},
        {"a list at the root", KeyedArchive::encode(QVariantList{shared, qint64(1), QVariantList{}})},
        {"a plain value at the root", KeyedArchive::encode(qint64(5))},
        {"the fixture, written in binary", binary(*fixtureTree)},
    };
    for (const Case &c : cases)
        expectAgreement(c, true);
    // The fixture itself is XML, which only the tree path reads; the top key is the caller's.
    EXPECT_EQ(keyedDecodeDifference(fixtureXml).toStdString(), "");
    EXPECT_EQ(keyedDecodeDifference(KeyedArchive::encode(qint64(5), nullptr, "object"), "object").toStdString(), "");
    EXPECT_EQ(keyedDecodeDifference(KeyedArchive::encode(qint64(5), nullptr, "object"), "root").toStdString(), "");
}

TEST(KeyedArchiveBinaryReader, AgreesWithTheTreeOnFormsOtherWritersUse)
{
    QList<Case> cases;
    auto add = [&](const char *name, const std::function<int(RawPlist &)> &build, int offsetWidth = 2, int refWidth = 1) {
        RawPlist p;
        const int top = build(p);
        cases.append(Case{name, p.bytes(top, offsetWidth, refWidth)});
    };
    // An object of class QNThing (at index 2) with the given fields; `extra` objects follow.
    auto thing = [](RawPlist &p, const QList<std::pair<int, int>> &fields, const QList<int> &extra = {}) {
        QList<std::pair<int, int>> all{{p.ascii("$class"), p.uid(2)}};
        all += fields;
        const int cls = p.dict({{p.ascii("$classname"), p.ascii("QNThing")}, {p.ascii("$classes"), p.array({p.ascii("QNThing")})}});
        return p.keyedArchive(QList<int>{p.ascii("$null"), p.dict(all), cls} + extra);
    };
    add("a set and wide references", [&](RawPlist &p) {
        return thing(p, {{p.ascii("items"), p.array({p.uid(3), p.uid(3, 2), p.uid(3, 3), p.uid(3, 4)}, 0xC0)}}, {p.integer(7, 0)});
    }, 3, 3);
    add("eight-byte offsets and references", [&](RawPlist &p) { return thing(p, {{p.ascii("n"), p.integer(1)}}); }, 8, 8);
    add("references up to sixteen bytes wide", [&](RawPlist &p) {
        return thing(p, {{p.ascii("n"), p.array({p.uid(3, 5), p.uid(3, 9), p.uid(3, 16)})}}, {p.integer(1)});
    });
    add("the largest reference the list allows", [&](RawPlist &p) { return thing(p, {{p.ascii("n"), p.uid(0xFFFFFFFF, 16)}}); });
    add("a reference above 32 bits", [&](RawPlist &p) { return thing(p, {{p.ascii("n"), p.uid(0x100000000, 8)}}); });
    add("CF$UID dictionaries as references", [&](RawPlist &p) {
        const int ref = p.dict({{p.ascii("CF$UID"), p.integer(3, 0)}});
        const int wideRef = p.dict({{p.utf16({'C', 'F', '$', 'U', 'I', 'D'}), p.integer(3, 4)}});
        const int notRef = p.dict({{p.ascii("CF$UID"), p.real(3)}});
        const int twice = p.dict({{p.ascii("CF$UID"), p.integer(3, 0)}, {p.ascii("CF$UID"), p.integer(3, 0)}});
        return thing(p, {{p.ascii("a"), ref}, {p.ascii("b"), wideRef}, {p.ascii("c"), notRef}, {p.ascii("d"), twice}},
                     {p.ascii("shared")});
    });
    add("a CF$UID dictionary as the root reference", [&](RawPlist &p) {
        const int top = p.dict({{p.ascii("root"), p.dict({{p.ascii("CF$UID"), p.integer(1, 0)}})}});
        return p.dict({{p.ascii("$objects"), p.array({p.ascii("$null"), p.ascii("text")})}, {p.ascii("$top"), top}});
    });
    add("a CF$UID dictionary as a class", [&](RawPlist &p) {
        const int cls = p.dict({{p.ascii("CF$UID"), p.integer(1, 0)}});
        return p.keyedArchive({p.ascii("$null"), p.dict({{p.ascii("$class"), p.uid(2)}}), cls});
    });
    add("duplicate and unordered keys", [&](RawPlist &p) {
        return thing(p, {{p.ascii("z"), p.integer(1)}, {p.ascii("a"), p.integer(2)}, {p.ascii("z"), p.integer(3)},
                         {p.ascii("$class"), p.uid(2)}, {p.utf16({'m'}), p.integer(4)}, {p.ascii("a"), p.ascii("last")}});
    });
    add("a duplicate class reference pointing elsewhere", [&](RawPlist &p) {
        return thing(p, {{p.ascii("$class"), p.uid(3)}}, {p.dict({{p.ascii("$classname"), p.ascii("NSNull")}})});
    });
    add("UTF-16 keys and strings", [&](RawPlist &p) {
        return thing(p, {{p.utf16({0x0435, 'k'}), p.utf16({0xD83D, 0xDE00, 'x', 0xFFFE})}, {p.utf16({'w'}), p.uid(3)}},
                     {p.utf16({'$', 'n', 'u', 'l', 'l'})});
    });
    add("unpaired surrogates, which the tree path mends", [&](RawPlist &p) {
        return thing(p, {{p.utf16({'C', 0xD800, 'F'}), p.utf16({0xDC00, 'a', 0xD83D, 0xD83D, 0xDE00})}, {p.ascii("u"), p.uid(3)}},
                     {p.utf16({'$', 'n', 'u', 'l', 0xDFFF, 'l'})});
    });
    add("an empty UTF-16 string", [&](RawPlist &p) { return thing(p, {{p.ascii("e"), p.utf16({})}}); });
    add("text that is not UTF-8", [&](RawPlist &p) { return thing(p, {{p.ascii("\xC3\xA9\xFF"), p.ascii("\xE2\x82")}}); });
    add("integers of every width", [&](RawPlist &p) {
        return thing(p, {{p.ascii("i"), p.array({p.integer(0xFF, 0), p.integer(0xFFFF, 1), p.integer(0xFFFFFFFF, 2),
                                                 p.integer(~0ull, 3), p.integer(~0ull, 4), p.integer(5, 4)})}});
    });
    add("floats and doubles", [&](RawPlist &p) {
        return thing(p, {{p.ascii("r"), p.array({p.real(1.5, true), p.real(std::nan(""), true), p.real(-0.0),
                                                 p.real(std::numeric_limits<double>::infinity())})}});
    });
    add("a null marker", [&](RawPlist &p) { return thing(p, {{p.ascii("n"), p.scalar(QByteArray(1, '\0'))}}); });
    add("a fill marker, unreachable", [&](RawPlist &p) {
        p.scalar(QByteArray(1, '\x0F'));
        return thing(p, {});
    });
    add("a key that is a number", [&](RawPlist &p) { return thing(p, {{p.integer(1), p.integer(1)}}); });
    for (const int log2 : {0, 4}) {
        add(log2 ? "a date from a sixteen-byte count" : "a date from whole seconds", [&](RawPlist &p) {
            const int cls = p.dict({{p.ascii("$classname"), p.ascii("NSDate")}});
            const int date = p.dict({{p.ascii("$class"), p.uid(3)}, {p.ascii("NS.time"), p.integer(log2 ? ~0ull : 5, log2)}});
            return p.keyedArchive({p.ascii("$null"), p.array({}), date, cls}, 2);
        });
    }
    add("plain values as objects", [&](RawPlist &p) {
        return thing(p, {{p.ascii("v"), p.array({p.uid(3), p.uid(4), p.uid(5), p.uid(6)})}},
                     {p.date(12.5), p.scalar(QByteArray("\x42\x01\x02", 3)), p.integer(9), p.scalar(QByteArray(1, '\x09'))});
    });
    for (const Case &c : cases)
        expectAgreement(c, true);
}

TEST(KeyedArchiveBinaryReader, AgreesWithTheTreeOnStoredDates)
{
    // The tree path reads a stored date through whole seconds and microseconds; every range
    // (fractions, negatives, near zero, past 32 bits, NaN) must come out as there.
    QVariantList dates;
    QRandomGenerator random(7);
    for (double s : {0.0, 0.5, -0.5, 0.0004, -0.0006, 1.0006, -1.0006, 123.0005, 2147483647.5, -2147483648.5,
                     -2147483649.5, 4294967301.25, 3e9, -3e9, 1e15, 1e300, std::nan(""), -std::numeric_limits<double>::infinity()})
        dates.append(s);
    // Where whole seconds plus truncated microseconds round to another millisecond than the
    // stored value does.
    for (double s : {-1416961019.3535, -269902868.0085009, 1837944926.6945, -271370532.41150004, 1358776061.3095})
        dates.append(s);
    for (int i = 0; i < 3000; ++i) {
        const double magnitude = std::pow(10.0, -4.0 + 16.0 * random.generateDouble());
        dates.append((random.bounded(2) ? -1.0 : 1.0) * magnitude * random.generateDouble());
    }
    RawPlist p;
    QList<int> refs;
    for (const QVariant &d : dates)
        refs.append(p.date(d.toDouble()));
    const int cls = p.dict({{p.ascii("$classname"), p.ascii("QNDates")}});
    const int root = p.keyedArchive({p.ascii("$null"), p.dict({{p.ascii("$class"), p.uid(2)}, {p.ascii("all"), p.array(refs)}}), cls});
    EXPECT_EQ(keyedDecodeDifference(p.bytes(root, 4, 2)).toStdString(), "");
}

TEST(KeyedArchiveBinaryReader, AgreesWithTheTreeOnHostileGraphs)
{
    const QVariant arrayClass = classDict("NSArray");
    // `depth` arrays, each holding the next; the last holds a number.
    auto chain = [&](int depth) {
        QVariantList objects{"$null", arrayClass};
        for (int i = 0; i < depth; ++i)
            objects.append(QVariantMap{{"$class", uid(1)}, {"NS.objects", QVariantList{uid(quint64(i + 3))}}});
        objects.append(qint64(1));
        return archive(objects, QVariantMap{{"root", uid(2)}});
    };
    // `levels` arrays, each referring to the next twice.
    auto doubling = [&](int levels) {
        QVariantList objects{"$null"};
        for (int i = 0; i < levels; ++i)
            objects.append(QVariantMap{{"$class", uid(quint64(levels + 2))},
                                       {"NS.objects", QVariantList{uid(quint64(i + 2)), uid(quint64(i + 2))}}});
        objects.append(qint64(7));
        objects.append(arrayClass);
        return archive(objects);
    };
    // Plain arrays nested `depth` deep in a field, around the property-list reader's cap.
    auto nestedField = [&](int depth) {
        RawPlist p;
        int v = p.integer(1);
        for (int i = 0; i < depth; ++i)
            v = p.array({v});
        const int cls = p.dict({{p.ascii("$classname"), p.ascii("QNDeep")}});
        const int object = p.dict({{p.ascii("$class"), p.uid(2)}, {p.ascii("deep"), v}});
        return p.bytes(p.keyedArchive({p.ascii("$null"), object, cls}), 2, 2);
    };
    // One array (holding a number) at the end of a chain `depth` long and also in the root:
    // whichever reaches it first decodes it, so the order decides whether it is too deep.
    auto sharedEnd = [&](int depth, bool chainFirst) {
        QVariantList objects{"$null", arrayClass};
        for (int i = 0; i < depth; ++i)
            objects.append(QVariantMap{{"$class", uid(1)}, {"NS.objects", QVariantList{uid(quint64(i + 3))}}});
        const quint64 end = quint64(depth + 2);
        objects.append(QVariantMap{{"$class", uid(1)}, {"NS.objects", QVariantList{uid(end + 1)}}});
        objects.append(qint64(1));
        const QVariantList items = chainFirst ? QVariantList{uid(2), uid(end)} : QVariantList{uid(end), uid(2)};
        objects.append(QVariantMap{{"$class", uid(1)}, {"NS.objects", items}});
        return archive(objects, QVariantMap{{"root", uid(end + 2)}});
    };
    // "$objects" claiming 2^60 items.
    RawPlist huge;
    const int hugeObjects = huge.scalar(QByteArray("\xAF\x13\x10\x00\x00\x00\x00\x00\x00\x00\x00", 11));
    const int hugeRoot = huge.dict({{huge.ascii("$objects"), hugeObjects},
                                    {huge.ascii("$top"), huge.dict({{huge.ascii("root"), huge.uid(0)}})}});

    const Case cases[] = {
        {"array containing itself",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.objects", QVariantList{uid(1)}}}, arrayClass})},
        {"two objects in a cycle",
         archive({"$null", QVariantMap{{"$class", uid(3)}, {"next", uid(2)}}, QVariantMap{{"$class", uid(3)}, {"next", uid(1)}},
                  classDict("QNNode")})},
        {"a class that is its own instance", archive({"$null", QVariantMap{{"$class", uid(1)}, {"$classname", "QNSelf"}}})},
        {"chain at the depth cap", chain(256)},
        {"chain just past the depth cap", chain(257)},
        {"chain far past the depth cap", chain(2000)},
        {"shared end reached through the chain first", sharedEnd(255, true)},
        {"shared end reached from the root first", sharedEnd(255, false)},
        {"doubling within the expansion limit", doubling(16)},
        {"doubling just past the expansion limit", doubling(20)},
        {"doubling far past it", doubling(60)},
        {"plain arrays nested in a field", nestedField(250)},
        {"plain arrays at the list reader's cap, past the graph's", nestedField(509)},
        {"plain arrays past the list reader's cap", nestedField(510)},
        {"a count past the end", huge.bytes(hugeRoot)},
    };
    for (const Case &c : cases)
        expectAgreement(c, false);
    for (const Case &c : {cases[0], cases[1], cases[2], Case{"doubling", doubling(4)}})
        expectAgreement(c, true);
}
