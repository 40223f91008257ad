#include "interfaces/MessageTextLayout.h"

#include "messages/MessageFonts.h"
#include "platform/TypedStream.h"

#include <algorithm>
#include <atomic>

namespace {

// Every character 0.6 of its style's size wide, every line 1.2 of the tallest size in it;
// lines break at the last space before the width, or inside a word wider than the width.
class FixedAdvanceLayout final : public MessageTextLayout
{
public:
    QSizeF measure(const TypedAttributedString &text, double width) override
    {
        const auto fonts = MessageFonts::current();
        auto sizeAt = [&](qsizetype i) {
            for (const auto &run : text.runs)
                if (i >= run.location && i < run.location + run.length)
                    return fonts->size(MessageStyle::fromKey(run.attributes.value(MessageStyle::attribute).toString()));
            return fonts->size(MessageStyle::Normal);
        };
        double widest = 0, height = 0, line = 0, lineHeight = 0, sinceBreak = 0;
        auto endLine = [&](double w) {
            widest = std::max(widest, w);
            height += lineHeight > 0 ? lineHeight : 1.2 * fonts->size(MessageStyle::Normal);
            lineHeight = 0;
        };
        for (qsizetype i = 0; i < text.string.size(); ++i) {
            const QChar c = text.string.at(i);
            if (c.isLowSurrogate())
                continue;
            const double size = sizeAt(i);
            if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
                endLine(line);
                line = sinceBreak = 0;
                continue;
            }
            const double advance = 0.6 * size;
            lineHeight = std::max(lineHeight, 1.2 * size);
            if (width > 0 && line + advance > width && line > 0) {
                const bool canBreak = sinceBreak < line;
                endLine(canBreak ? line - sinceBreak : line);
                line = canBreak ? sinceBreak : 0;
                sinceBreak = line;
                lineHeight = 1.2 * size;
            }
            line += advance;
            sinceBreak = c == QLatin1Char(' ') ? 0 : sinceBreak + advance;
        }
        if (line > 0 || lineHeight > 0 || height == 0)
            endLine(line);
        return {widest, height};
    }
};

FixedAdvanceLayout gFixed;
std::atomic<MessageTextLayout *> gInstalled{nullptr};

} // namespace

MessageTextLayout *MessageTextLayout::installed()
{
    MessageTextLayout *layout = gInstalled.load();
    return layout ? layout : &gFixed;
}

void MessageTextLayout::install(MessageTextLayout *layout) { gInstalled.store(layout); }
