#pragma once
// HTML to plain text, for core code that reads HTML message parts and note bodies. Rendering
// HTML needs Qt's text engine (QtGui), which core does not link: the window installs the
// converter at start-up, and core reaches it through converter(). Without one installed the
// tags are dropped and the common entities decoded, which is enough for tests and tools.
//
// Any thread: the installed converter must not wait for the main thread, and install()
// happens once at start-up before other threads ask. The same holds for RTF.

#include <QString>

#include <memory>

class HTMLTextConverter
{
public:
    virtual ~HTMLTextConverter() = default;
    virtual QString plainTextFromHTML(const QString &html) const = 0;
    // The HTML as an RTF document with its styles and links, from the one RTF writer
    // (window/RTFWriter). The base answers the plain text as RTF.
    virtual QByteArray rtfFromHTML(const QString &html) const;

    // Text as RTF body text: control words for the characters RTF reserves, tabs and line
    // breaks, \u for everything outside ASCII; other control characters are dropped.
    static QByteArray rtfEscaped(const QString &text);
    // A whole RTF document holding `text` unstyled, one paragraph per line.
    static QByteArray rtfFromPlainText(const QString &text);

    static void install(std::shared_ptr<const HTMLTextConverter> converter);
    // The installed converter, or the tag-dropping fallback.
    static std::shared_ptr<const HTMLTextConverter> converter();
};
