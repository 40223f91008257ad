#include "telemetry/crashes/VUHandledErrorLog.h"

QStringList VUHandledErrorLog::superclasses() const
{
    return QStringList{QStringLiteral("VULogWithProperties")} + logSuperclasses();
}

VUJsonObject VUHandledErrorLog::serializeToDictionary() const
{
    VUJsonObject json = VULogWithProperties::serializeToDictionary();
    if (errorId)
        json["id"] = VUJson::str(*errorId);
    if (exception)
        json["exception"] = exception->serializeToDictionary();
    return json;
}

bool VUHandledErrorLog::isValid() const
{
    return VULogWithProperties::isValid() && errorId && exception;
}

bool VUHandledErrorLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUHandledErrorLog *>(other);
    return log && VULogWithProperties::isEqual(other) && errorId == log->errorId &&
           vuEqualObjects(exception, log->exception);
}

void VUHandledErrorLog::encodeWithCoder(VUCoder &coder) const
{
    VULogWithProperties::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("id"), errorId);
    coder.encodeObject(QStringLiteral("exception"), exception.get());
}

bool VUHandledErrorLog::initWithCoder(const VUCoder &coder)
{
    VULogWithProperties::initWithCoder(coder);
    errorId = coder.decodeString(QStringLiteral("id"));
    exception = coder.decodeObject<VUException>(QStringLiteral("exception"));
    return !coder.failed();
}
