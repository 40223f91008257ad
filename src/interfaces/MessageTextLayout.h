#pragma once
// Measuring message texts. Core decides what a bubble holds and how tall a row is, but
// measuring text needs fonts, which core does not link: the window library implements this
// with QTextLayout and installs it at start-up. Without an installed one, core measures with
// fixed advances (every character 0.6 of its font size wide, lines 1.2 of it tall), which is
// what the core tests use, so heights in tests never depend on the fonts of the machine.
//
// A text is a TypedAttributedString whose runs name a style under the attribute "style"
// (MessageStyle::key); the point size of each style comes from MessageFonts.
//
// Any thread may call measure(); an implementation must be safe for that.

#include <QSizeF>

struct TypedAttributedString;

class MessageTextLayout
{
public:
    virtual ~MessageTextLayout() = default;
    // The size of `text` laid out in lines no wider than `width` points (0 or less: one line
    // per line end). The width is that of the widest line.
    virtual QSizeF measure(const TypedAttributedString &text, double width) = 0;

    // The installed layout, else the fixed-advance one.
    static MessageTextLayout *installed();
    static void install(MessageTextLayout *layout);
};
