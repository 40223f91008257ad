#include "messages/ui/FRSMSCell.h"

#include "messages/FRMMSInfo.h"
#include "messages/MessageFonts.h"
#include "messages/SMSDataController.h"
#include "messages/ui/QtMessageTextLayout.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"
#include "shell/VarnekLogger.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QPainterPath>
#include <QScreen>

#include <cmath>
#include <mutex>

namespace {

constexpr double kPersonIconSize = 49;
constexpr int kCorner = 18; // corner pieces, in points

std::recursive_mutex bubbleLock;

// Index of the pieces: the nine of DrawNinePartImage, then the two tail corners.
enum Piece { TopLeft, Top, TopRight, Left, Middle, Right, BottomLeft, Bottom, BottomRight, BottomLeftArrow,
             BottomRightArrow, PieceCount };
QImage gMasks[PieceCount], gOverlays[PieceCount];
std::once_flag gAssetsOnce;

// The whole bubble shape in a 2*kCorner square (corners of radius 16) and its tails.
QPainterPath bubblePath(bool tailLeft, bool tailRight)
{
    QPainterPath path;
    const double s = 2 * kCorner;
    path.addRoundedRect(QRectF(4, 0, s - 8, s - 1), 14, 14);
    if (tailLeft) {
        QPainterPath tail;
        tail.moveTo(0, s);
        tail.quadTo(6, s - 3, 6, s - 12);
        tail.lineTo(14, s - 4);
        tail.quadTo(8, s, 0, s);
        path = path.united(tail);
    }
    if (tailRight) {
        QPainterPath tail;
        tail.moveTo(s, s);
        tail.quadTo(s - 6, s - 3, s - 6, s - 12);
        tail.lineTo(s - 14, s - 4);
        tail.quadTo(s - 8, s, s, s);
        path = path.united(tail);
    }
    return path;
}

// A piece of the shape: the part of the 2*kCorner square at `source`.
QImage pieceOf(const QPainterPath &shape, const QRectF &source, bool outline)
{
    const double scale = 2; // pieces are made at double resolution
    QImage image(QSize(int(source.width() * scale), int(source.height() * scale)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(-source.topLeft());
    if (outline)
        p.strokePath(shape, QPen(QColor(0, 0, 0, 90), 1));
    else
        p.fillPath(shape, Qt::black);
    return image;
}

QImage roundPerson()
{
    QImage image(98, 98, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(190, 190, 196));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(0, 0, 98, 98));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(34, 18, 30, 30));
    p.drawEllipse(QRectF(19, 54, 60, 56));
    return image;
}

QImage failedBadge()
{
    QImage image(38, 38, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(230, 40, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(1, 1, 36, 36));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(16, 7, 6, 17), 3, 3);
    p.drawEllipse(QRectF(16, 27, 6, 6));
    return image;
}

// A file icon of code: a page with its folded corner and the extension on it.
QImage fileIcon(const QString &extension)
{
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath page;
    page.moveTo(12, 2);
    page.lineTo(40, 2);
    page.lineTo(54, 16);
    page.lineTo(54, 62);
    page.lineTo(12, 62);
    page.closeSubpath();
    p.fillPath(page, Qt::white);
    p.strokePath(page, QPen(QColor(120, 120, 120), 2));
    p.drawLine(QPointF(40, 2), QPointF(40, 16));
    p.drawLine(QPointF(40, 16), QPointF(54, 16));
    QFont font = QGuiApplication::font();
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(60, 60, 60));
    p.drawText(QRectF(12, 30, 42, 20), Qt::AlignCenter, extension.left(4).toUpper());
    return image;
}

QImage playable()
{
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0, 0, 0, 160));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(2, 2, 60, 60));
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(25, 18), QPointF(47, 32), QPointF(25, 46)}));
    return image;
}

QImage circlePicture(const QByteArray &data, double size)
{
    QImage source = data.isEmpty() ? QImage() : QImage::fromData(data);
    if (source.isNull())
        source = roundPerson();
    const int side = std::min(source.width(), source.height());
    source = source.copy((source.width() - side) / 2, (source.height() - side) / 2, side, side);
    const int pixels = int(size * 2);
    QImage out(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setBrush(Qt::black);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(0, 0, pixels, pixels)); // the circle mask
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.drawImage(QRectF(0, 0, pixels, pixels), source);
    return out;
}

} // namespace

