// Newest-generation note bodies decoded into styled text, and styled text written as HTML
// that xmllint accepts.

#include "NoteStoreEncoder.h"
#include "extract/NoteAttributes.h"
#include "extract/NoteDocument.h"
#include "extract/NoteHTMLWriter.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using NoteRun = NoteStoreEncoder::Run;

namespace {

QVariantMap attributesAt(const TypedAttributedString &text, qsizetype position)
{
    for (const auto &run : text.runs)
        if (position >= run.location && position < run.location + run.length)
            return run.attributes;
    return {{"missing", true}};
}

// xmllint's complaints about an HTML document ("" when it has none).
QString xmllintErrors(const QString &html)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("note.html"));
    if (!file.open(QIODevice::WriteOnly))
        return "unwritable";
    file.write(html.toUtf8());
    file.close();
    QProcess lint;
    lint.start("xmllint", {"--html", "--noout", file.fileName()});
    if (!lint.waitForFinished(30000))
        return "xmllint did not finish";
    const QString errors = QString::fromUtf8(lint.readAllStandardError());
    return lint.exitCode() == 0 ? errors : QStringLiteral("exit %1: %2").arg(lint.exitCode()).arg(errors);
}

} // namespace

TEST(NoteDocument, DecodesTextAndStyledRuns)
{
    // "Hi " bold Helvetica 14, "link" linked and underlined, U+FFFC an attachment, "😀 red" red.
    const QString text = QString::fromUtf8("Hi link\xef\xbf\xbc\xf0\x9f\x98\x80 red");
    const QList<NoteRun> runs = {
        NoteRun{3, "Helvetica-Bold", 14, 1},
        NoteRun{4, {}, 0, 0, true, "https://example.com/"},
        NoteRun{1, {}, 0, 0, false, {}, std::nullopt, "ATT-1", "public.jpeg"},
        NoteRun{6, {}, 0, 0, false, {}, std::array<float, 4>{1, 0, 0, 1}},
    };
    QString error;
    const auto decoded = NoteDocument::decode(NoteStoreEncoder::body(text, runs), &error);
    ASSERT_TRUE(decoded) << error.toStdString();
    EXPECT_EQ(decoded->string, text);
    ASSERT_EQ(decoded->runs.size(), 4);
    const QVariantMap font = attributesAt(*decoded, 0).value(NoteAttributes::kFont).toMap();
    EXPECT_EQ(font.value("name").toString(), "Helvetica-Bold");
    EXPECT_DOUBLE_EQ(font.value("size").toDouble(), 14.0);
    EXPECT_EQ(attributesAt(*decoded, 0).value(NoteAttributes::kWeight).toInt(), 1);
    EXPECT_EQ(attributesAt(*decoded, 3).value(NoteAttributes::kLink).toString(), "https://example.com/");
    EXPECT_EQ(attributesAt(*decoded, 3).value(NoteAttributes::kUnderline).toInt(), 1);
    const QVariantMap attachment = attributesAt(*decoded, 7).value(NoteAttributes::kAttachment).toMap();
    EXPECT_EQ(attachment.value("identifier").toString(), "ATT-1");
    EXPECT_EQ(attachment.value("type").toString(), "public.jpeg");
    // Lengths count UTF-16 units: the emoji's two belong to the red run.
    EXPECT_EQ(decoded->runs[3].location, 8);
    EXPECT_EQ(decoded->runs[3].length, 6);
    EXPECT_DOUBLE_EQ(attributesAt(*decoded, 9).value(NoteAttributes::kColor).toMap().value("red").toDouble(), 1.0);
}

