#include "extract/MessageHTML.h"

#include <gtest/gtest.h>

// The stored HTML is what the archive matches duplicates by: these forms are frozen.
TEST(MessageHTML, FragmentsKeepTheirStoredForm)
{
    using namespace MessageHTML;
    EXPECT_EQ(head(), "<!doctype html><html><head><meta http-equiv=\"content-type\" content=\"text/html; "
                      "charset=UTF-8\"></head><body><FONT FACE=Helvetica>");
    EXPECT_EQ(tail(), "</font></body></html>");
    EXPECT_EQ(imageRow("a.jpg"), "<div><A HREF=\"a.jpg\"><IMG SRC=\"a.jpg\" WIDTH=100% BORDER=0/></A></div>");
    EXPECT_EQ(imagePartRow("X", "1-2.png"),
              "X<div><A HREF=\"1-2.png\"><IMG SRC=\"1-2.png\" WIDTH=100% BORDER=0/></A></div>");
    EXPECT_EQ(videoRow("X", "v.mov"), "X<div><VIDEO SRC=\"v.mov\" WIDTH=320 CONTROLS=TRUE></VIDEO></div>");
    EXPECT_EQ(audioRow("X", "a.m4a"), "X<div><AUDIO SRC=\"a.m4a\" CONTROLS=TRUE></AUDIO></div>");
    EXPECT_EQ(linkRow("X", "f.pdf", "f.pdf"), "X<div><A HREF=\"f.pdf\">f.pdf</A></div>");
    EXPECT_EQ(unavailableRow("X", "[MEDIA UNAVAILABLE]"), "X<div>[MEDIA UNAVAILABLE]</div>");
    EXPECT_EQ(textBlock("X", "Hi"), "X<div>Hi</div>");
    EXPECT_EQ(fragment("one\ntwo"), "one<br>two");
}

TEST(MessageHTML, DeviceTextIsEscapedWhereverItIsInserted)
{
    using namespace MessageHTML;
    const QString hostile = QStringLiteral("a\"><script>alert(1)</script>&");
    EXPECT_EQ(fragment(hostile), "a\"&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;");
    EXPECT_EQ(linkRow("", hostile, hostile),
              "<div><A HREF=\"a&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;\">"
              "a\"&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;</A></div>");
    EXPECT_EQ(imageRow("x\" onerror=\"y"),
              "<div><A HREF=\"x&quot; onerror=&quot;y\"><IMG SRC=\"x&quot; onerror=&quot;y\" WIDTH=100% "
              "BORDER=0/></A></div>");
}

TEST(MessageHTML, HtmlPartsLoseTheirActiveContentOnly)
{
    struct Case
    {
        const char *name;
        QString in, out;
    };
    const Case cases[] = {
        {"plain markup passes unchanged", "<p style=\"color:red\">Hi <b>you</b><br><img src=\"1.jpg\"></p>",
         "<p style=\"color:red\">Hi <b>you</b><br><img src=\"1.jpg\"></p>"},
        {"script element", "a<script type=\"text/javascript\">steal()</script>b", "ab"},
        {"unclosed script", "a<SCRIPT>steal()", "a"},
        {"iframe", "a<iframe src=\"http://x\"></iframe>b", "ab"},
        {"event handler", "<img src=\"1.jpg\" onerror=\"steal()\">", "<img src=\"1.jpg\">"},
        {"unquoted handler", "<body onload=steal()>x", "<body>x"},
        {"script address", "<a href=\"javascript:steal()\">x</a>", "<a href=\"blocked:steal()\">x</a>"},
        {"split to rejoin", "<scr<script>x</script>ipt>steal()</script>", "steal()"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MessageHTML::sanitize(c.in), c.out);
    }
}
