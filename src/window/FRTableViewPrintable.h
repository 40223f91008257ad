#pragma once
// A printable copy of a list: the rows of a table (here: the message rows the messages
// list prints) laid out on pages, with the page title, page number and footers. Rows are
// kept whole on a page; a row taller than a whole page is cut across pages (never an
// endless run of empty pages). PDF documents are written with QPdfWriter in points.
//
// FRViewPrintable is the page decoration every printable shares; FRTableViewPrintable the
// table of rows. Ownership: holds its rows (shared records). Threads: one printable is used
// by one thread at a time (the PDF export runs on a worker); it draws images and text only.

#include "messages/FRSMSInfo.h"

#include <QMarginsF>
#include <QPageSize>
#include <QString>

#include <functional>

class QPainter;
class SMSDataController;

class FRViewPrintable
{
public:
    virtual ~FRViewPrintable() = default;

    // What a page looks like for a paper size: margins min(height / 11, 72) top and bottom,
    // min(width / 8.5, 72) left and right; title bold of min(trunc(width / 75), 10) points;
    // page number and footers of min(trunc(width / 68), 9) points.
    struct PageGeometry
    {
        QSizeF paper;
        QMarginsF margins;
        double titleSize = 0;
        double numberSize = 0;
    };
    static PageGeometry pageGeometry(const QPageSize &paper);

    void setTitle(const QString &title) { mTitle = title; }
    QString title() const { return mTitle; }
    void setFooterLeft(const QString &footer) { mFooterLeft = footer; }
    void setNeverAlternatingBackground(bool never) { mNeverAlternatingBackground = never; }
    void setPageSize(const QPageSize &paper) { mPaper = paper; }
    // "NSPrintHeaderAndFooter": title, number and footers are drawn only while it is on.
    static bool headerAndFooter();

    // Title, "- n -", the left footer and the date on the page of `geometry`.
    void drawPageBorder(QPainter *painter, const PageGeometry &geometry, int page) const;

    // Stores the path and title; writes the PDF now unless `justQueue` (then saveThePDF
    // later). False with *error when the file could not be written.
    bool savePDFToPath(const QString &path, const QString &title, bool revealIt, bool justQueue,
                       SMSDataController *controller, QString *error = nullptr);
    // Writes the stored path; nothing without one.
    virtual bool saveThePDF(QString *error = nullptr) = 0;
    bool hasThumbsInIt() const;

protected:
    QString mTitle, mFooterLeft, mSavePath;
    bool mNeverAlternatingBackground = false;
    QPageSize mPaper = QPageSize(QPageSize::Letter);
    SMSDataController *mSmsData = nullptr;
    QList<FRSMSInfoPtr> mObjects;
};

class FRTableViewPrintable : public FRViewPrintable
{
public:
    // Over given rows; null for none.
    static std::unique_ptr<FRTableViewPrintable> initWithObjects(const QList<FRSMSInfoPtr> &objects);

    bool saveThePDF(QString *error = nullptr) override;

    // Where each row starts: page and offset inside the page's content (tests read it).
    struct Placement
    {
        int page = 0;
        double top = 0;
        double height = 0;
        double cutAt = 0; // > 0: the row continues on the next page from this offset
    };
    static QList<Placement> paginate(const QList<double> &heights, double pageHeight);

private:
    explicit FRTableViewPrintable(const QList<FRSMSInfoPtr> &objects) { mObjects = objects; }
};