TEST(NoteDocument, RunsAlwaysCoverTheTextWithoutGaps)
{
    struct Case {
        const char *name;
        QList<NoteRun> runs;
        QList<std::pair<qsizetype, qsizetype>> expected;
    };
    const QList<Case> cases = {
        {"runs past the end are cut", {NoteRun{4}, NoteRun{100}}, {{0, 4}, {4, 6}}},
        {"text no run covers is plain", {NoteRun{3}}, {{0, 3}, {3, 7}}},
        {"empty runs are skipped", {NoteRun{0}, NoteRun{10}}, {{0, 10}}},
        {"no runs", {}, {{0, 10}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto decoded = NoteDocument::decode(NoteStoreEncoder::gzip(NoteStoreEncoder::message("0123456789", c.runs)));
        ASSERT_TRUE(decoded);
        QList<std::pair<qsizetype, qsizetype>> got;
        for (const auto &run : decoded->runs)
            got.append({run.location, run.length});
        EXPECT_EQ(got, c.expected);
    }
}

TEST(NoteDocument, RefusesWhatDoesNotParse)
{
    const QByteArray good = NoteStoreEncoder::message("text", {NoteRun{4}});
    QByteArray group;
    NoteStoreEncoder::key(group, 2, 3); // a group start, which notes never use
    QByteArray runWithoutLength;
    {
        QByteArray note;
        NoteStoreEncoder::bytesField(note, 2, "x");
        NoteStoreEncoder::bytesField(note, 5, QByteArray("\x18\x01", 2));
        QByteArray document;
        NoteStoreEncoder::bytesField(document, 3, note);
        NoteStoreEncoder::bytesField(runWithoutLength, 2, document);
    }
    QByteArray hugeVarint(12, char(0xff));
    struct Case {
        const char *name;
        QByteArray data;
    };
    const QList<Case> cases = {
        {"empty", {}},
        {"not gzip", good},
        {"truncated gzip", NoteStoreEncoder::gzip(good).chopped(9)},
        {"length past the end", NoteStoreEncoder::gzip(good.left(good.size() - 2) + "\x2a\x7f")},
        {"group wire type", NoteStoreEncoder::gzip(group)},
        {"no note", NoteStoreEncoder::gzip(QByteArray("\x08\x01", 2))},
        {"run without length", NoteStoreEncoder::gzip(runWithoutLength)},
        {"varint without end", NoteStoreEncoder::gzip(hugeVarint)},
        {"NUL bytes", NoteStoreEncoder::gzip(QByteArray(64, '\0'))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_FALSE(NoteDocument::decode(c.data, &error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(NoteDocument, InflatedSizeIsCapped)
{
    const QByteArray zeros = NoteStoreEncoder::gzip(QByteArray(100000, '\0'));
    EXPECT_LT(zeros.size(), 1000);
    EXPECT_FALSE(NoteDocument::gunzip(zeros, 99999));
    const auto whole = NoteDocument::gunzip(zeros, 100000);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), 100000);
    // Larger than the decoder's own cap: refused without inflating it all.
    QString error;
    EXPECT_FALSE(NoteDocument::decode(NoteStoreEncoder::gzip(QByteArray(NoteDocument::kMaxInflatedBytes + 1, '\0')), &error));
    EXPECT_EQ(error, "inflated body too large");
}

TEST(NoteHTMLWriter, WritesEscapedHTMLThatValidates)
{
    TypedAttributedString text;
    text.string = QString::fromUtf8("<b>\"Tom\" & 'Jerry'</b>\n\nline\x01two\xef\xbf\xbc end");
    const qsizetype picture = text.string.indexOf(QChar::ObjectReplacementCharacter);
    const QVariantMap evilFont{{"name", "Evil'\"><script>-Bold"}, {"size", 13.0}};
    text.runs = {
        {0, 23, {{NoteAttributes::kFont, evilFont}, {NoteAttributes::kLink, "javascript:\"><x>"}}},
        {23, picture - 23, {{NoteAttributes::kUnderline, 1}}},
        {picture, 1, {{NoteAttributes::kAttachmentFile, "/tmp/a\"b<c>.jpg"}}},
        {picture + 1, text.string.size() - picture - 1, {}},
    };
    const QString html = NoteHTMLWriter::html(text, "Pick \"Reload\" & more");
    EXPECT_TRUE(html.startsWith("<!DOCTYPE html"));
    EXPECT_FALSE(html.contains("<b>"));
    EXPECT_FALSE(html.contains("<script>"));
    EXPECT_FALSE(html.contains("<x>"));
    EXPECT_FALSE(html.contains(QChar(1)));
    EXPECT_TRUE(html.contains("&lt;b&gt;&quot;Tom&quot; &amp; &#39;Jerry&#39;&lt;/b&gt;"));
    EXPECT_TRUE(html.contains("font-weight: bold"));
    EXPECT_TRUE(html.contains("<p><br></p>")); // the empty line keeps its height
    EXPECT_TRUE(html.contains("<img alt=\"Pick &quot;Reload&quot; &amp; more\" style=\"width:90%;\" "
                              "src=\"/tmp/a&quot;b&lt;c&gt;.jpg\">"))
        << html.toStdString();
    EXPECT_TRUE(html.contains("linetwo"));
    EXPECT_EQ(xmllintErrors(html), "");
}

TEST(NoteHTMLWriter, LoneSurrogatesAndBrokenRunsDoNotBreakTheDocument)
{
    TypedAttributedString text;
    text.string = QString(QChar(0xd800)) + "ok";
    text.runs = {{0, 3, {}}, {2, 100, {}}, {-1, 2, {}}};
    const QString html = NoteHTMLWriter::html(text, {});
    EXPECT_TRUE(html.contains(QChar(QChar::ReplacementCharacter)));
    EXPECT_TRUE(html.contains("ok"));
    EXPECT_EQ(xmllintErrors(html), "");
}
