#include "telemetry/crashes/VUAbstractErrorLog.h"

#include "telemetry/core/VUUtility.h"
#include "telemetry/crashes/VUCrashesCoding.h"

using VUJson::str;

QStringList VUAbstractErrorLog::superclasses() const
{
    return QStringList{QStringLiteral("VULogWithProperties")} + logSuperclasses();
}

VUJsonObject VUAbstractErrorLog::serializeToDictionary() const
{
    VUJsonObject json = VULogWithProperties::serializeToDictionary();
    if (errorId)
        json["id"] = str(*errorId);
    if (processId)
        json["processId"] = *processId;
    if (processName)
        json["processName"] = str(*processName);
    if (parentProcessId)
        json["parentProcessId"] = *parentProcessId;
    if (parentProcessName)
        json["parentProcessName"] = str(*parentProcessName);
    if (errorThreadId)
        json["errorThreadId"] = *errorThreadId;
    if (errorThreadName)
        json["errorThreadName"] = str(*errorThreadName);
    json["fatal"] = fatal;
    if (appLaunchTimestamp)
        json["appLaunchTimestamp"] = str(VUUtility::dateToISO8601(*appLaunchTimestamp));
    if (architecture)
        json["architecture"] = str(*architecture);
    return json;
}

bool VUAbstractErrorLog::isValid() const
{
    return VULogWithProperties::isValid() && errorId && processId && processName;
}

bool VUAbstractErrorLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUAbstractErrorLog *>(other);
    return log && VULogWithProperties::isEqual(other) && errorId == log->errorId && processId == log->processId &&
           processName == log->processName && parentProcessId == log->parentProcessId &&
           parentProcessName == log->parentProcessName && errorThreadId == log->errorThreadId &&
           errorThreadName == log->errorThreadName && fatal == log->fatal &&
           appLaunchTimestamp == log->appLaunchTimestamp && architecture == log->architecture;
}

void VUAbstractErrorLog::encodeWithCoder(VUCoder &coder) const
{
    VULogWithProperties::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("id"), errorId);
    VUCrashesCoding::encodeUnsigned(coder, QStringLiteral("processId"), processId);
    coder.encodeString(QStringLiteral("processName"), processName);
    VUCrashesCoding::encodeUnsigned(coder, QStringLiteral("parentProcessId"), parentProcessId);
    coder.encodeString(QStringLiteral("parentProcessName"), parentProcessName);
    coder.encodeNumber(QStringLiteral("errorThreadId"), errorThreadId);
    coder.encodeString(QStringLiteral("errorThreadName"), errorThreadName);
    coder.encodeBool(QStringLiteral("fatal"), fatal);
    coder.encodeDate(QStringLiteral("appLaunchTimestamp"), appLaunchTimestamp);
    coder.encodeString(QStringLiteral("architecture"), architecture);
}

bool VUAbstractErrorLog::initWithCoder(const VUCoder &coder)
{
    VULogWithProperties::initWithCoder(coder);
    errorId = coder.decodeString(QStringLiteral("id"));
    processId = VUCrashesCoding::decodeUnsigned(coder, QStringLiteral("processId"));
    processName = coder.decodeString(QStringLiteral("processName"));
    parentProcessId = VUCrashesCoding::decodeUnsigned(coder, QStringLiteral("parentProcessId"));
    parentProcessName = coder.decodeString(QStringLiteral("parentProcessName"));
    errorThreadId = coder.decodeNumber(QStringLiteral("errorThreadId"));
    errorThreadName = coder.decodeString(QStringLiteral("errorThreadName"));
    fatal = coder.decodeBool(QStringLiteral("fatal"));
    appLaunchTimestamp = coder.decodeDate(QStringLiteral("appLaunchTimestamp"));
    architecture = coder.decodeString(QStringLiteral("architecture"));
    return !coder.failed();
}
