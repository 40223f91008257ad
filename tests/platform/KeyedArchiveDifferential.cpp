#include "KeyedArchiveDifferential.h"

#include "platform/KeyedArchive.h"
#include "platform/KeyedArchiveDetail.h"
#include "platform/PropertyList.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>

#include <cstring>

namespace {

// Empty when the trees are the same by kind and value; doubles by their bits, so NaN
// matches NaN and -0.0 does not match 0.0.
QString treeDifference(const QVariant &a, const QVariant &b, const QString &where)
{
    if (a.typeId() != b.typeId() || a.isValid() != b.isValid())
        return QStringLiteral("%1: %2 against %3").arg(where, QString::fromLatin1(a.typeName()),
                                                       QString::fromLatin1(b.typeName()));
    const int type = a.typeId();
    if (type == QMetaType::QVariantMap) {
        const QVariantMap x = a.toMap(), y = b.toMap();
        if (x.keys() != y.keys())
            return where + QStringLiteral(": keys differ");
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            const QString d = treeDifference(it.value(), y.value(it.key()), where + "/" + it.key());
            if (!d.isEmpty())
                return d;
        }
        return {};
    }
    if (type == QMetaType::QVariantList) {
        const QVariantList x = a.toList(), y = b.toList();
        if (x.size() != y.size())
            return where + QStringLiteral(": lengths differ");
        for (qsizetype i = 0; i < x.size(); ++i) {
            const QString d = treeDifference(x[i], y[i], where + "/" + QString::number(i));
            if (!d.isEmpty())
                return d;
        }
        return {};
    }
    if (type == qMetaTypeId<KeyedObject>()) {
        const KeyedObject x = a.value<KeyedObject>(), y = b.value<KeyedObject>();
        if (x.className != y.className || x.classes != y.classes)
            return where + QStringLiteral(": classes differ");
        return treeDifference(x.fields, y.fields, where + "{" + x.className + "}");
    }
    bool same = true;
    if (type == QMetaType::Double) {
        const double x = a.toDouble(), y = b.toDouble();
        same = std::memcmp(&x, &y, sizeof x) == 0;
    } else if (type == QMetaType::QString) {
        same = a.toString() == b.toString() && a.toString().isNull() == b.toString().isNull();
    } else if (type == QMetaType::QDateTime) {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        same = x == y && x.timeSpec() == y.timeSpec() && x.isValid() == y.isValid();
    } else if (type == qMetaTypeId<PlistUid>()) {
        same = a.value<PlistUid>() == b.value<PlistUid>();
    } else if (a.isValid() && type != QMetaType::Nullptr) {
        same = a == b;
    }
    if (same)
        return {};
    return QStringLiteral("%1: %2 against %3").arg(where, a.toString(), b.toString());
}

} // namespace

QString keyedDecodeDifference(const QByteArray &archive, const QString &topKey)
{
    QString directError, treeError;
    const auto direct = KeyedArchive::decode(archive, &directError, topKey);
    const auto tree = KeyedArchiveDetail::decodeThroughTree(archive, &treeError, topKey);
    if (!direct || !tree) {
        if (direct.has_value() == tree.has_value() && directError == treeError)
            return {};
        return QStringLiteral("direct %1 (%2), tree %3 (%4)")
            .arg(direct ? "decoded" : "refused", directError, tree ? "decoded" : "refused", treeError);
    }
    return treeDifference(*direct, *tree, QStringLiteral("root"));
}

QString keyedDecodeDamageDifference(const QByteArray &archive)
{
    auto check = [](const QByteArray &copy, const QString &what) {
        const QString d = keyedDecodeDifference(copy);
        return d.isEmpty() ? d : what + QStringLiteral(": ") + d;
    };
    for (qsizetype at = 0; at < archive.size(); ++at) {
        const auto original = quint8(archive.at(at));
        for (const quint8 changed : {quint8(~original), quint8(original + 1), quint8(original - 1), quint8(0)}) {
            if (changed == original)
                continue;
            QByteArray copy = archive;
            copy[at] = char(changed);
            const QString d = check(copy, QStringLiteral("byte %1 set to %2").arg(at).arg(changed));
            if (!d.isEmpty())
                return d;
        }
    }
    for (qsizetype length = 0; length < archive.size(); ++length) {
        const QString d = check(archive.left(length), QStringLiteral("cut to %1 bytes").arg(length));
        if (!d.isEmpty())
            return d;
    }
    return {};
}
