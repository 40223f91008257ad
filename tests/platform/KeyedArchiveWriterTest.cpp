// The direct archive writer against the reference encoder: the same bytes for every tree,
// and the same refusals with the same texts.

#include "platform/KeyedArchive.h"
#include "platform/KeyedArchiveReference.h"
#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QSize>
#include <QTimeZone>

#include <functional>
#include <limits>
#include <random>

namespace {

QVariant object(const QString &className, const QVariantMap &fields, const QStringList &classes = {})
{
    KeyedObject o;
    o.className = className;
    o.classes = classes;
    o.fields = fields;
    return QVariant::fromValue(o);
}

QVariant nested(int depth, const std::function<QVariant(const QVariant &)> &wrap, const QVariant &leaf = qint64(1))
{
    QVariant v = leaf;
    for (int i = 0; i < depth; ++i)
        v = wrap(v);
    return v;
}

QVariant inList(const QVariant &v) { return QVariantList{v}; }

QVariantList count(int n, const std::function<QVariant(int)> &make)
{
    QVariantList list;
    for (int i = 0; i < n; ++i)
        list.append(make(i));
    return list;
}

struct Case
{
    const char *name;
    QVariant root;
    bool refused = false;
    QString topKey = QStringLiteral("root");
};

void expectSameAsReference(const Case &c)
{
    SCOPED_TRACE(c.name);
    QString error = QStringLiteral("untouched"), referenceError = QStringLiteral("untouched");
    const QByteArray bytes = KeyedArchive::encode(c.root, &error, c.topKey);
    const QByteArray reference = KeyedArchiveReference::encode(c.root, &referenceError, c.topKey);
    EXPECT_EQ(bytes.isEmpty(), c.refused) << error.toStdString();
    EXPECT_EQ(bytes.size(), reference.size());
    EXPECT_TRUE(bytes == reference);
    if (c.refused) {
        EXPECT_EQ(error, referenceError);
    }
}

// Trees drawn from small pools, so strings, keys and class names repeat, with a rare value
// that must be refused.
class RandomTree
{
public:
    explicit RandomTree(unsigned seed) : mRandom(seed) {}

    QVariant value(int depth)
    {
        switch (pick(depth < 5 ? 16 : 11)) {
        case 0: return text();
        case 1: return qint64(pick(3) == 0 ? -qint64(pick(1000)) : qint64(pick(70000)));
        case 2: return pick(2) ? QVariant(std::numeric_limits<quint64>::max() - pick(3)) : QVariant(uint(pick(9)));
        case 3: return pick(2) ? QVariant(0.1 * pick(50)) : QVariant(float(pick(9)) / 4);
        case 4: return bool(pick(2));
        case 5: return QByteArray(int(pick(20)), char('a' + pick(3)));
        case 6: return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).addMSecs(qint64(pick(1000000)) - 500000);
        case 7: return QVariant::fromValue(nullptr);
        case 8: return QVariant();
        case 9: return QStringList{text(), text()};
        case 10: return pick(40) ? QVariant(text()) : QVariant(QSize(1, 1)); // rarely refused
        case 11:
        case 12: {
            QVariantList list;
            for (unsigned i = pick(5); i > 0; --i)
                list.append(value(depth + 1));
            return list;
        }
        case 13: {
            QVariantMap map;
            for (unsigned i = pick(5); i > 0; --i)
                map.insert(text(), value(depth + 1));
            return pick(4) ? QVariant(map) : QVariant(QVariantHash(map.begin(), map.end()));
        }
        default: {
            const QString name = pick(2) ? QStringLiteral("QNThing") : text();
            QVariantMap fields;
            for (unsigned i = pick(5); i > 0; --i)
                fields.insert(text(), value(depth + 1));
            const QStringList chains[] = {{}, {name, "NSObject"}, {"QNBase", "NSObject"}, {name, text(), "NSObject"}};
            return object(name, fields, chains[pick(4)]);
        }
        }
    }

private:
    std::mt19937 mRandom;

    unsigned pick(unsigned n) { return unsigned(mRandom() % n); }

    QString text()
    {
        static const QString pool[] = {"a", "b", "", "$null", "$class", " ", "#", "$a", "NS.objects", "Zoë",
                                       "✓ mark", "a long string past fifteen units", "root", "𝄞", "NSArray"};
        if (pick(300) == 0)
            return QString(QStringLiteral("cut%1here")).arg(QChar(0)); // refused
        return pool[pick(std::size(pool))];
    }
};

} // namespace