void DrawNinePartImage(QPainter *painter, const QImage pieces[9], double scale, const QSizeF &target,
                       QPainter::CompositionMode op, bool flipped, const QColor &tint)
{
    const QSize size(int(std::floor(target.width())), int(std::floor(target.height())));
    if (size.isEmpty())
        return;
    QImage image(QSize(int(size.width() * scale), int(size.height() * scale)), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        VarnekLog("NSImage allocs are failing!");
        return;
    }
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        const auto w = [&](int i) { return pieces[i].width() / pieces[i].devicePixelRatio() * scale; };
        const auto h = [&](int i) { return pieces[i].height() / pieces[i].devicePixelRatio() * scale; };
        const double W = image.width(), H = image.height();
        const double c = w(TopLeft), t = h(TopLeft), b = h(BottomRight);
        const double cr = w(TopRight);
        // With `flipped` the top is at y = 0 (our painters always are).
        Q_UNUSED(flipped);
        p.drawImage(QRectF(0, 0, c, t), pieces[TopLeft]);
        p.drawImage(QRectF(c, 0, W - c - cr, t), pieces[Top]);
        p.drawImage(QRectF(W - cr, 0, cr, t), pieces[TopRight]);
        p.drawImage(QRectF(c, t, W - c - cr, H - t - b), pieces[Middle]);
        p.drawImage(QRectF(0, H - h(BottomLeft), w(BottomLeft), h(BottomLeft)), pieces[BottomLeft]);
        p.drawImage(QRectF(w(BottomLeft), H - b, W - w(BottomLeft) - w(BottomRight), b), pieces[Bottom]);
        p.drawImage(QRectF(W - w(BottomRight), H - h(BottomRight), w(BottomRight), h(BottomRight)), pieces[BottomRight]);
        if (H > t + b) {
            p.drawImage(QRectF(0, t, c, H - t - b), pieces[Left]);
            p.drawImage(QRectF(W - cr, t, cr, H - t - b), pieces[Right]);
        }
        if (tint.isValid()) {
            p.setCompositionMode(QPainter::CompositionMode_SourceIn);
            p.fillRect(image.rect(), tint);
        }
    }
    const QPainter::CompositionMode old = painter->compositionMode();
    painter->setCompositionMode(op);
    painter->drawImage(QRectF(QPointF(0, 0), QSizeF(size)), image);
    painter->setCompositionMode(old);
}

void FRSMSCell::loadAssetts()
{
    std::call_once(gAssetsOnce, [] {
        std::lock_guard lock(bubbleLock);
        const double k = kCorner, s = 2 * kCorner;
        const QRectF sources[PieceCount] = {
            {0, 0, k, k}, {k, 0, 1, k},     {k, 0, k, k},     {0, k - 1, k, 1}, {k, k - 1, 1, 1}, {k, k - 1, k, 1},
            {0, k, k, k}, {k, k, 1, k},     {k, k, k, k},     {0, k, k, k},     {k, k, k, k}};
        const QPainterPath plain = bubblePath(false, false);
        const QPainterPath left = bubblePath(true, false);
        const QPainterPath right = bubblePath(false, true);
        for (int i = 0; i < PieceCount; ++i) {
            const QPainterPath &shape = i == BottomLeftArrow ? left : i == BottomRightArrow ? right : plain;
            gMasks[i] = pieceOf(shape, sources[i], false);
            gOverlays[i] = pieceOf(shape, sources[i], true);
        }
        Q_UNUSED(s);
    });
}

double FRSMSCell::printMultiplier()
{
    // Decided once, before any drawing thread asks: two threads used to race to set it.
    static const double multiplier = [] {
        if (preferenceBool(QStringLiteral("noHiRez")))
            return 1.0;
        const QScreen *screen = QGuiApplication::primaryScreen();
        if (screen && screen->devicePixelRatio() >= 1.9)
            return 1.0;
        VarnekLog("detected non-retina");
        return 2.0;
    }();
    return multiplier;
}

QColor FRSMSCell::bubbleColour(const FRSMSInfo &record, bool monochrome)
{
    if (monochrome)
        return Qt::white;
    if (record.SMSIncoming())
        return QColor::fromRgbF(0.87f, 0.87f, 0.87f);
    if (record.SMSiMessage() || record.SMSFB())
        return QColor(39, 142, 251);
    if (record.SMSWhatsApp())
        return QColor(204, 239, 176);
    return QColor(45, 195, 24);
}

