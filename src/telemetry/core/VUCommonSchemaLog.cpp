#include "telemetry/core/VUCommonSchemaLog.h"

#include "telemetry/core/VUUtility.h"

using VUJson::str;

VUJsonObject VUCommonSchemaLog::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (ver)
        json["ver"] = str(*ver);
    if (name)
        json["name"] = str(*name);
    if (timestamp)
        json["time"] = str(VUUtility::dateToISO8601(*timestamp));
    if (iKey)
        json["iKey"] = str(*iKey);
    if (flags != 0)
        json["flags"] = static_cast<std::int64_t>(flags);
    if (ext) {
        VUJsonObject value = ext->serializeToDictionary();
        if (!value.is_null())
            json["ext"] = std::move(value);
    }
    if (data) {
        VUJsonObject value = data->serializeToDictionary();
        if (!value.is_null())
            json["data"] = std::move(value);
    }
    return json;
}

bool VUCommonSchemaLog::isValid() const
{
    return timestamp && VUUtility::isWritableDate(*timestamp) && ver && name;
}

bool VUCommonSchemaLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUCommonSchemaLog *>(other);
    return log && VUAbstractLog::isEqual(other) && ver == log->ver && name == log->name && iKey == log->iKey &&
           cV == log->cV && popSample == log->popSample && flags == log->flags && vuEqualObjects(ext, log->ext) &&
           vuEqualObjects(data, log->data);
}

void VUCommonSchemaLog::encodeWithCoder(VUCoder &coder) const
{
    VUAbstractLog::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("ver"), ver);
    coder.encodeString(QStringLiteral("name"), name);
    coder.encodeDouble(QStringLiteral("popSample"), popSample);
    coder.encodeString(QStringLiteral("iKey"), iKey);
    coder.encodeInt64(QStringLiteral("flags"), flags);
    coder.encodeString(QStringLiteral("cV"), cV);
    coder.encodeObject(QStringLiteral("ext"), ext.get());
    coder.encodeObject(QStringLiteral("data"), data.get());
}

bool VUCommonSchemaLog::initWithCoder(const VUCoder &coder)
{
    VUAbstractLog::initWithCoder(coder);
    ver = coder.decodeString(QStringLiteral("ver"));
    name = coder.decodeString(QStringLiteral("name"));
    popSample = coder.decodeDouble(QStringLiteral("popSample"));
    iKey = coder.decodeString(QStringLiteral("iKey"));
    flags = coder.decodeInt64(QStringLiteral("flags"));
    cV = coder.decodeString(QStringLiteral("cV"));
    ext = coder.decodeObject<VUCSExtensions>(QStringLiteral("ext"));
    data = coder.decodeObject<VUCSData>(QStringLiteral("data"));
    return !coder.failed();
}
