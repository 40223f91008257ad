#include "VariantTree.h"
#include "platform/KeyedArchive.h"
#include "platform/PropertyList.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSize>

namespace {

QVariant uid(quint64 v) { return QVariant::fromValue(PlistUid{v}); }

QVariantMap classDict(const QString &name, QStringList chain = {})
{
    if (chain.isEmpty())
        chain = {name, "NSObject"};
    return {{"$classname", name}, {"$classes", chain}};
}

// An archive around the given objects, the root at index 1 unless told otherwise.
QByteArray archive(const QVariantList &objects, const QVariant &top = QVariantMap{{"root", uid(1)}})
{
    QVariantMap root{{"$archiver", "NSKeyedArchiver"}, {"$version", qint64(100000)}, {"$objects", objects}};
    if (top.isValid())
        root.insert("$top", top);
    return PropertyList::toData(root, PropertyList::Format::Binary);
}

} // namespace

TEST(KeyedArchive, RoundTripsEveryKind)
{
    const QDateTime when(QDate(2020, 2, 29), QTime(10, 11, 12, 500), Qt::UTC);
    const KeyedObject inner = KeyedArchive::makeObject("QNPart", {{"size", qint64(3)}}, {"QNBase"});
    const QVariantMap tree{
        {"string", QStringLiteral("text ✓")},
        {"empty string", QString("")},
        {"dollar null string", QStringLiteral("$null")},
        {"integer", qint64(1)},
        {"negative", qint64(-7)},
        {"real", 1.0},
        {"bool", true},
        {"false", false},
        {"data", QByteArray("\x00\x01", 2)},
        {"date", when},
        {"null object", QVariant::fromValue(nullptr)},
        {"nil", QVariant()},
        {"list", QVariantList{qint64(1), 1.0, true, QStringLiteral("1"), QVariant(), QVariantList{}}},
        {"map", QVariantMap{{"k", QVariantMap{{"deep", QVariantList{qint64(2)}}}}}},
        {"object", QVariant::fromValue(KeyedArchive::makeObject(
                       "QNThing", {{"part", QVariant::fromValue(inner)}, {"parts", QVariantList{QVariant::fromValue(inner)}}}))},
    };
    QString error;
    const QByteArray bytes = KeyedArchive::encode(tree, &error);
    ASSERT_FALSE(bytes.isEmpty()) << error.toStdString();
    const auto back = KeyedArchive::decode(bytes, &error);
    ASSERT_TRUE(back) << error.toStdString();
    expectSameTree(tree, *back, "root");
    EXPECT_FALSE(back->toMap().value("nil").isValid());
    EXPECT_EQ(back->toMap().value("null object").typeId(), QMetaType::Nullptr);

    // The top key is the caller's.
    const QByteArray other = KeyedArchive::encode(qint64(5), &error, "object");
    EXPECT_EQ(KeyedArchive::decode(other, &error, "object"), std::optional<QVariant>(qint64(5)));
    EXPECT_FALSE(KeyedArchive::decode(other, &error));
}

TEST(KeyedArchive, EncodesTheArchiverLayout)
{
    const QVariantList value{QVariantList{}, QVariantList{}, QVariantMap{}};
    const auto plist = PropertyList::fromData(KeyedArchive::encode(value));
    ASSERT_TRUE(plist);
    const QVariantMap root = plist->toMap();
    EXPECT_EQ(root.value("$archiver"), QVariant("NSKeyedArchiver"));
    EXPECT_EQ(root.value("$version"), QVariant(qint64(100000)));
    const QVariantList objects = root.value("$objects").toList();
    ASSERT_FALSE(objects.isEmpty());
    EXPECT_EQ(objects.first(), QVariant("$null"));
    EXPECT_EQ(root.value("$top").toMap().value("root").typeId(), qMetaTypeId<PlistUid>());
    // Three arrays share one class dictionary.
    int arrayClasses = 0, dictionaryClasses = 0;
    for (const QVariant &o : objects) {
        const QString name = o.toMap().value("$classname").toString();
        arrayClasses += name == "NSArray";
        dictionaryClasses += name == "NSDictionary";
    }
    EXPECT_EQ(arrayClasses, 1);
    EXPECT_EQ(dictionaryClasses, 1);
}

