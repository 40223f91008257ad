// PDF of messages through poppler's tools: the page geometry for each paper, the texts
// (title, page number, footer, message words), and rows taller than a page cut instead of
// making pages without end.

#include "messages/FRMMSInfo.h"
#include "messages/ui/QtMessageTextLayout.h"
#include "platform/UserDefaults.h"
#include "window/FRTableViewPrintable.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QList<FRSMSInfoPtr> rows(int count, const QString &text)
{
    QList<FRSMSInfoPtr> out;
    for (int i = 0; i < count; ++i) {
        const auto message = FRSMSInfo::infoWithInfo({{SMSKey::Text, text.arg(i)},
                                                      {SMSKey::Flags, i % 2},
                                                      {SMSKey::Address, QStringLiteral("+15551234567")},
                                                      {SMSKey::Date, QDateTime::fromSecsSinceEpoch(1600000000 + i)}},
                                                     nullptr);
        for (const auto &part : FRMMSInfo::objectsFromSMSInfo(message))
            out.append(part);
    }
    return out;
}

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(30000)) << qPrintable(program);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().constData();
    return QString::fromUtf8(process.readAllStandardOutput());
}

struct Written
{
    QString info, text;
    int pages = 0;
};

Written write(const QList<FRSMSInfoPtr> &objects, const QPageSize &paper, const QString &name)
{
    static QtMessageTextLayout layout;
    MessageTextLayout::install(&layout);
    const QString path = QDir::homePath() + '/' + name;
    auto printable = FRTableViewPrintable::initWithObjects(objects);
    EXPECT_TRUE(printable);
    printable->setPageSize(paper);
    printable->setFooterLeft(QStringLiteral("Ann's iPhone"));
    QString error;
    EXPECT_TRUE(printable->savePDFToPath(path, QStringLiteral("Messages with Ann"), false, false, nullptr, &error))
        << qPrintable(error);
    Written w;
    w.info = run("pdfinfo", {path});
    w.text = run("pdftotext", {"-layout", path, "-"});
    const auto match = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(w.info);
    w.pages = match.captured(1).toInt();
    return w;
}

} // namespace

TEST(MessagesPDF, PageGeometryByPaper)
{
    struct Case
    {
        const char *name;
        QPageSize::PageSizeId paper;
        double width, height, leftRight, topBottom, title, number;
    };
    const Case cases[] = {
        {"US Letter: an inch all round", QPageSize::Letter, 612, 792, 72, 72, 8, 9},
        {"A4", QPageSize::A4, 595, 842, 595 / 8.5, 72, 7, 8},
        {"A5: margins shrink with the paper", QPageSize::A5, 420, 595, 420 / 8.5, 595 / 11.0, 5, 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto g = FRViewPrintable::pageGeometry(QPageSize(c.paper));
        EXPECT_NEAR(g.paper.width(), c.width, 0.5);
        EXPECT_NEAR(g.paper.height(), c.height, 0.5);
        EXPECT_NEAR(g.margins.left(), c.leftRight, 0.01);
        EXPECT_NEAR(g.margins.right(), c.leftRight, 0.01);
        EXPECT_NEAR(g.margins.top(), c.topBottom, 0.01);
        EXPECT_NEAR(g.margins.bottom(), c.topBottom, 0.01);
        EXPECT_EQ(g.titleSize, c.title);
        EXPECT_EQ(g.numberSize, c.number);
    }
}

TEST(MessagesPDF, TextsAndPagesOfAConversation)
{
    UserDefaults::standard().setBool(true, QStringLiteral("NSPrintHeaderAndFooter"));
    const auto letter = write(rows(40, QStringLiteral("Message number %1 of the talk")), QPageSize(QPageSize::Letter),
                              "letter.pdf");
    EXPECT_TRUE(letter.info.contains(QStringLiteral("612 x 792 pts"))) << qPrintable(letter.info);
    EXPECT_GT(letter.pages, 1);
    EXPECT_TRUE(letter.text.contains(QStringLiteral("Messages with Ann")));
    const auto number = [](int page) { return QRegularExpression(QStringLiteral("-\\s*%1\\s*-").arg(page)); };
    EXPECT_TRUE(letter.text.contains(number(1))) << qPrintable(letter.text.right(400));
    EXPECT_TRUE(letter.text.contains(number(letter.pages)));
    EXPECT_TRUE(letter.text.contains(QStringLiteral("Ann's iPhone")));
    EXPECT_TRUE(letter.text.contains(QStringLiteral("Message number 0 of the talk")));
    EXPECT_TRUE(letter.text.contains(QStringLiteral("Message number 39 of the talk")));

    const auto a4 = write(rows(3, QStringLiteral("Short %1")), QPageSize(QPageSize::A4), "a4.pdf");
    EXPECT_TRUE(a4.info.contains(QStringLiteral("595 x 842 pts"))) << qPrintable(a4.info);
    EXPECT_EQ(a4.pages, 1);

    // Without headers and footers: no title, no number.
    UserDefaults::standard().setBool(false, QStringLiteral("NSPrintHeaderAndFooter"));
    const auto bare = write(rows(1, QStringLiteral("Plain %1")), QPageSize(QPageSize::Letter), "bare.pdf");
    EXPECT_FALSE(bare.text.contains(QStringLiteral("Messages with Ann")));
    EXPECT_FALSE(bare.text.contains(QRegularExpression(QStringLiteral("-\\s*1\\s*-"))));
    UserDefaults::standard().setBool(true, QStringLiteral("NSPrintHeaderAndFooter"));
}

TEST(MessagesPDF, ARowTallerThanAPageIsCut)
{
    // Placement: rows stay whole on a page; a row taller than a page starts on a fresh page
    // and is cut into page-high slices.
    struct Case
    {
        const char *name;
        QList<double> heights;
        QList<int> pages;
    };
    const Case cases[] = {
        {"rows fill a page, the next starts a new one", {300, 300, 300}, {0, 0, 1}},
        {"a row taller than a page", {100, 1500, 100}, {0, 1, 3}},
        {"exactly a page", {600, 600}, {0, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto placements = FRTableViewPrintable::paginate(c.heights, 600);
        QList<int> pages;
        for (const auto &p : placements)
            pages.append(p.page);
        EXPECT_EQ(pages, c.pages);
    }

    QString longText;
    for (int line = 0; line < 300; ++line)
        longText += QStringLiteral("line %1 of a very long message\n").arg(line);
    const auto tall = write(rows(1, longText + QStringLiteral("%1")), QPageSize(QPageSize::Letter), "tall.pdf");
    EXPECT_GT(tall.pages, 1);
    EXPECT_LT(tall.pages, 40);
    EXPECT_TRUE(tall.text.contains(QStringLiteral("line 0 of a very long message")));
    EXPECT_TRUE(tall.text.contains(QStringLiteral("line 299 of a very long message")));
}
