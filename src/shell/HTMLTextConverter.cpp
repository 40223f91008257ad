// The holder of the installed HTML converter and the fallback used without one.

#include "interfaces/HTMLTextConverter.h"

#include <QRegularExpression>

#include <atomic>

namespace {

class TagDroppingConverter : public HTMLTextConverter
{
public:
    QString plainTextFromHTML(const QString &html) const override
    {
        static const QRegularExpression breaks(QStringLiteral("<\\s*(br|/p|/div)\\b[^>]*>"),
                                               QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression tags(QStringLiteral("<[^>]*>"));
        QString text = html;
        text.replace(breaks, QStringLiteral("\n"));
        text.remove(tags);
        text.replace(QLatin1String("&lt;"), QLatin1String("<"));
        text.replace(QLatin1String("&gt;"), QLatin1String(">"));
        text.replace(QLatin1String("&quot;"), QLatin1String("\""));
        text.replace(QLatin1String("&#39;"), QLatin1String("'"));
        text.replace(QLatin1String("&nbsp;"), QLatin1String(" "));
        text.replace(QLatin1String("&amp;"), QLatin1String("&"));
        return text;
    }
};

std::shared_ptr<const HTMLTextConverter> gInstalled;

} // namespace

void HTMLTextConverter::install(std::shared_ptr<const HTMLTextConverter> converter)
{
    std::atomic_store(&gInstalled, std::move(converter));
}

std::shared_ptr<const HTMLTextConverter> HTMLTextConverter::converter()
{
    static const auto fallback = std::make_shared<TagDroppingConverter>();
    auto installed = std::atomic_load(&gInstalled);
    return installed ? installed : fallback;
}
