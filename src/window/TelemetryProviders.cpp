#include "TelemetryProviders.h"

#include "AnalyticsPageViews.h"

#include "platform/NotificationCenter.h"
#include "telemetry/analytics/VUSessionTracker.h"
#include "telemetry/core/VUApplicationState.h"
#include "telemetry/core/VUDeviceTracker.h"

#include <QGuiApplication>
#include <QScreen>

#include <atomic>

namespace {

std::atomic<int> gScreenWidth{0};
std::atomic<int> gScreenHeight{0};
std::atomic<qint64> gApplicationState{VUApplicationStateActive};

void readScreen()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize size = screen->size() * screen->devicePixelRatio();
    gScreenWidth = size.width();
    gScreenHeight = size.height();
}

void readApplicationState(Qt::ApplicationState state)
{
    gApplicationState = state == Qt::ApplicationHidden ? VUApplicationStateBackground : VUApplicationStateActive;
}

// The session tracker hears the application becoming active and leaving active as the
// design's notifications, on the main thread.
void postActivationChange(Qt::ApplicationState state)
{
    static Qt::ApplicationState previous = QGuiApplication::applicationState();
    const bool wasActive = previous == Qt::ApplicationActive;
    const bool isActive = state == Qt::ApplicationActive;
    previous = state;
    if (isActive && !wasActive)
        NotificationCenter::defaultCenter().postNotificationName(VUSessionTracker::kWillBecomeActive);
    else if (wasActive && !isActive)
        NotificationCenter::defaultCenter().postNotificationName(VUSessionTracker::kDidResignActive);
}

} // namespace

void installTelemetryProviders()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app)
        return;
    readScreen();
    readApplicationState(QGuiApplication::applicationState());
    postActivationChange(QGuiApplication::applicationState());
    QObject::connect(app, &QGuiApplication::primaryScreenChanged, app, [](QScreen *screen) {
        readScreen();
        if (screen)
            QObject::connect(screen, &QScreen::geometryChanged, screen, [] { readScreen(); });
    });
    if (QScreen *screen = QGuiApplication::primaryScreen())
        QObject::connect(screen, &QScreen::geometryChanged, screen, [] { readScreen(); });
    QObject::connect(app, &QGuiApplication::applicationStateChanged, app, readApplicationState);
    QObject::connect(app, &QGuiApplication::applicationStateChanged, app, postActivationChange);
    installAnalyticsPageViews();

    VUDeviceTracker::setScreenSizeProvider([] { return QSize(gScreenWidth.load(), gScreenHeight.load()); });
    VUApplicationStateProvider::setApplicationStateProvider([] { return gApplicationState.load(); });
    // The description made before now had no screen size.
    VUDeviceTracker::refreshDeviceNextTime();
}