TEST(KeyedArchive, DecodesHandWrittenFixture)
{
    QFile file(fixturePath("platform/keyed-archive.xml"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString error;
    const auto value = KeyedArchive::decode(file.readAll(), &error);
    ASSERT_TRUE(value) << error.toStdString();
    ASSERT_EQ(value->typeId(), qMetaTypeId<KeyedObject>());
    const KeyedObject thing = value->value<KeyedObject>();
    EXPECT_EQ(thing.className, "QNThing");
    EXPECT_TRUE(thing.isKindOf("NSObject"));
    EXPECT_FALSE(thing.fields.contains("$class"));

    const QVariantList items{QStringLiteral("mutable text"), qint64(1), 1.0, true, QVariant()};
    const QVariantMap expected{
        {"name", QStringLiteral("Ann")},
        {"count", qint64(1)},
        {"ratio", 1.0},
        {"flag", true},
        {"items", items},
        {"again", items},
        {"info", QVariantMap{{"one", qint64(1)}, {"who", QStringLiteral("Ann")}}},
        {"when", QDateTime(QDate(2020, 1, 6), QTime(10, 40, 0, 500), Qt::UTC)},
        {"blob", QByteArray("\x00\x01\x02\xFF", 4)},
        {"none", QVariant::fromValue(nullptr)},
        {"missing", QVariant()},
    };
    expectSameTree(expected, thing.fields, "fixture");
    EXPECT_EQ(thing.value("none").typeId(), QMetaType::Nullptr);
    EXPECT_FALSE(thing.value("missing").isValid());
}

TEST(KeyedArchive, SharedObjectsDecodeOnce)
{
    // `levels` arrays, each referring to the next twice: 2^levels paths, `levels` objects.
    auto doubling = [](int levels) {
        QVariantList objects{"$null"};
        for (int i = 0; i < levels; ++i) {
            const quint64 next = quint64(i + 2);
            objects.append(QVariantMap{{"$class", uid(quint64(levels + 2))},
                                       {"NS.objects", QVariantList{uid(next), uid(next)}}});
        }
        objects.append(qint64(7));
        objects.append(classDict("NSArray"));
        return archive(objects);
    };
    QElapsedTimer timer;
    timer.start();
    QString error;
    // Ten levels: a thousand paths to the shared leaf, decoded once and shared.
    const auto value = KeyedArchive::decode(doubling(10), &error);
    ASSERT_TRUE(value) << error.toStdString();
    QVariant leaf = *value;
    for (int i = 0; i < 10; ++i)
        leaf = leaf.toList().value(1);
    EXPECT_EQ(leaf, QVariant(qint64(7)));
    // Forty levels would hand every caller that walks the result 2^40 values: refused, and
    // quickly.
    EXPECT_FALSE(KeyedArchive::decode(doubling(40), &error));
    EXPECT_TRUE(error.contains("expand")) << error.toStdString();
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST(KeyedArchive, RefusesMalformedArchives)
{
    const QVariant arrayClass = classDict("NSArray");
    const QVariant dictClass = classDict("NSDictionary");
    auto deepChain = [&](int depth) {
        QVariantList objects{"$null", arrayClass};
        for (int i = 0; i < depth; ++i)
            objects.append(QVariantMap{{"$class", uid(1)}, {"NS.objects", QVariantList{uid(quint64(i + 3))}}});
        objects.append(qint64(1));
        return archive(objects, QVariantMap{{"root", uid(2)}});
    };
    const QByteArray good = KeyedArchive::encode(QVariantMap{{"a", QVariantList{qint64(1), "x"}}});

    const struct {
        const char *name;
        QByteArray input;
    } cases[] = {
        {"not a property list", "hello"},
        {"truncated", good.left(good.size() / 2)},
        {"root is an array", PropertyList::toData(QVariantList{}, PropertyList::Format::Binary)},
        {"missing $top", archive({"$null", qint64(1)}, QVariant())},
        {"$top without root", archive({"$null", qint64(1)}, QVariantMap{{"other", uid(1)}})},
        {"$top root not a reference", archive({"$null", qint64(1)}, QVariantMap{{"root", qint64(1)}})},
        {"$objects missing", PropertyList::toData(QVariantMap{{"$top", QVariantMap{{"root", uid(1)}}}},
                                                  PropertyList::Format::Binary)},
        {"$archiver not a name",
         PropertyList::toData(QVariantMap{{"$archiver", qint64(1)}, {"$objects", QVariantList{"$null"}},
                                           {"$top", QVariantMap{{"root", uid(0)}}}},
                              PropertyList::Format::Binary)},
        {"root reference past the objects", archive({"$null", qint64(1)}, QVariantMap{{"root", uid(99)}})},
        {"element reference past the objects",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.objects", QVariantList{uid(50)}}}, arrayClass})},
        {"array containing itself",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.objects", QVariantList{uid(1)}}}, arrayClass})},
        {"two objects in a cycle",
         archive({"$null", QVariantMap{{"$class", uid(3)}, {"next", uid(2)}},
                  QVariantMap{{"$class", uid(3)}, {"next", uid(1)}}, classDict("QNNode")})},
        {"chain deeper than the cap", deepChain(1000)},
        {"object without $class", archive({"$null", QVariantMap{{"a", qint64(1)}}})},
        {"class reference past the objects", archive({"$null", QVariantMap{{"$class", uid(9)}}})},
        {"class is a string", archive({"$null", QVariantMap{{"$class", uid(2)}}, "NSArray"})},
        {"class without a name", archive({"$null", QVariantMap{{"$class", uid(2)}}, QVariantMap{{"x", qint64(1)}}})},
        {"$classes not an array",
         archive({"$null", QVariantMap{{"$class", uid(2)}}, QVariantMap{{"$classname", "QNX"}, {"$classes", "QNX"}}})},
        {"NS.objects not an array", archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.objects", qint64(3)}}, arrayClass})},
        {"NS.objects with a plain value",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.objects", QVariantList{qint64(3)}}}, arrayClass})},
        {"dictionary keys and values differ in number",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.keys", QVariantList{uid(3)}}, {"NS.objects", QVariantList{}}},
                  dictClass, "k"})},
        {"dictionary key not a string",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.keys", QVariantList{uid(3)}}, {"NS.objects", QVariantList{uid(3)}}},
                  dictClass, qint64(4)})},
        {"date without a number",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.time", "yesterday"}}, classDict("NSDate")})},
        {"date out of range",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.time", 1e300}}, classDict("NSDate")})},
        {"string without NS.string", archive({"$null", QVariantMap{{"$class", uid(2)}}, classDict("NSString")})},
        {"data holding a number",
         archive({"$null", QVariantMap{{"$class", uid(2)}, {"NS.data", qint64(1)}}, classDict("NSData")})},
        {"bare reference as an object", archive({"$null", uid(0)})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_FALSE(KeyedArchive::decode(c.input, &error));
        EXPECT_FALSE(error.isEmpty());
    }
    // The chain is refused for its depth alone: a short one of the same shape decodes.
    EXPECT_TRUE(KeyedArchive::decode(deepChain(10)));
}

TEST(KeyedArchive, RefusesValuesItCannotArchive)
{
    KeyedObject withClassField = KeyedArchive::makeObject("QNX", {{"$class", qint64(1)}});
    const struct {
        const char *name;
        QVariant value;
    } cases[] = {
        {"bare reference", uid(1)},
        {"invalid date", QDateTime()},
        {"size", QSize(1, 2)},
        {"object field named $class", QVariant::fromValue(withClassField)},
        {"nested unsupported", QVariantMap{{"a", QVariantList{QSize(1, 1)}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_TRUE(KeyedArchive::encode(c.value, &error).isEmpty());
        EXPECT_FALSE(error.isEmpty());
    }
}
