#include "window/MessagesPDF.h"

#include "window/FRTableViewPrintable.h"

#include <QLocale>

QPageSize MessagesPDF::paperOfLocale()
{
    return QPageSize(QLocale().measurementSystem() == QLocale::ImperialUSSystem ? QPageSize::Letter : QPageSize::A4);
}

bool MessagesPDF::writePDF(const QList<std::shared_ptr<FRSMSInfo>> &rows, const QString &path, const QString &title,
                           const QString &footerLeft, QString *error)
{
    auto printable = FRTableViewPrintable::initWithObjects(rows);
    if (!printable) {
        if (error)
            *error = QStringLiteral("There is nothing to print.");
        return false;
    }
    printable->setNeverAlternatingBackground(true);
    printable->setFooterLeft(footerLeft);
    printable->setPageSize(paperOfLocale());
    return printable->savePDFToPath(path, title, false, false, nullptr, error);
}
