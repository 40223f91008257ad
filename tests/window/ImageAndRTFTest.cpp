// The window library's image converter and RTF writer, read back by QImage and by unrtf.

#include "ImageFixtures.h"
#ifdef QUILLON_HAVE_LIBHEIF
#include "HeifFixtures.h"
#endif
#include "TestHome.h"
#include "interfaces/HTMLTextConverter.h"
#include "interfaces/ImageConverter.h"
#include "window/GuiProviders.h"
#include "window/QtImageConverter.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

QColor colourAt(const QImage &image, double fx, double fy)
{
    return image.pixelColor(int(fx * image.width()), int(fy * image.height()));
}

bool near(const QColor &a, QRgb b)
{
    return qAbs(a.red() - qRed(b)) < 60 && qAbs(a.green() - qGreen(b)) < 60 && qAbs(a.blue() - qBlue(b)) < 60;
}

const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255), kBlack = qRgb(0, 0, 0);

} // namespace

TEST(ImageConverter, QuarterTurnMovesPixelXYToHeightMinusYX)
{
    // 80 x 40: not square, so a turn that only fits 4:3 or squares shows.
    const QtImageConverter converter;
    const QByteArray png = ImageFixtures::encoded(ImageFixtures::quadrants(80, 40), "PNG");
    const QByteArray turned = converter.quarterTurnedJPEG(png, ImageConverter::kJPEGQuality);
    QImage image;
    ASSERT_TRUE(image.loadFromData(turned, "JPEG"));
    EXPECT_EQ(image.size(), QSize(40, 80));
    // Source top left (red) lands top right; top right (green) bottom right; bottom left
    // (blue) top left; bottom right (black) bottom left.
    EXPECT_TRUE(near(colourAt(image, 0.75, 0.25), kRed));
    EXPECT_TRUE(near(colourAt(image, 0.75, 0.75), kGreen));
    EXPECT_TRUE(near(colourAt(image, 0.25, 0.25), kBlue));
    EXPECT_TRUE(near(colourAt(image, 0.25, 0.75), kBlack));
}

TEST(ImageConverter, OrientationIsReadAndAppliedWhenReencoding)
{
    const QtImageConverter converter;
    const QImage source = ImageFixtures::quadrants(80, 40);
    struct Case {
        int stored;
        QSize upright;
    };
    for (const Case &c : {Case{1, {80, 40}}, Case{3, {80, 40}}, Case{6, {40, 80}}, Case{8, {40, 80}}}) {
        SCOPED_TRACE(c.stored);
        const QByteArray jpeg = ImageFixtures::jpegWithOrientation(source, c.stored);
        EXPECT_EQ(converter.orientation(jpeg), c.stored);
        QImage upright;
        ASSERT_TRUE(upright.loadFromData(converter.uprightJPEG(jpeg, ImageConverter::kJPEGQuality), "JPEG"));
        EXPECT_EQ(upright.size(), c.upright);
    }
    // Orientation 6 turns clockwise: red, top left in the stored pixels, shows top right.
    QImage six;
    ASSERT_TRUE(six.loadFromData(converter.uprightJPEG(ImageFixtures::jpegWithOrientation(source, 6), 75), "JPEG"));
    EXPECT_TRUE(near(colourAt(six, 0.75, 0.25), kRed));
    // A PNG stores none: upright as it is.
    EXPECT_EQ(converter.orientation(ImageFixtures::encoded(source, "PNG")), 1);
}

TEST(ImageConverter, ScalesToExactSize)
{
    const QtImageConverter converter;
    QImage scaled;
    ASSERT_TRUE(scaled.loadFromData(converter.scaledToSize(ImageFixtures::encoded(ImageFixtures::quadrants(80, 40), "PNG"), 24, 24), "PNG"));
    EXPECT_EQ(scaled.size(), QSize(24, 24));
    EXPECT_TRUE(near(colourAt(scaled, 0.1, 0.1), kRed));
    EXPECT_TRUE(converter.scaledToSize(ImageFixtures::encoded(ImageFixtures::quadrants(8, 8), "PNG"), 0, 24).isEmpty());
}

TEST(ImageConverter, WhatNothingDecodesGivesNothing)
{
    const QtImageConverter converter;
    const QByteArray png = ImageFixtures::encoded(ImageFixtures::quadrants(16, 16), "PNG");
    for (const QByteArray &bytes : {QByteArray(), QByteArray("not a picture\0\x01", 15), png.left(png.size() / 2),
                                    QByteArray("\xFF\xD8\xFF\xE1\xFF\xFF", 6)}) {
        SCOPED_TRACE(bytes.toHex().toStdString());
        EXPECT_TRUE(converter.uprightJPEG(bytes, 75).isEmpty());
        EXPECT_TRUE(converter.quarterTurnedJPEG(bytes, 75).isEmpty());
        EXPECT_TRUE(converter.scaledToSize(bytes, 24, 24).isEmpty());
    }
    EXPECT_EQ(converter.orientation(QByteArray("not a picture")), 0);
}

