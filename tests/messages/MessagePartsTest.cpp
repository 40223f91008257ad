// Cutting messages into bubble parts, the names their files take, and the texts and
// geometry of a part measured with the fixed-advance layout.

#include "messages/FRMMSInfo.h"
#include "messages/MessageExport.h"
#include "messages/MessageFileNames.h"
#include "messages/MessageFonts.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <gtest/gtest.h>

namespace {

FRSMSInfoPtr message(const QString &text, const QString &html, qint64 flags = 0)
{
    return FRSMSInfo::infoWithInfo({{SMSKey::Text, text},
                                    {SMSKey::HTML, html},
                                    {SMSKey::Flags, flags},
                                    {SMSKey::Address, QStringLiteral("+15551234567")},
                                    {SMSKey::Date, QDateTime::fromSecsSinceEpoch(1600000000)}},
                                   nullptr);
}

QString describe(const QList<FRMMSInfoPtr> &parts)
{
    QStringList out;
    for (const FRMMSInfoPtr &part : parts) {
        QString one = QString::number(part->mediaType()) + QLatin1Char(':');
        one += part->mediaType() == FRMMSInfo::Text ? part->contents() : part->contents().section('/', -1);
        const QString title = part->mediaType() == FRMMSInfo::Text ? QString() : part->mediaTitle();
        if (part->mediaType() == FRMMSInfo::ContactCard || part->mediaType() == FRMMSInfo::OtherFile)
            one += QStringLiteral(" title=") + title;
        out.append(one);
    }
    return out.join(QStringLiteral(" | "));
}

} // namespace

TEST(MessageParts, CuttingAndNames)
{
    struct Case
    {
        const char *name;
        QString text, html;
        QString parts;   // type:contents [title=...] of each part
        QString save;    // saveName of the first part
    };
    const Case cases[] = {
        {"a picture and its placeholder text make one part", "[IMAGE]",
         R"(<div><A HREF="ab/G1-iMessage-IMG_1.jpg"><IMG SRC="ab/G1-iMessage-IMG_1.jpg" WIDTH=100% BORDER=0/></A></div>)",
         "2:G1-iMessage-IMG_1.jpg", "IMG_1.jpg"},
        {"a picture with words keeps the words", "[IMAGE] Look at this",
         R"(<IMG SRC="p/cat.png">)", "2:cat.png | 0:Look at this", "cat.png"},
        {"two links of different extensions: the first only", "see these",
         R"(<A HREF="x/report.pdf">report.pdf</A><A HREF="x/song.mp3">song.mp3</A>)",
         "5:report.pdf title=report.pdf | 0:see these", "report.pdf"},
        {"a card takes its bracketed title, which leaves the text", "[Ann Lee.vcf] call her",
         R"(<A HREF="v/G2-iMessage-Ann Lee.vcf">Ann Lee.vcf</A>)", "3:G2-iMessage-Ann Lee.vcf title=Ann Lee | 0:call her",
         "Ann Lee.vcf"},
        {"a reference without its closing quote ends the scan", "hello", R"(<IMG SRC="p/broken.jpg)", "0:hello", ""},
        {"a bracket too short for its extension gives no title, no crash", "x.vcf]",
         R"(<A HREF="v/c.vcf">)", "3:c.vcf title=c.vcf | 0:x.vcf]", "c.vcf"},
        {"a card label too short for its extension", "hi", R"(<A HREF="v/d.vcf">.vcf</A>)", "3:d.vcf title=d.vcf | 0:hi",
         "d.vcf"},
        {"a reference climbing out names its last component only", "",
         R"(<IMG SRC="../../../etc/passwd"><VIDEO SRC="../"><AUDIO SRC="a/..">)", "2:passwd", "passwd"},
        {"a voice note saves as m4a", "[AUDIO]", R"(<AUDIO SRC="k/G3-iMessage-Audio Message.amr">)",
         "4:G3-iMessage-Audio Message.amr", "Audio Message.m4a"},
        {"a card title with a slash and a leading dot", "[../.hidden/x.vcf]",
         R"(<A HREF="v/e.vcf">e.vcf</A>)", "3:e.vcf title=../.hidden/x", "-.hidden-x.vcf"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto parts = FRMMSInfo::objectsFromSMSInfo(message(c.text, c.html));
        EXPECT_EQ(describe(parts), c.parts);
        if (!parts.isEmpty()) {
            EXPECT_EQ(parts.first()->saveName(), c.save);
        }
        for (const FRMMSInfoPtr &part : parts)
            if (part->mediaType() != FRMMSInfo::Text) {
                EXPECT_TRUE(part->contents().startsWith(getTempDir())) << qPrintable(part->contents());
            }
    }
}

TEST(MessageParts, FileNamesStayInTheirFolder)
{
    struct Case
    {
        const char *name;
        QString in, out;
    };
    const QString longName = QString(300, QChar(0x00E9)) + QStringLiteral(".txt"); // two bytes each
    const Case cases[] = {
        {"slash", "a/b", "a-b"},
        {"leading dots", "..profile", "profile"},
        {"line ends", "Ann\nLee\r", "Ann Lee "},
        {"nothing left", "...", "Item"},
        {"only dot-dot", "..", "Item"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MessageFileNames::safeFileName(c.in), c.out);
    }
    const QString cut = MessageFileNames::safeFileName(longName);
    EXPECT_LE(cut.toUtf8().size(), 255);
    EXPECT_TRUE(cut.endsWith(QStringLiteral(".txt")));
    EXPECT_EQ(MessageFileNames::lastComponent(QStringLiteral("a/&#46;&#46;")), QStringLiteral("&#46;&#46;"));
    EXPECT_EQ(MessageFileNames::lastComponent(QStringLiteral("a/x&amp;y")), QStringLiteral("x&y"));

    // A conversation name of 200 characters names its export by its first 150, counted in
    // characters (an emoji is one), and a name with a slash stays one file.
    QString person;
    for (int i = 0; i < 200; ++i)
        person += QString::fromUtf8("\xF0\x9F\x98\x80"); // U+1F600
    const QString name = MessageExport::saveName(MessageExport::CSV, person);
    EXPECT_EQ(name, QStringLiteral("Messages with ") + MessageFileNames::firstCharacters(person, 150).left(
                        name.size() - 18) + QStringLiteral(".csv"));
    EXPECT_LE(name.toUtf8().size(), 255);
    EXPECT_EQ(MessageExport::saveName(MessageExport::XML, QStringLiteral("AC/DC fans")),
              QStringLiteral("Messages with AC-DC fans.xml"));
    EXPECT_EQ(MessageExport::saveName(MessageExport::PDF, QString()), QStringLiteral("Messages.pdf"));
}

TEST(MessageParts, TextsOfParts)
{
    const auto parts = FRMMSInfo::objectsFromSMSInfo(
        message(QStringLiteral("[IMAGE]\tWow"), R"(<IMG SRC="p/G-iMessage-pic.jpg">)", 0x40000001));
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0]->SMSFullText(), "[pic.jpg]");
    EXPECT_EQ(parts[0]->SMSXMLNode(), "<Message File=\"pic.jpg\"/>");
    EXPECT_EQ(parts[0]->mediaTitle(), "Image: pic.jpg");
    EXPECT_EQ(parts[1]->SMSFullText(), "Wow");
    EXPECT_EQ(parts[1]->bodyString(), "Wow");
    EXPECT_EQ(parts[1]->kindString(), "iMessage");
    // A sent iMessage's words are white (on a blue bubble); the header names the direction.
    const auto body = parts[1]->bodyAttributedString();
    ASSERT_EQ(body.runs.size(), 1);
    EXPECT_EQ(body.runs[0].attributes.value(MessageStyle::attribute), "white");
    EXPECT_TRUE(parts[1]->SMSHeader().string.startsWith(QStringLiteral("Sent to ")));
    EXPECT_EQ(message(QStringLiteral("hi"), {})->childCount(), 0);
}

