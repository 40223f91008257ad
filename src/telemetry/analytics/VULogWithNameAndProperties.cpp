#include "telemetry/analytics/VULogWithNameAndProperties.h"

VUJsonObject VULogWithNameAndProperties::serializeToDictionary() const
{
    VUJsonObject json = VULogWithProperties::serializeToDictionary();
    if (name)
        json["name"] = VUJson::str(*name);
    return json;
}

bool VULogWithNameAndProperties::isValid() const
{
    return VULogWithProperties::isValid() && name.has_value();
}

bool VULogWithNameAndProperties::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VULogWithNameAndProperties *>(other);
    return log && VULogWithProperties::isEqual(other) && name == log->name;
}

void VULogWithNameAndProperties::encodeWithCoder(VUCoder &coder) const
{
    VULogWithProperties::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("name"), name);
}

bool VULogWithNameAndProperties::initWithCoder(const VUCoder &coder)
{
    VULogWithProperties::initWithCoder(coder);
    name = coder.decodeString(QStringLiteral("name"));
    return !coder.failed();
}
