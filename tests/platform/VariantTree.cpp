#include "VariantTree.h"

#include "platform/KeyedArchive.h"
#include "platform/PropertyList.h"

#include <QVariantList>
#include <QVariantMap>

#include <gtest/gtest.h>

void expectSameTree(const QVariant &expected, const QVariant &actual, const QString &where)
{
    SCOPED_TRACE(where.toStdString());
    ASSERT_EQ(expected.typeId(), actual.typeId())
        << expected.typeName() << " came back as " << actual.typeName();
    if (expected.typeId() == QMetaType::QVariantMap) {
        const QVariantMap e = expected.toMap(), a = actual.toMap();
        ASSERT_EQ(e.keys(), a.keys());
        for (auto it = e.cbegin(); it != e.cend(); ++it)
            expectSameTree(it.value(), a.value(it.key()), where + "/" + it.key());
    } else if (expected.typeId() == QMetaType::QVariantList) {
        const QVariantList e = expected.toList(), a = actual.toList();
        ASSERT_EQ(e.size(), a.size());
        for (qsizetype i = 0; i < e.size(); ++i)
            expectSameTree(e[i], a[i], where + "/" + QString::number(i));
    } else if (expected.typeId() == qMetaTypeId<PlistUid>()) {
        EXPECT_EQ(expected.value<PlistUid>().value, actual.value<PlistUid>().value);
    } else if (expected.typeId() == qMetaTypeId<KeyedObject>()) {
        const KeyedObject e = expected.value<KeyedObject>(), a = actual.value<KeyedObject>();
        EXPECT_EQ(e.className, a.className);
        EXPECT_EQ(e.classes, a.classes);
        expectSameTree(e.fields, a.fields, where + "{" + e.className + "}");
    } else if (expected.isValid() && expected.typeId() != QMetaType::Nullptr) {
        EXPECT_EQ(expected, actual);
    }
}