TEST(MessageParts, BubbleGeometry)
{
    UserDefaults::standard().setInteger(10, QStringLiteral("MSG_SIZE"));
    MessageFonts::resetFontAttributes();
    struct Case
    {
        const char *name;
        QString text, html;
        int index;
        double width, height; // content rectangle in a frame 500 wide, 10000 high
        double row;           // row height for width 500
    };
    // Fixed advances: normal text of size 11 is 6.6 wide and 13.2 tall per character.
    const Case cases[] = {
        // 5 characters: 33 + 36 + 55 wide; one line, the header line and 16 high.
        {"one word", "Hello", "", 0, 125, 47, 55},
        // "Image: pic.jpg" at 6 a character: 84 + 88 + 55 wide; the 200-point floor high.
        {"a picture without its file is an icon with its title", "", R"(<IMG SRC="p/pic.jpg">)", 0, 228, 219, 227},
        {"a voice note is an icon", "", R"(<AUDIO SRC="p/v.amr">)", 0, 216, 71, 79},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto parts = FRMMSInfo::objectsFromSMSInfo(message(c.text, c.html));
        ASSERT_GT(parts.size(), c.index);
        const QRectF rect = parts[c.index]->contentRectForFrame(QRectF(10, 20, 500, 10000));
        EXPECT_EQ(rect.x(), 14);
        EXPECT_EQ(rect.y(), 24);
        if (c.width > 0) {
            EXPECT_NEAR(rect.width(), c.width, 1.0) << rect.width();
        }
        EXPECT_NEAR(rect.height(), c.height, 1.0) << rect.height();
        EXPECT_EQ(parts[c.index]->heightOfRowForWidth(500), c.row);
    }
    // A bigger text size makes the same row taller, measured afresh after the reset.
    const auto parts = FRMMSInfo::objectsFromSMSInfo(message(QStringLiteral("Hello"), {}));
    const double small = parts[0]->heightOfRowForWidth(500);
    UserDefaults::standard().setInteger(20, QStringLiteral("MSG_SIZE"));
    MessageFonts::resetFontAttributes();
    EXPECT_GT(parts[0]->heightOfRowForWidth(500), small);
    UserDefaults::standard().setInteger(10, QStringLiteral("MSG_SIZE"));
    MessageFonts::resetFontAttributes();
}
