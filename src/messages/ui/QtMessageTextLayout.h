#pragma once
// Message texts measured and drawn with QTextLayout in the fonts of MessageFonts: the
// implementation of MessageTextLayout the window installs, and the drawing the bubble cell
// and the printed table share. Safe on any thread (fonts and layouts only, no pixmaps).

#include "interfaces/MessageTextLayout.h"

#include <QColor>
#include <QFont>
#include <QRectF>

class QPainter;
struct TypedAttributedString;

class QtMessageTextLayout final : public MessageTextLayout
{
public:
    QSizeF measure(const TypedAttributedString &text, double width) override;

    // Draws `text` wrapped to the rectangle's width from its top left. `mono` draws every
    // run in black; a valid `colour` draws every run in it (a selected row's white header).
    static void draw(QPainter *painter, const TypedAttributedString &text, const QRectF &rect, bool mono,
                     const QColor &colour = QColor());
    static QFont font(int style);
};
