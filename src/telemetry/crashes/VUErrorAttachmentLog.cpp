#include "telemetry/crashes/VUErrorAttachmentLog.h"

#include "telemetry/crashes/VUCrashesCoding.h"

#include <QUuid>

using VUJson::str;

VUErrorAttachmentLog::VUErrorAttachmentLog()
    : attachmentId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
{
    setType(QStringLiteral("errorAttachment"));
}

VUErrorAttachmentLog::VUErrorAttachmentLog(const std::optional<QString> &filename, const std::optional<QByteArray> &data,
                                           const std::optional<QString> &contentType)
    : VUErrorAttachmentLog()
{
    this->data = data;
    this->contentType = contentType;
    this->filename = filename;
}

std::shared_ptr<VUErrorAttachmentLog> VUErrorAttachmentLog::attachmentWithText(const std::optional<QString> &text,
                                                                               const std::optional<QString> &filename)
{
    std::optional<QByteArray> bytes;
    if (text)
        bytes = text->toUtf8();
    return std::make_shared<VUErrorAttachmentLog>(filename, bytes, QStringLiteral("text/plain"));
}

std::shared_ptr<VUErrorAttachmentLog> VUErrorAttachmentLog::attachmentWithBinary(
    const std::optional<QByteArray> &data, const std::optional<QString> &filename,
    const std::optional<QString> &contentType)
{
    return std::make_shared<VUErrorAttachmentLog>(filename, data, contentType);
}

VUJsonObject VUErrorAttachmentLog::serializeToDictionary() const
{
    VUJsonObject json = VUAbstractLog::serializeToDictionary();
    if (attachmentId)
        json["id"] = str(*attachmentId);
    if (errorId)
        json["errorId"] = str(*errorId);
    if (contentType)
        json["contentType"] = str(*contentType);
    if (filename)
        json["fileName"] = str(*filename);
    if (data)
        json["data"] = data->toBase64().toStdString();
    return json;
}

bool VUErrorAttachmentLog::isValid() const
{
    return VUAbstractLog::isValid() && errorId && attachmentId && data && contentType;
}

bool VUErrorAttachmentLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUErrorAttachmentLog *>(other);
    return log && VUAbstractLog::isEqual(other) && attachmentId == log->attachmentId && errorId == log->errorId &&
           contentType == log->contentType && filename == log->filename && data == log->data;
}

void VUErrorAttachmentLog::encodeWithCoder(VUCoder &coder) const
{
    VUAbstractLog::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("id"), attachmentId);
    coder.encodeString(QStringLiteral("errorId"), errorId);
    coder.encodeString(QStringLiteral("contentType"), contentType);
    coder.encodeString(QStringLiteral("fileName"), filename);
    VUCrashesCoding::encodeBytes(coder, QStringLiteral("data"), data);
}

bool VUErrorAttachmentLog::initWithCoder(const VUCoder &coder)
{
    VUAbstractLog::initWithCoder(coder);
    attachmentId = coder.decodeString(QStringLiteral("id"));
    errorId = coder.decodeString(QStringLiteral("errorId"));
    contentType = coder.decodeString(QStringLiteral("contentType"));
    filename = coder.decodeString(QStringLiteral("fileName"));
    data = VUCrashesCoding::decodeBytes(coder, QStringLiteral("data"));
    return !coder.failed();
}
