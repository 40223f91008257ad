#pragma once
// One file attached to a crash ("errorAttachment"), supplied by the crash delegate; the
// crash service sets its error id to the crash's incident identifier before sending. Each
// attachment gets its own random id. Valid when the log base is and the error id, own id,
// data and content type are present (empty values count as present); the file name is
// optional and travels as "fileName".

#include "telemetry/core/VUAbstractLog.h"

class VUErrorAttachmentLog : public VUAbstractLog
{
public:
    VUErrorAttachmentLog();
    // The data, content type and file name as given (each may be absent).
    VUErrorAttachmentLog(const std::optional<QString> &filename, const std::optional<QByteArray> &data,
                         const std::optional<QString> &contentType);
    // A text attachment: its UTF-8 bytes as "text/plain"; no text gives no data.
    static std::shared_ptr<VUErrorAttachmentLog> attachmentWithText(const std::optional<QString> &text,
                                                                    const std::optional<QString> &filename);
    static std::shared_ptr<VUErrorAttachmentLog> attachmentWithBinary(const std::optional<QByteArray> &data,
                                                                      const std::optional<QString> &filename,
                                                                      const std::optional<QString> &contentType);

    QString className() const override { return QStringLiteral("VUErrorAttachmentLog"); }
    QStringList superclasses() const override { return logSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> attachmentId; // "id"
    std::optional<QString> errorId;
    std::optional<QString> contentType;
    std::optional<QString> filename; // "fileName"
    std::optional<QByteArray> data;
};
