#include "telemetry/core/VUModel.h"

#include "telemetry/core/VUAbstractLog.h"
#include "telemetry/core/VUCSData.h"
#include "telemetry/core/VUCSExtensionRecords.h"
#include "telemetry/core/VUCSExtensions.h"
#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VUCustomPropertiesLog.h"
#include "telemetry/core/VUDevice.h"
#include "telemetry/core/VUHistoryInfo.h"
#include "telemetry/core/VULogWithProperties.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VUTypedProperty.h"
#include "telemetry/core/VUWrapperSdk.h"

#include <QHash>

#include <mutex>

namespace {

bool isNumber(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

struct Registry
{
    std::mutex lock;
    QHash<QString, VUKeyedCoding::Factory> factories;
};

template <class T>
void add(Registry &registry)
{
    registry.factories.insert(T().className(), [] { return std::make_shared<T>(); });
}

Registry &registry()
{
    static Registry instance;
    static std::once_flag once;
    std::call_once(once, [] {
        add<VUWrapperSdk>(instance);
        add<VUDevice>(instance);
        add<VUHistoryInfo>(instance);
        add<VUSessionHistoryInfo>(instance);
        add<VUDeviceHistoryInfo>(instance);
        add<VUUserIdHistoryInfo>(instance);
        add<VUStringTypedProperty>(instance);
        add<VULongTypedProperty>(instance);
        add<VUDoubleTypedProperty>(instance);
        add<VUDateTimeTypedProperty>(instance);
        add<VUBooleanTypedProperty>(instance);
        add<VULogWithProperties>(instance);
        add<VUStartServiceLog>(instance);
        add<VUCustomPropertiesLog>(instance);
        add<VUCommonSchemaLog>(instance);
        add<VUCSExtensions>(instance);
        add<VUCSData>(instance);
        add<VUSDKExtension>(instance);
        add<VUDeviceExtension>(instance);
        add<VUUserExtension>(instance);
        add<VUOSExtension>(instance);
        add<VUNetExtension>(instance);
        add<VUAppExtension>(instance);
        add<VUProtocolExtension>(instance);
        add<VULocExtension>(instance);
        add<VUMetadataExtension>(instance);
    });
    return instance;
}

} // namespace

bool VUCoder::contains(const QString &key) const
{
    return field(key).isValid();
}

// The stored value itself, with no copy: decoding a stored log reads every field once.
const QVariant &VUCoder::field(const QString &key) const
{
    static const QVariant absent;
    const auto it = mFields.constFind(key);
    return it == mFields.cend() ? absent : *it;
}

void VUCoder::encodeString(const QString &key, const std::optional<QString> &value)
{
    if (value)
        mFields.insert(key, value->isNull() ? QString(QLatin1String("")) : *value);
}

void VUCoder::encodeDate(const QString &key, const std::optional<QDateTime> &value)
{
    if (value)
        mFields.insert(key, value->toUTC());
}

void VUCoder::encodeInt64(const QString &key, qint64 value)
{
    mFields.insert(key, value);
}

void VUCoder::encodeDouble(const QString &key, double value)
{
    mFields.insert(key, value);
}

void VUCoder::encodeBool(const QString &key, bool value)
{
    mFields.insert(key, value);
}

void VUCoder::encodeNumber(const QString &key, const std::optional<qint64> &value)
{
    if (value)
        mFields.insert(key, *value);
}

void VUCoder::encodeObject(const QString &key, const VUModel *object)
{
    if (object)
        mFields.insert(key, VUKeyedCoding::toVariant(*object));
}

void VUCoder::encodeValue(const QString &key, const QVariant &value)
{
    if (value.isValid())
        mFields.insert(key, value);
}

QVariant VUCoder::decodeValue(const QString &key) const
{
    return field(key);
}

std::optional<QString> VUCoder::decodeString(const QString &key) const
{
    const QVariant &value = field(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.metaType().id() != QMetaType::QString) {
        mFailed = true;
        return std::nullopt;
    }
    const auto &text = *static_cast<const QString *>(value.constData());
    return text.isNull() ? QString(QLatin1String("")) : text;
}

std::optional<QDateTime> VUCoder::decodeDate(const QString &key) const
{
    const QVariant &value = field(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.metaType().id() != QMetaType::QDateTime) {
        mFailed = true;
        return std::nullopt;
    }
    const auto &date = *static_cast<const QDateTime *>(value.constData());
    if (!date.isValid()) {
        mFailed = true;
        return std::nullopt;
    }
    return date.toUTC();
}

QVariant VUCoder::numericField(const QString &key) const
{
    const QVariant &value = field(key);
    if (value.isValid() && !isNumber(value)) {
        mFailed = true;
        return {};
    }
    return value;
}

// An absent or wrongly typed field reads as 0, 0.0 or NO (the latter also fails the decode).
qint64 VUCoder::decodeInt64(const QString &key) const { return numericField(key).toLongLong(); }
double VUCoder::decodeDouble(const QString &key) const { return numericField(key).toDouble(); }
bool VUCoder::decodeBool(const QString &key) const { return numericField(key).toBool(); }

std::optional<qint64> VUCoder::decodeNumber(const QString &key) const
{
    if (!contains(key))
        return std::nullopt;
    const qint64 value = decodeInt64(key);
    if (mFailed)
        return std::nullopt;
    return value;
}

std::shared_ptr<VUModel> VUCoder::decodeObject(const QString &key) const
{
    const QVariant &value = field(key);
    if (!value.isValid())
        return nullptr;
    auto object = VUKeyedCoding::fromVariant(value);
    if (!object)
        mFailed = true;
    return object;
}

void VUKeyedCoding::registerClass(const QString &className, Factory factory)
{
    Registry &r = registry();
    std::lock_guard guard(r.lock);
    r.factories.insert(className, std::move(factory));
}

QVariant VUKeyedCoding::toVariant(const VUModel &model)
{
    VUCoder coder;
    model.encodeWithCoder(coder);
    KeyedObject object;
    object.className = model.className();
    // Built in place: archiving a log makes this chain for the log and each object it holds.
    object.classes = model.superclasses();
    object.classes.prepend(object.className);
    object.fields = coder.fields();
    return QVariant::fromValue(object);
}

std::shared_ptr<VUModel> VUKeyedCoding::fromVariant(const QVariant &value)
{
    if (value.metaType() != QMetaType::fromType<KeyedObject>())
        return nullptr;
    const auto &object = *static_cast<const KeyedObject *>(value.constData());
    Factory factory;
    {
        Registry &r = registry();
        std::lock_guard guard(r.lock);
        factory = r.factories.value(object.className);
    }
    if (!factory)
        return nullptr;
    auto model = factory();
    const VUCoder coder(object.fields);
    if (!model->initWithCoder(coder) || coder.failed())
        return nullptr;
    return model;
}

QByteArray VUKeyedCoding::archive(const VUModel &model)
{
    return KeyedArchive::encode(toVariant(model));
}

QByteArray VUKeyedCoding::archiveList(const QList<std::shared_ptr<VUModel>> &models)
{
    QVariantList list;
    for (const auto &model : models)
        if (model)
            list.append(toVariant(*model));
    return KeyedArchive::encode(list);
}

std::shared_ptr<VUModel> VUKeyedCoding::unarchive(const QByteArray &data, QString *error)
{
    const auto root = KeyedArchive::decode(data, error);
    if (!root)
        return nullptr;
    auto model = fromVariant(*root);
    if (!model && error)
        *error = QStringLiteral("The archive holds no known telemetry object.");
    return model;
}

std::optional<QList<std::shared_ptr<VUModel>>> VUKeyedCoding::unarchiveList(const QByteArray &data, QString *error)
{
    const auto root = KeyedArchive::decode(data, error);
    if (!root)
        return std::nullopt;
    if (root->metaType().id() != QMetaType::QVariantList) {
        if (error)
            *error = QStringLiteral("The archive holds no array.");
        return std::nullopt;
    }
    QList<std::shared_ptr<VUModel>> models;
    for (const QVariant &item : root->toList()) {
        auto model = fromVariant(item);
        if (!model) {
            if (error)
                *error = QStringLiteral("The archive holds an unknown or damaged object.");
            return std::nullopt;
        }
        models.append(model);
    }
    return models;
}
