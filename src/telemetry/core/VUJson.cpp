#include "telemetry/core/VUJson.h"

#include "telemetry/core/VUUtility.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>

VUJsonObject VUJson::fromVariant(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return nullptr;
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
        return value.toULongLong();
    case QMetaType::Float:
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QDateTime:
        return str(VUUtility::dateToISO8601(value.toDateTime()));
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        VUJsonObject array = VUJsonObject::array();
        for (const QVariant &item : value.toList())
            array.push_back(fromVariant(item));
        return array;
    }
    case QMetaType::QVariantMap: {
        VUJsonObject object = VUJsonObject::object();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            object[str(it.key())] = fromVariant(it.value());
        return object;
    }
    default:
        return str(value.toString());
    }
}

std::optional<QString> VUJson::dump(const VUJsonObject &object, bool prettyPrint)
{
    try {
        return QString::fromStdString(object.dump(prettyPrint ? 2 : -1));
    } catch (const nlohmann::json::exception &) {
        return std::nullopt;
    }
}
