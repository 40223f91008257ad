#include "telemetry/crashes/VUStackFrame.h"

using VUJson::str;

VUJsonObject VUStackFrame::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (address)
        json["address"] = str(*address);
    if (code)
        json["code"] = str(*code);
    if (frameClassName)
        json["className"] = str(*frameClassName);
    if (methodName)
        json["methodName"] = str(*methodName);
    if (lineNumber)
        json["lineNumber"] = *lineNumber;
    if (fileName)
        json["fileName"] = str(*fileName);
    return json;
}

bool VUStackFrame::isEqual(const VUModel *other) const
{
    const auto *frame = dynamic_cast<const VUStackFrame *>(other);
    return frame && address == frame->address && code == frame->code && frameClassName == frame->frameClassName &&
           methodName == frame->methodName && lineNumber == frame->lineNumber && fileName == frame->fileName;
}

void VUStackFrame::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeString(QStringLiteral("address"), address);
    coder.encodeString(QStringLiteral("code"), code);
    coder.encodeString(QStringLiteral("className"), frameClassName);
    coder.encodeString(QStringLiteral("methodName"), methodName);
    coder.encodeNumber(QStringLiteral("lineNumber"), lineNumber);
    coder.encodeString(QStringLiteral("fileName"), fileName);
}

bool VUStackFrame::initWithCoder(const VUCoder &coder)
{
    address = coder.decodeString(QStringLiteral("address"));
    code = coder.decodeString(QStringLiteral("code"));
    frameClassName = coder.decodeString(QStringLiteral("className"));
    methodName = coder.decodeString(QStringLiteral("methodName"));
    lineNumber = coder.decodeNumber(QStringLiteral("lineNumber"));
    fileName = coder.decodeString(QStringLiteral("fileName"));
    return !coder.failed();
}
