#include "telemetry/crashes/VUCrashesCoding.h"

#include "telemetry/crashes/VUAppleErrorLog.h"
#include "telemetry/crashes/VUErrorAttachmentLog.h"
#include "telemetry/crashes/VUHandledErrorLog.h"

#include <mutex>

void VUCrashesCoding::encodeUnsigned(VUCoder &coder, const QString &key, const std::optional<quint64> &value)
{
    if (value)
        coder.encodeValue(key, QVariant::fromValue<quint64>(*value));
}

std::optional<quint64> VUCrashesCoding::decodeUnsigned(const VUCoder &coder, const QString &key)
{
    const QVariant value = coder.decodeValue(key);
    if (!value.isValid())
        return std::nullopt;
    switch (value.metaType().id()) {
    case QMetaType::ULongLong:
    case QMetaType::UInt:
    case QMetaType::ULong:
        return value.toULongLong();
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Long:
        // Archives keep integers signed; the bits are the number's.
        return static_cast<quint64>(value.toLongLong());
    default:
        coder.fail();
        return std::nullopt;
    }
}

void VUCrashesCoding::encodeBytes(VUCoder &coder, const QString &key, const std::optional<QByteArray> &value)
{
    if (value)
        coder.encodeValue(key, value->isNull() ? QByteArray("") : *value);
}

std::optional<QByteArray> VUCrashesCoding::decodeBytes(const VUCoder &coder, const QString &key)
{
    const QVariant value = coder.decodeValue(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.metaType().id() != QMetaType::QByteArray) {
        coder.fail();
        return std::nullopt;
    }
    return value.toByteArray();
}

namespace {

template <class T>
void add()
{
    VUKeyedCoding::registerClass(T().className(), [] { return std::make_shared<T>(); });
}

} // namespace

void VUCrashesCoding::registerClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        add<VUStackFrame>();
        add<VUException>();
        add<VUThread>();
        add<VUBinary>();
        add<VUAppleErrorLog>();
        add<VUHandledErrorLog>();
        add<VUErrorAttachmentLog>();
    });
}