FRSMSCell::Geometry FRSMSCell::geometry(const FRMMSInfo &part, const QRectF &frame, double thumbnailAspect)
{
    Geometry g;
    const double headerHeight = MessageFonts::current()->headerHeight();
    QRectF r = part.contentRectForFrame(frame);
    g.headerLine = QRectF(frame.x(), r.top(), frame.width(), headerHeight);
    r.setTop(r.top() + headerHeight);
    const bool media = part.mediaType() == FRMMSInfo::Image || part.mediaType() == FRMMSInfo::Video;
    if (media && !part.showAsIcon() && thumbnailAspect > 0) {
        r.setHeight(std::ceil(r.height()));
        r.setWidth(std::ceil(r.width() - 200 + thumbnailAspect * r.height() + 6));
    }
    g.tail = !part.SMSFB();
    const double pictureY = frame.y() + frame.height() - kPersonIconSize;
    if (part.SMSIncoming()) {
        g.picture = QRectF(frame.x() + 4, pictureY, kPersonIconSize, kPersonIconSize);
        r.translate(51, 0);
        r.setWidth(r.width() - 55);
        g.tailOnLeft = true;
    } else {
        // The picture follows the frame wherever it starts (the frame's x counts).
        g.picture = QRectF(frame.x() + frame.width() - kPersonIconSize - 3, pictureY, kPersonIconSize, kPersonIconSize);
        r.setWidth(r.width() - 55);
        r.moveRight(frame.x() + frame.width() - 55);
        g.tailOnLeft = false;
    }
    g.bubble = r;
    return g;
}

void FRSMSCell::drawRow(QPainter *painter, const FRSMSInfo &record, const QRectF &frame, const Drawing &drawing)
{
    loadAssetts();
    if (record.mediaType() == 0 && !dynamic_cast<const FRMMSInfo *>(&record)) {
        legacyDraw(painter, record, frame, drawing);
        return;
    }
    const auto &part = static_cast<const FRMMSInfo &>(record);
    const bool media = part.mediaType() == FRMMSInfo::Image || part.mediaType() == FRMMSInfo::Video;
    QImage thumbnail;
    if (media && !part.showAsIcon())
        thumbnail = QImage::fromData(part.thumbnailBytes());
    const double aspect = thumbnail.isNull() || thumbnail.height() == 0 ? 0 : double(thumbnail.width()) / thumbnail.height();
    const Geometry g = geometry(part, frame, aspect);
    const QRectF r = g.bubble;
    const bool mono = drawing.printing && drawing.monochrome;
    const double m = drawing.printing ? drawing.multiplier : 1;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);

    // The picture beside the bubble (3 points higher, in a circle).
    QByteArray pictureData;
    if (part.SMSIncoming())
        pictureData = part.SMSImage();
    else if (part.SMSFB() && !drawing.fbImage.isEmpty())
        pictureData = drawing.fbImage;
    else if (part.SMSWhatsApp() && !drawing.waImage.isEmpty())
        pictureData = drawing.waImage;
    else
        pictureData = drawing.meImage;
    const QRectF picture = g.picture.translated(0, -3);
    painter->drawImage(picture, circlePicture(pictureData, kPersonIconSize));
    if (part.SMSType() == QLatin1String("Failed"))
        painter->drawImage(QRectF(g.picture.x() - 5, g.picture.y() + kPersonIconSize - 25, 19, 19), failedBadge());

    // The bubble: fill or thumbnail, cut to the bubble's shape, outlined when printing in
    // monochrome.
    if (!part.drawAsEmoji() && r.width() > 0 && r.height() > 0) {
        std::lock_guard lock(bubbleLock);
        QImage bubble(QSize(int(std::ceil(r.width() * m)), int(std::ceil(r.height() * m))), QImage::Format_ARGB32_Premultiplied);
        if (bubble.isNull()) {
            VarnekLog("NSImage allocs are failing!");
        } else {
            bubble.fill(Qt::transparent);
            QPainter b(&bubble);
            b.setRenderHint(QPainter::SmoothPixmapTransform);
            if (!thumbnail.isNull()) {
                QRectF place(0, 1 * m, aspect * r.height() * m, (r.height() - 2) * m);
                if (!part.SMSIncoming())
                    place.translate(6 * m, 0);
                else
                    place.setWidth(place.width() + 1);
                b.drawImage(place, thumbnail);
                if (part.mediaType() == FRMMSInfo::Video) {
                    const QImage play = playable();
                    const double side = 0.75 * 64 * m / 2;
                    b.setOpacity(0.5);
                    b.drawImage(QRectF(place.width() / 2 + 4 * m - side / 2, place.height() / 2 - side / 2, side, side), play);
                    b.setOpacity(1);
                }
            } else {
                b.fillRect(QRectF(2 * m, 1 * m, bubble.width() - 4 * m, bubble.height() - 2 * m), bubbleColour(part, mono));
            }
            QImage masks[9];
            for (int i = 0; i < 9; ++i)
                masks[i] = gMasks[i];
            if (g.tail)
                masks[g.tailOnLeft ? BottomLeft : BottomRight] = gMasks[g.tailOnLeft ? BottomLeftArrow : BottomRightArrow];
            DrawNinePartImage(&b, masks, m, r.size(), QPainter::CompositionMode_DestinationIn, true);
            if (mono) {
                QImage outlines[9];
                for (int i = 0; i < 9; ++i)
                    outlines[i] = gOverlays[i];
                if (g.tail)
                    outlines[g.tailOnLeft ? BottomLeft : BottomRight] =
                        gOverlays[g.tailOnLeft ? BottomLeftArrow : BottomRightArrow];
                DrawNinePartImage(&b, outlines, m, r.size(), QPainter::CompositionMode_SourceOver, true);
            }
            b.end();
            painter->drawImage(r, bubble);
        }
    }

    // The header, centred on the row.
    const QSizeF header = part.headerSize();
    const QColor headerColour = mono ? QColor(Qt::black) : drawing.selected ? QColor(Qt::white) : QColor();
    QtMessageTextLayout::draw(painter, part.SMSHeader(),
                              QRectF(frame.x() + frame.width() / 2 - header.width() / 2, g.headerLine.top(),
                                     header.width() + 2, g.headerLine.height()),
                              mono, headerColour);

    if (part.mediaType() == FRMMSInfo::Text) {
        QRectF text = r.adjusted(18, 8, -18, -8);
        text.setWidth(text.width() + 1);
        text.setHeight(text.height() + 10);
        if (part.drawAsEmoji())
            text.translate(0, 8);
        QtMessageTextLayout::draw(painter, part.bodyAttributedString(), text, mono);
    } else if (part.showAsIcon() || thumbnail.isNull()) {
        const QRectF icon(std::floor(r.x() + 20), std::floor(r.center().y() - 16), 32, 32);
        painter->drawImage(icon, fileIcon(part.iconExtension()));
        TypedAttributedString title;
        MessageStyle::append(title, part.mediaTitle(), mono ? MessageStyle::Normal : MessageStyle::MediaTitle);
        QtMessageTextLayout::draw(painter, title, QRectF(icon.x() + 40, icon.y() + 10 - 8, r.right() - icon.x() - 40, 40),
                                  mono);
    }
    painter->restore();
}

