#pragma once
// The PDF writer the messages export asks for: the printable table over the rows, on the
// paper of the user's locale (US Letter where the locale measures in inches, else A4).
// Installed at start-up. Any thread.

#include "interfaces/MessagePDFWriter.h"

#include <QPageSize>

class MessagesPDF final : public MessagePDFWriter
{
public:
    bool writePDF(const QList<std::shared_ptr<FRSMSInfo>> &rows, const QString &path, const QString &title,
                  const QString &footerLeft, QString *error) override;
    static QPageSize paperOfLocale();
};
