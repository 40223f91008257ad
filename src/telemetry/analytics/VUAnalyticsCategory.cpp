#include "telemetry/analytics/VUAnalyticsCategory.h"

#include "telemetry/analytics/VUAnalytics.h"

#include <QStringList>

#include <atomic>
#include <mutex>

namespace {

const QString kViewControllerSuffix = QStringLiteral("ViewController");

std::atomic<bool> gActivated{false};
std::mutex gMissedLock;
QString gMissedPageViewName;

} // namespace

void VUAnalyticsCategory::activateCategory()
{
    gActivated = true;
}

bool VUAnalyticsCategory::isActivated()
{
    return gActivated.load();
}

QString VUAnalyticsCategory::missedPageViewName()
{
    std::lock_guard guard(gMissedLock);
    return gMissedPageViewName;
}

bool VUAnalyticsCategory::shouldTrackPageView(const QString &className)
{
    static const QStringList excluded{QStringLiteral("QSplitter"), QStringLiteral("QTabWidget"),
                                      QStringLiteral("QStackedWidget")};
    return !excluded.contains(className);
}

QString VUAnalyticsCategory::pageNameForClassName(const QString &className)
{
    QString name = className;
    name.replace(QStringLiteral("::"), QStringLiteral("."));
    if (const qsizetype dot = name.lastIndexOf(QLatin1Char('.')); dot >= 0)
        name = name.mid(dot + 1);
    if (name.endsWith(kViewControllerSuffix) && name.size() > kViewControllerSuffix.size())
        name.chop(kViewControllerSuffix.size());
    return name;
}

void VUAnalyticsCategory::viewWillAppear(const QString &className)
{
    if (!isActivated() || !VUAnalytics::isAutoPageTrackingEnabled() || !shouldTrackPageView(className))
        return;
    const QString name = pageNameForClassName(className);
    if (VUAnalytics::sharedInstance()->isAvailable()) {
        {
            std::lock_guard guard(gMissedLock);
            gMissedPageViewName.clear();
        }
        VUAnalytics::trackPage(name);
    } else {
        std::lock_guard guard(gMissedLock);
        gMissedPageViewName = name;
    }
}

void VUAnalyticsCategory::resetForTesting()
{
    gActivated = false;
    std::lock_guard guard(gMissedLock);
    gMissedPageViewName.clear();
}