void FRSMSCell::legacyDraw(QPainter *painter, const FRSMSInfo &record, const QRectF &frame, const Drawing &drawing)
{
    const double x = frame.x(), y = frame.y(), W = frame.width(), H = frame.height();
    const bool backgrounds = !drawing.printing || preferenceBool(QStringLiteral("print_backgrounds"));
    QRectF picture;
    painter->save();
    if (!record.SMSIncoming()) {
        if (backgrounds)
            painter->fillRect(QRectF(x + 4, y + 1, W - 7, std::floor(H - 3)), QColor(0, 0, 255, 18));
        picture = QRectF(x + W - kPersonIconSize - 3, y + (H - kPersonIconSize) / 2, kPersonIconSize, kPersonIconSize);
        painter->drawImage(picture, circlePicture(drawing.meImage, kPersonIconSize));
        QtMessageTextLayout::draw(painter, record.SMSRow(), QRectF(x + 10, y + 5, W - 67, H - 9),
                                  drawing.printing && drawing.monochrome);
    } else {
        if (backgrounds)
            painter->fillRect(QRectF(x + 4, y + 1, W - 11, std::floor(H - 3)), QColor(128, 128, 128, 40));
        picture = QRectF(x + 4, y + (H - kPersonIconSize) / 2, kPersonIconSize, kPersonIconSize);
        painter->drawImage(picture, circlePicture(record.image(), kPersonIconSize));
        QtMessageTextLayout::draw(painter, record.SMSRow(), QRectF(x + 59, y + 5, W - 67, H - 9),
                                  drawing.printing && drawing.monochrome);
    }
    if (record.SMSType() == QLatin1String("Failed"))
        painter->drawImage(QRectF(picture.x() - 5, picture.y() + 27, 19, 19), failedBadge());
    painter->restore();
}

void FRSMSCell::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const FRSMSInfoPtr record = index.data(RecordTableModel::ValueRole).value<FRSMSInfoPtr>();
    if (!record)
        return;
    if (option.state & QStyle::State_Selected)
        painter->fillRect(option.rect, option.palette.highlight());
    Drawing drawing;
    drawing.selected = option.state & QStyle::State_Selected;
    if (const SMSDataController *controller = record->dataController()) {
        drawing.meImage = controller->meImage();
        drawing.waImage = controller->waImage();
        drawing.fbImage = controller->fbImage();
    }
    drawRow(painter, *record, QRectF(option.rect), drawing);
}

QSize FRSMSCell::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const FRSMSInfoPtr record = index.data(RecordTableModel::ValueRole).value<FRSMSInfoPtr>();
    const int width = option.rect.width() > 0 ? option.rect.width() : 400;
    if (!record)
        return QSize(width, 53);
    return QSize(width, int(std::ceil(record->heightOfRowForWidth(width))));
}
