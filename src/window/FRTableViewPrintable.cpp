#include "window/FRTableViewPrintable.h"

#include "messages/SMSDataController.h"
#include "messages/ui/FRSMSCell.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QPainter>
#include <QPdfWriter>

#include <cmath>

FRViewPrintable::PageGeometry FRViewPrintable::pageGeometry(const QPageSize &paper)
{
    PageGeometry g;
    g.paper = paper.size(QPageSize::Point);
    const double vertical = std::min(g.paper.height() / 11, 72.0);
    const double horizontal = std::min(g.paper.width() / 8.5, 72.0);
    g.margins = QMarginsF(horizontal, vertical, horizontal, vertical);
    g.titleSize = std::min(std::trunc(g.paper.width() / 75), 10.0);
    g.numberSize = std::min(std::trunc(g.paper.width() / 68), 9.0);
    return g;
}

bool FRViewPrintable::headerAndFooter()
{
    UserDefaults &defaults = UserDefaults::standard();
    if (!defaults.contains(QStringLiteral("NSPrintHeaderAndFooter")))
        defaults.setBool(true, QStringLiteral("NSPrintHeaderAndFooter"));
    return defaults.boolForKey(QStringLiteral("NSPrintHeaderAndFooter"));
}

void FRViewPrintable::drawPageBorder(QPainter *painter, const PageGeometry &g, int page) const
{
    if (!headerAndFooter())
        return;
    painter->save();
    const double W = g.paper.width(), H = g.paper.height();
    QFont title = QGuiApplication::font();
    title.setBold(true);
    title.setPointSizeF(g.titleSize);
    painter->setFont(title);
    painter->setPen(Qt::black);
    painter->drawText(QRectF(25, 0, W - 50, g.margins.top()), Qt::AlignCenter | Qt::TextSingleLine, mTitle);
    QFont small = QGuiApplication::font();
    small.setPointSizeF(g.numberSize);
    painter->setFont(small);
    const QRectF bottom(g.margins.left(), H - g.margins.bottom(), W - g.margins.left() - g.margins.right(),
                        g.margins.bottom());
    painter->drawText(QRectF(0, bottom.top(), W, bottom.height()), Qt::AlignCenter, QStringLiteral("- %1 -").arg(page));
    if (!mFooterLeft.isEmpty())
        painter->drawText(bottom, Qt::AlignLeft | Qt::AlignVCenter, mFooterLeft);
    painter->drawText(bottom, Qt::AlignRight | Qt::AlignVCenter,
                      QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat));
    painter->restore();
}

bool FRViewPrintable::savePDFToPath(const QString &path, const QString &title, bool, bool justQueue,
                                    SMSDataController *controller, QString *error)
{
    mTitle = title;
    mSmsData = controller;
    mSavePath = path;
    UserDefaults::standard().setBool(false, QStringLiteral("print_viewPDF"));
    return justQueue || saveThePDF(error);
}

bool FRViewPrintable::hasThumbsInIt() const { return mSmsData && mSmsData->hasThumbsInIt(mObjects); }

std::unique_ptr<FRTableViewPrintable> FRTableViewPrintable::initWithObjects(const QList<FRSMSInfoPtr> &objects)
{
    if (objects.isEmpty())
        return nullptr;
    return std::unique_ptr<FRTableViewPrintable>(new FRTableViewPrintable(objects));
}

QList<FRTableViewPrintable::Placement> FRTableViewPrintable::paginate(const QList<double> &heights, double pageHeight)
{
    QList<Placement> placements;
    int page = 0;
    double y = 0;
    for (const double height : heights) {
        Placement p;
        if (y > 0 && y + height > pageHeight) {
            ++page; // the row starts on the next page, whole
            y = 0;
        }
        p.page = page;
        p.top = y;
        p.height = height;
        if (height > pageHeight) {
            // Taller than any page: cut it into page-high slices instead of looking for a
            // page it fits on.
            p.cutAt = pageHeight;
            placements.append(p);
            const int extra = int(std::ceil(height / pageHeight)) - 1;
            page += extra;
            y = height - extra * pageHeight;
            continue;
        }
        placements.append(p);
        y += height;
    }
    return placements;
}

bool FRTableViewPrintable::saveThePDF(QString *error)
{
    if (mSavePath.isEmpty())
        return false;
    const PageGeometry g = pageGeometry(mPaper);
    const QRectF content(g.margins.left(), g.margins.top(), g.paper.width() - g.margins.left() - g.margins.right(),
                         g.paper.height() - g.margins.top() - g.margins.bottom());
    QList<double> heights;
    heights.reserve(mObjects.size());
    for (const FRSMSInfoPtr &row : std::as_const(mObjects))
        heights.append(std::max(1.0, row->heightOfRowForWidth(content.width())));
    const QList<Placement> placements = paginate(heights, content.height());

    QPdfWriter writer(mSavePath);
    writer.setResolution(72);
    writer.setPageSize(mPaper);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setTitle(mTitle);
    writer.setCreator(QStringLiteral("Quillon"));
    QPainter painter;
    if (!painter.begin(&writer)) {
        if (error)
            *error = QStringLiteral("Could not write %1.").arg(mSavePath);
        QFile::remove(mSavePath);
        return false;
    }
    FRSMSCell::Drawing drawing;
    drawing.printing = true;
    drawing.monochrome = preferenceBool(QStringLiteral("PRINT_MONOCHROME"));
    drawing.multiplier = FRSMSCell::printMultiplier();
    if (mSmsData) {
        drawing.meImage = mSmsData->meImage();
        drawing.waImage = mSmsData->waImage();
        drawing.fbImage = mSmsData->fbImage();
    }
    int page = 0;
    drawPageBorder(&painter, g, 1);
    for (qsizetype i = 0; i < mObjects.size(); ++i) {
        if (mSmsData && mSmsData->operationCancelled())
            break;
        const Placement &p = placements.at(i);
        const int slices = p.cutAt > 0 ? int(std::ceil(p.height / p.cutAt)) : 1;
        for (int slice = 0; slice < slices; ++slice) {
            const int onPage = p.page + slice;
            while (page < onPage) {
                writer.newPage();
                ++page;
                drawPageBorder(&painter, g, page + 1);
            }
            painter.save();
            const double top = slice == 0 ? p.top : 0;
            const double visible = p.cutAt > 0 ? std::min(p.cutAt, p.height - slice * p.cutAt) : p.height;
            painter.setClipRect(QRectF(content.left(), content.top() + top, content.width(), visible));
            painter.translate(content.left(), content.top() + top - slice * (p.cutAt > 0 ? p.cutAt : 0));
            FRSMSCell::drawRow(&painter, *mObjects.at(i), QRectF(0, 0, content.width(), p.height), drawing);
            painter.restore();
        }
    }
    if (!painter.end()) {
        if (error)
            *error = QStringLiteral("Could not write %1.").arg(mSavePath);
        QFile::remove(mSavePath);
        return false;
    }
    return true;
}
