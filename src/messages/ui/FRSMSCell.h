#pragma once
// Draws one row of the messages table: a bubble for a message part with the sender's
// picture beside it and the header line above it, the part's text, thumbnail or file icon
// inside; a whole message (the one-row-per-message view) in the older list style. The same
// drawing serves the printed and PDF copies of the table (printing: at `multiplier` times the
// resolution, monochrome when asked).
//
// The bubble pieces (eleven masks and eleven outlines: the corners, edges, middle and the two
// tail corners) are drawn by code once (loadAssetts) and composed by DrawNinePartImage.
//
// Threads: the delegate is the main thread's; drawRow and the pieces are safe on the PDF
// export thread too (images only, under the bubble lock).

#include "messages/FRSMSInfo.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QStyledItemDelegate>

class FRMMSInfo;

// The nine pieces in the order top left, top, top right, left, middle, right, bottom left,
// bottom, bottom right, drawn into an image of the target size (whole points times `scale`)
// with the corners at their sizes and the edges and middle stretched; then tinted when a
// colour is given (the shape keeps its alpha); then drawn at the painter's origin with `op`.
void DrawNinePartImage(QPainter *painter, const QImage pieces[9], double scale, const QSizeF &target,
                       QPainter::CompositionMode op, bool flipped, const QColor &tint = QColor());

class FRSMSCell : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    struct Drawing
    {
        bool selected = false;
        bool printing = false;
        bool monochrome = false;
        double multiplier = 1; // printing resolution
        QByteArray meImage, waImage, fbImage; // the owner's pictures (may be empty)
    };
    // Where a part's bubble, header and picture go in a row frame.
    struct Geometry
    {
        QRectF bubble, picture, headerLine;
        bool tail = true;
        bool tailOnLeft = true;
    };

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    static void drawRow(QPainter *painter, const FRSMSInfo &record, const QRectF &frame, const Drawing &drawing);
    static Geometry geometry(const FRMMSInfo &part, const QRectF &frame, double thumbnailAspect);
    static QColor bubbleColour(const FRSMSInfo &record, bool monochrome);
    // The printing multiplier, fixed once per run: 2 unless "noHiRez" is on or the screen is
    // already of double density.
    static double printMultiplier();
    static void loadAssetts();

private:
    static void legacyDraw(QPainter *painter, const FRSMSInfo &record, const QRectF &frame, const Drawing &drawing);
};
