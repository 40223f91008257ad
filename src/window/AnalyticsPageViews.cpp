#include "AnalyticsPageViews.h"

#include "telemetry/analytics/VUAnalyticsCategory.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace {

class PageViewEventFilter : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            const auto *widget = static_cast<QWidget *>(watched);
            const Qt::WindowType type = widget->windowType();
            if (widget->isWindow() && type != Qt::Popup && type != Qt::ToolTip && type != Qt::SplashScreen)
                VUAnalyticsCategory::viewWillAppear(QString::fromLatin1(watched->metaObject()->className()));
        }
        return false;
    }
};

} // namespace

void installAnalyticsPageViews()
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app)
        return;
    app->installEventFilter(new PageViewEventFilter(app));
}
