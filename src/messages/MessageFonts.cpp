#include "messages/MessageFonts.h"

#include "shell/Defaults.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex gTableLock;
std::shared_ptr<const MessageFontTable> gTable; // gTableLock
std::atomic<uint64_t> gGeneration{1};

std::shared_ptr<const MessageFontTable> makeTable()
{
    auto table = std::make_shared<MessageFontTable>();
    const double size = preferenceDouble(QStringLiteral("MSG_SIZE"));
    table->textSize = size > 0 ? size : 10;
    return table;
}

} // namespace

namespace MessageStyle {

QString key(Style style)
{
    switch (style) {
    case Normal: return QStringLiteral("normal");
    case White: return QStringLiteral("white");
    case Header: return QStringLiteral("header");
    case BoldHeader: return QStringLiteral("boldHeader");
    case MediaTitle: return QStringLiteral("mediaTitle");
    case Big: return QStringLiteral("big");
    }
    return QStringLiteral("normal");
}

Style fromKey(const QString &key)
{
    for (Style style : {Normal, White, Header, BoldHeader, MediaTitle, Big})
        if (MessageStyle::key(style) == key)
            return style;
    return Normal;
}

} // namespace MessageStyle

double MessageFontTable::size(MessageStyle::Style style) const
{
    using namespace MessageStyle;
    const double s = textSize;
    switch (style) {
    case Normal:
    case White: return s < 15 ? s + 1 : s + 3;
    case Header:
    case BoldHeader: return s - 0.5;
    case MediaTitle: return s;
    case Big: return 40;
    }
    return s;
}

uint32_t MessageFontTable::colour(MessageStyle::Style style) const
{
    using namespace MessageStyle;
    switch (style) {
    case White: return 0xFFFFFFFF;
    case Header:
    case BoldHeader: return 0xFF808080;
    case MediaTitle: return 0xFF0000FF;
    default: return 0;
    }
}

double MessageFontTable::headerHeight() const
{
    return textSize < 15 ? textSize + 7 : textSize + 11;
}

namespace MessageFonts {

std::shared_ptr<const MessageFontTable> current()
{
    std::lock_guard lock(gTableLock);
    if (!gTable)
        gTable = makeTable();
    return gTable;
}

void resetFontAttributes()
{
    auto table = makeTable();
    {
        std::lock_guard lock(gTableLock);
        gTable = std::move(table);
    }
    gGeneration.fetch_add(1);
}

uint64_t generation() { return gGeneration.load(); }

} // namespace MessageFonts

#include "platform/TypedStream.h"

namespace MessageStyle {

void append(TypedAttributedString &to, const QString &text, Style style)
{
    if (text.isEmpty())
        return;
    TypedAttributedString::Run run;
    run.location = to.string.size();
    run.length = text.size();
    run.attributes.insert(attribute, key(style));
    to.string += text;
    to.runs.append(run);
}

Style styleAt(const TypedAttributedString &text, qsizetype at)
{
    for (const auto &run : text.runs)
        if (at >= run.location && at < run.location + run.length)
            return fromKey(run.attributes.value(attribute).toString());
    return Normal;
}

} // namespace MessageStyle
