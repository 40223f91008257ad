#include "telemetry/crashes/VUException.h"

#include "telemetry/crashes/VUCrashesCoding.h"

using VUJson::str;

VUJsonObject VUException::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (type)
        json["type"] = str(*type);
    if (message)
        json["message"] = str(*message);
    if (stackTrace)
        json["stackTrace"] = str(*stackTrace);
    if (wrapperSdkName)
        json["wrapperSdkName"] = str(*wrapperSdkName);
    if (frames)
        json["frames"] = VUCrashesCoding::jsonList(*frames);
    if (innerExceptions)
        json["innerExceptions"] = VUCrashesCoding::jsonList(*innerExceptions);
    return json;
}

bool VUException::isValid() const
{
    return type && frames && !frames->isEmpty();
}

bool VUException::isEqual(const VUModel *other) const
{
    const auto *exception = dynamic_cast<const VUException *>(other);
    return exception && type == exception->type && wrapperSdkName == exception->wrapperSdkName &&
           message == exception->message && VUCrashesCoding::equalLists(frames, exception->frames) &&
           VUCrashesCoding::equalLists(innerExceptions, exception->innerExceptions) &&
           stackTrace == exception->stackTrace;
}

void VUException::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeString(QStringLiteral("type"), type);
    coder.encodeString(QStringLiteral("message"), message);
    coder.encodeString(QStringLiteral("stackTrace"), stackTrace);
    VUCrashesCoding::encodeList(coder, QStringLiteral("frames"), frames);
    VUCrashesCoding::encodeList(coder, QStringLiteral("innerExceptions"), innerExceptions);
    coder.encodeString(QStringLiteral("wrapperSdkName"), wrapperSdkName);
}

bool VUException::initWithCoder(const VUCoder &coder)
{
    type = coder.decodeString(QStringLiteral("type"));
    message = coder.decodeString(QStringLiteral("message"));
    stackTrace = coder.decodeString(QStringLiteral("stackTrace"));
    frames = VUCrashesCoding::decodeList<VUStackFrame>(coder, QStringLiteral("frames"));
    innerExceptions = VUCrashesCoding::decodeList<VUException>(coder, QStringLiteral("innerExceptions"));
    wrapperSdkName = coder.decodeString(QStringLiteral("wrapperSdkName"));
    return !coder.failed();
}
