// The bubble cell: where bubble, picture and header go for each kind of part, the colours,
// and one row drawn offscreen.

#include "messages/FRMMSInfo.h"
#include "messages/MessageFonts.h"
#include "messages/ui/FRSMSCell.h"
#include "messages/ui/QtMessageTextLayout.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace {

FRMMSInfoPtr textPart(const QString &text, qint64 flags)
{
    const auto message = FRSMSInfo::infoWithInfo({{SMSKey::Text, text},
                                                  {SMSKey::Flags, flags},
                                                  {SMSKey::Address, QStringLiteral("+15551234567")},
                                                  {SMSKey::Date, QDateTime::fromSecsSinceEpoch(1600000000)}},
                                                 nullptr);
    return FRMMSInfo::objectsFromSMSInfo(message).value(0);
}

} // namespace

TEST(BubbleCell, GeometryAndColoursByKind)
{
    struct Case
    {
        const char *name;
        qint64 flags;
        QColor colour;
        bool pictureLeft, tail;
    };
    const Case cases[] = {
        {"received SMS", 0, QColor::fromRgbF(0.87f, 0.87f, 0.87f), true, true},
        {"sent SMS", 1, QColor(45, 195, 24), false, true},
        {"sent iMessage", 0x40000001, QColor(39, 142, 251), false, true},
        {"sent WhatsApp", 0x20000001, QColor(204, 239, 176), false, true},
        {"received Messenger: no tail", 0x10000000, QColor::fromRgbF(0.87f, 0.87f, 0.87f), true, false},
        {"sent Messenger: no tail", 0x10000001, QColor(39, 142, 251), false, false},
    };
    const QRectF frame(100, 50, 600, 120); // the frame does not start at the origin
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto part = textPart(QStringLiteral("Hello there"), c.flags);
        ASSERT_TRUE(part);
        EXPECT_EQ(FRSMSCell::bubbleColour(*part, false), c.colour);
        EXPECT_EQ(FRSMSCell::bubbleColour(*part, true), QColor(Qt::white));
        const auto g = FRSMSCell::geometry(*part, frame, 0);
        EXPECT_EQ(g.tail, c.tail);
        // The picture sits at the row's bottom, on the sender's side, inside the frame.
        EXPECT_EQ(g.picture.bottom(), frame.bottom());
        EXPECT_EQ(g.picture.x(), c.pictureLeft ? frame.x() + 4 : frame.right() - 49 - 3);
        if (c.pictureLeft) {
            EXPECT_GE(g.bubble.left(), g.picture.right());
        } else {
            EXPECT_LE(g.bubble.right(), g.picture.left());
        }
        EXPECT_GE(g.bubble.top(), g.headerLine.bottom());
    }
    // A sent WhatsApp message's words are dark on its light bubble; a sent SMS's white.
    EXPECT_EQ(textPart("a", 0x20000001)->bodyAttributedString().runs[0].attributes.value(MessageStyle::attribute), "normal");
    EXPECT_EQ(textPart("a", 1)->bodyAttributedString().runs[0].attributes.value(MessageStyle::attribute), "white");
}

TEST(BubbleCell, ASentSMSRowIsDrawnGreenOnItsRight)
{
    static QtMessageTextLayout layout;
    MessageTextLayout::install(&layout);
    const auto part = textPart(QStringLiteral("Hello there, this is a bubble"), 1);
    const QRectF frame(0, 0, 600, part->heightOfRowForWidth(600));
    QImage image(frame.size().toSize(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        FRSMSCell::drawRow(&painter, *part, frame, {});
    }
    const auto g = FRSMSCell::geometry(*part, frame, 0);
    // Inside the bubble, away from its text: the sent SMS green.
    const QPoint inside(int(g.bubble.right() - 12), int(g.bubble.center().y()));
    EXPECT_EQ(image.pixelColor(inside).rgb(), QColor(45, 195, 24).rgb());
    // Left of the bubble the row is untouched.
    EXPECT_EQ(image.pixelColor(QPoint(5, int(g.bubble.center().y()))).rgb(), QColor(Qt::white).rgb());
    MessageTextLayout::install(nullptr);
}