TEST(KeyedArchiveWriter, WritesTheReferenceBytes)
{
    const QDateTime when(QDate(2020, 2, 29), QTime(10, 11, 12, 500), Qt::UTC);
    const QVariant part = object("QNPart", {{"size", qint64(3)}}, {"QNPart", "QNBase", "NSObject"});
    const Case cases[] = {
        {"nil root", QVariant()},
        {"string root", QStringLiteral("text")},
        {"string reading $null", QStringLiteral("$null")},
        {"null object", QVariant::fromValue(nullptr)},
        {"kinds kept apart",
         QVariantList{true, false, qint64(1), 1.0, int(1), uint(1), QVariant::fromValue(short(-2)), QVariant::fromValue(ushort(2)), 1.5f,
                      QVariant::fromValue(long(-3)), QVariant::fromValue(ulong(5)),
                      qulonglong(4), qint64(-1), qint64(0xFFFFFFFFll), qint64(0x100000000ll),
                      std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max()}},
        {"unsigned above INT64_MAX", QVariantList{quint64(std::numeric_limits<qint64>::max()) + 1,
                                                  std::numeric_limits<quint64>::max()}},
        {"dates", QVariantList{when, when.addYears(-40), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC),
                               QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59, 999), Qt::UTC),
                               QDateTime(QDate(2019, 3, 5), QTime(15, 0), QTimeZone(3600))}},
        {"data", QVariantList{QByteArray(), QByteArray("\x00\x01", 2), QByteArray(15, 'x'), QByteArray(300, 'y')}},
        {"strings", QVariantList{QString(), QString(""), QStringLiteral("fourteen chars"),
                                 QStringLiteral("fifteen chars.."), QStringLiteral("Zoë ✓ 𝄞"),
                                 QString(200, QChar(0x263A)), QStringLiteral("$nullity")}},
        {"string list", QStringList{"a", "b", "a", "$null"}},
        {"repeated strings and classes",
         QVariantList{"same", "same", QVariantMap{{"same", "same"}}, part, part, QVariantList{}, QVariantList{},
                      QVariantMap{}, QVariant::fromValue(nullptr), QVariant::fromValue(nullptr), "$null", "$null"}},
        {"values reading the archive's own keys",
         QVariantList{"$archiver", "NSKeyedArchiver", "$objects", "$top", "$version", "root", "$class",
                      "$classes", "$classname", "NS.objects", "NS.keys", "NS.time", "NS.string", "NSArray",
                      "NSObject"}},
        {"nested collections",
         QVariantMap{{"list", QVariantList{qint64(1), QVariantList{QVariantMap{{"k", QVariantList{}}}}}},
                     {"map", QVariantMap{{"$null", "$null"}, {"", QVariant()}, {"nil", QVariant()}}},
                     {"hash", QVariantHash{{"b", 2}, {"a", 1}, {"c", QVariantHash{{"z", true}}}}}}},
        {"objects",
         object("QNThing",
                {{"part", part},
                 {"parts", QVariantList{part, object("QNOther", {})}},
                 {"", "empty key"},
                 {" space", 1},
                 {"#hash", 2},
                 {"$a", 3},
                 {"$classy", 4},
                 {"$clas", 5},
                 {"Zeta", 6},
                 {"nil", QVariant()}},
                {"QNThing", "NSObject"})},
        {"class chains: none, without the class itself, and a second chain for one name",
         QVariantList{object("QNBare", {{"a", 1}}), object("QNShort", {}, {"QNBase", "NSObject"}),
                      object("QNBare", {}, {"QNBare", "QNOther", "NSObject"}), object("NSArray", {{"x", 1}})}},
        {"non-ASCII keys, class names and top key", object("QNÜber", {{"ключ", "значение"}}), false,
         QStringLiteral("wurzel✓")},
        {"empty top key", qint64(1), false, QString()},
        {"top key reading a value", "root", false, QStringLiteral("root")},
        // Shared strings bring the count below the bound under two-byte references.
        {"repeated strings across a reference width", count(130, [](int) { return QStringLiteral("same"); })},
        {"more than 255 objects", count(300, [](int i) { return qint64(i); })},
        {"more than 65,535 objects", count(70000, [](int i) { return qint64(i) * 3; })},
        {"offsets past 65,535", QVariantList{QByteArray(70000, 'z'), "after"}},
        {"nesting at the depth cap", nested(256, inList)},
        {"objects at the depth cap", nested(256, [](const QVariant &v) { return object("QNBox", {{"v", v}}); })},
    };
    for (const Case &c : cases)
        expectSameAsReference(c);
}

TEST(KeyedArchiveWriter, RefusesWhatTheReferenceRefuses)
{
    const auto withNul = QString(QStringLiteral("a%1b")).arg(QChar(0));
    const Case cases[] = {
        {"bare reference", QVariant::fromValue(PlistUid{1}), true},
        {"invalid date", QVariantList{1, QDateTime()}, true},
        {"unsupported type", QVariantMap{{"a", QVariantList{QSize(1, 1)}}}, true},
        {"char", QVariant::fromValue(char('c')), true},
        {"object field named $class", object("QNX", {{"$class", qint64(1)}}), true},
        {"object without a class name", object("", {{"a", 1}}), true},
        {"string holding NUL", QVariantList{"fine", withNul}, true},
        {"key holding NUL", QVariantMap{{withNul, 1}}, true},
        {"field name holding NUL", object("QNX", {{withNul, 1}}), true},
        {"class name holding NUL", object(withNul, {}), true},
        {"top key holding NUL", qint64(1), true, withNul},
        // The first refusal wins, whichever pass would find the second.
        {"NUL before an unsupported value", QVariantList{withNul, QSize(1, 1)}, true},
        {"unsupported value after a deep one", QVariantList{nested(300, inList), QSize(1, 1)}, true},
        {"nesting past the depth cap", nested(257, inList), true},
        {"objects past the depth cap", nested(257, [](const QVariant &v) { return object("QNBox", {{"v", v}}); }),
         true},
        {"a map key past the depth cap", nested(256, inList, QVariantMap{{"k", 1}}), true},
        {"a string list's item past the depth cap", nested(256, inList, QStringList{"s"}), true},
        {"an empty map at the depth cap", nested(256, inList, QVariantMap{}), false},
    };
    for (const Case &c : cases)
        expectSameAsReference(c);
}

TEST(KeyedArchiveWriter, RandomTreesMatchTheReference)
{
    RandomTree trees(20261211);
    int refused = 0;
    for (int i = 0; i < 400; ++i) {
        const QVariant root = trees.value(0);
        const std::string name = "tree " + std::to_string(i);
        QString error;
        const bool accepted = !KeyedArchiveReference::encode(root, &error, QStringLiteral("root")).isEmpty();
        refused += accepted ? 0 : 1;
        expectSameAsReference({name.c_str(), root, !accepted});
    }
    // Both outcomes were drawn.
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, 200);
}
