#include "telemetry/core/VUStartServiceLog.h"

VUJsonObject VUStartServiceLog::serializeToDictionary() const
{
    VUJsonObject json = VUAbstractLog::serializeToDictionary();
    if (services) {
        VUJsonObject array = VUJsonObject::array();
        for (const QString &service : *services)
            array.push_back(VUJson::str(service));
        json["services"] = std::move(array);
    }
    return json;
}

bool VUStartServiceLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUStartServiceLog *>(other);
    return log && VUAbstractLog::isEqual(other) && services == log->services;
}

void VUStartServiceLog::encodeWithCoder(VUCoder &coder) const
{
    VUAbstractLog::encodeWithCoder(coder);
    if (services)
        coder.encodeValue(QStringLiteral("services"), QVariant(*services).toList());
}

bool VUStartServiceLog::initWithCoder(const VUCoder &coder)
{
    VUAbstractLog::initWithCoder(coder);
    services.reset();
    const QVariant value = coder.decodeValue(QStringLiteral("services"));
    if (value.isValid()) {
        if (value.metaType().id() != QMetaType::QVariantList)
            coder.fail();
        else
            services = value.toStringList();
    }
    return !coder.failed();
}