#ifdef QUILLON_HAVE_LIBHEIF
TEST(ImageConverter, HEICPhotosAreReadAndTurnedUpright)
{
    const QtImageConverter converter;
    const QImage source = ImageFixtures::quadrants(80, 40);
    const QByteArray six = HeifFixtures::heicWithOrientation(source, 6);
    ASSERT_FALSE(six.isEmpty());
    EXPECT_EQ(converter.orientation(six), 6);
    EXPECT_EQ(converter.orientation(HeifFixtures::heicWithOrientation(source, 1)), 1);
    // Upright: turned clockwise, red (top left as stored) shows top right.
    QImage upright;
    ASSERT_TRUE(upright.loadFromData(converter.uprightJPEG(six, ImageConverter::kJPEGQuality), "JPEG"));
    EXPECT_EQ(upright.size(), QSize(40, 80));
    EXPECT_TRUE(near(colourAt(upright, 0.75, 0.25), kRed));
    // A cut-off HEIC decodes to nothing, so its bytes are kept as they came.
    EXPECT_TRUE(converter.uprightJPEG(six.left(six.size() / 2), 75).isEmpty());
    EXPECT_EQ(converter.orientation(six.left(40)), 0);
}
#endif

TEST(ImageConverter, StartUpInstallsIt)
{
    GuiProviders::install();
    ASSERT_TRUE(ImageConverter::converter());
    EXPECT_EQ(ImageConverter::converter()->orientation(ImageFixtures::jpegWithOrientation(ImageFixtures::quadrants(8, 8), 6)), 6);
}

namespace {

// The text unrtf reads out of RTF data, without its header lines.
QString unrtfText(const QByteArray &rtf)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("t.rtf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(rtf) != rtf.size())
        return QStringLiteral("<unwritable>");
    file.close();
    QProcess unrtf;
    unrtf.start(QStringLiteral("unrtf"), {QStringLiteral("--text"), file.fileName()});
    if (!unrtf.waitForFinished(30000) || unrtf.exitCode() != 0)
        return QStringLiteral("<unrtf failed: %1>").arg(QString::fromLocal8Bit(unrtf.readAllStandardError()));
    QStringList lines;
    for (const QString &line : QString::fromUtf8(unrtf.readAllStandardOutput()).split(QLatin1Char('\n')))
        if (!line.startsWith(QLatin1String("###")) && !line.startsWith(QLatin1String("-----")))
            lines.append(line);
    return lines.join(QLatin1Char('\n')).trimmed();
}

} // namespace

TEST(RTFWriter, UnrtfReadsBackTheTextOfStyledHTML)
{
    GuiProviders::install();
    const auto converter = HTMLTextConverter::converter();
    struct Case {
        const char *html;
        const char *text;
    };
    const Case cases[] = {
        {"<div>Shopping</div><div><b>milk</b> and <i>bread</i></div>", "Shopping\nmilk and bread"},
        {"<p><span style=\"color:#ff0000; font-size:18pt\">red</span> <u>under</u></p>", "red under"},
        {"<a href=\"https://example.com/?a=1&amp;b=&quot;2&quot;\">the link</a>", "the link"},
        {"braces {x} and back\\slash", "braces {x} and back\\slash"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.html);
        const QByteArray rtf = converter->rtfFromHTML(QString::fromUtf8(c.html));
        EXPECT_TRUE(rtf.startsWith("{\\rtf1"));
        EXPECT_EQ(unrtfText(rtf), QString::fromUtf8(c.text));
    }
    const QByteArray styled = converter->rtfFromHTML(QStringLiteral("<b>B</b><i>I</i><u>U</u><a href=\"https://x.test/\">L</a>"));
    for (const char *word : {"\\b ", "\\i ", "\\ul ", "HYPERLINK \"https://x.test/\""})
        EXPECT_TRUE(styled.contains(word)) << word << "\n" << styled.toStdString();
    // unrtf's text output is ASCII only: what lies beyond is checked in the RTF itself, one
    // \u per UTF-16 unit (a signed 16-bit number) with its fallback.
    const QByteArray wide = converter->rtfFromHTML(QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    EXPECT_TRUE(wide.contains("caf\\u233? \\u8364? \\u-10179?\\u-8704?")) << wide.toStdString();
}

TEST(RTFWriter, PlainTextFallbackIsReadableRTF)
{
    const QByteArray rtf = HTMLTextConverter::rtfFromPlainText(QStringLiteral("one\r\ntwo\rthree\nfour\ttab {x}\x01"));
    // unrtf writes a tab as blanks and a line end: compared word by word.
    EXPECT_EQ(unrtfText(rtf).simplified(), QStringLiteral("one two three four tab {x}"));
    EXPECT_EQ(unrtfText(rtf).left(13), QStringLiteral("one\ntwo\nthree"));
}
