#include "InitialsPicture.h"

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>

QByteArray InitialsPicture::initialsPicture(const QString &initials) const
{
    QImage image(100, 100, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.fill(QColor(160, 160, 160));
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::TextAntialiasing);
        QFont font;
        font.setStyleHint(QFont::SansSerif);
        font.setBold(true);
        font.setPixelSize(45);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 7, 100, 80), Qt::AlignCenter, initials);
    }
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return out;
}
