#include "messages/ui/QtMessageTextLayout.h"

#include "messages/MessageFonts.h"
#include "platform/TypedStream.h"

#include <QGuiApplication>
#include <QPainter>
#include <QTextLayout>

#include <cmath>
#include <memory>

namespace {

struct Laid
{
    std::unique_ptr<QTextLayout> layout;
    QSizeF size;
};

Laid layOut(const TypedAttributedString &text, double width, bool mono, const QColor &colour)
{
    const auto fonts = MessageFonts::current();
    QString string = text.string;
    // Line ends break lines inside one layout (same length, so runs keep their places).
    string.replace(QLatin1Char('\n'), QChar::LineSeparator);
    string.replace(QLatin1Char('\r'), QChar::LineSeparator);
    Laid laid{std::make_unique<QTextLayout>(string, QtMessageTextLayout::font(MessageStyle::Normal)), {}};
    QList<QTextLayout::FormatRange> formats;
    for (const auto &run : text.runs) {
        const auto style = MessageStyle::fromKey(run.attributes.value(MessageStyle::attribute).toString());
        QTextLayout::FormatRange range;
        range.start = int(run.location);
        range.length = int(run.length);
        range.format.setFont(QtMessageTextLayout::font(style));
        const uint32_t rgb = fonts->colour(style);
        if (colour.isValid())
            range.format.setForeground(colour);
        else if (mono || rgb == 0)
            range.format.setForeground(Qt::black);
        else
            range.format.setForeground(QColor::fromRgba(rgb));
        formats.append(range);
    }
    laid.layout->setFormats(formats);
    QTextOption option;
    option.setWrapMode(width > 0 ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    laid.layout->setTextOption(option);
    laid.layout->beginLayout();
    double y = 0, widest = 0;
    for (;;) {
        QTextLine line = laid.layout->createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width > 0 ? width : 1e6);
        line.setPosition(QPointF(0, y));
        y += line.height();
        widest = std::max(widest, line.naturalTextWidth());
    }
    laid.layout->endLayout();
    laid.size = QSizeF(std::ceil(widest), std::ceil(y));
    return laid;
}

} // namespace

QFont QtMessageTextLayout::font(int style)
{
    const auto fonts = MessageFonts::current();
    QFont font = QGuiApplication::font();
    font.setPointSizeF(fonts->size(MessageStyle::Style(style)));
    font.setBold(fonts->bold(MessageStyle::Style(style)));
    return font;
}

QSizeF QtMessageTextLayout::measure(const TypedAttributedString &text, double width)
{
    return layOut(text, width, false, QColor()).size;
}

void QtMessageTextLayout::draw(QPainter *painter, const TypedAttributedString &text, const QRectF &rect, bool mono,
                               const QColor &colour)
{
    Laid laid = layOut(text, rect.width(), mono, colour);
    laid.layout->draw(painter, rect.topLeft());
}
