// Shown windows become page views and activation changes open sessions, through the GUI
// adapter the window library installs at start-up, offscreen.
#include "AnalyticsTestSupport.h"
#include "TestWait.h"

#include "telemetry/analytics/VUAnalyticsCategory.h"
#include "telemetry/analytics/VUPageLog.h"
#include "telemetry/analytics/VUStartSessionLog.h"
#include "telemetry/core/VUUserDefaults.h"
#include "window/TelemetryProviders.h"

#include <QApplication>
#include <QMenu>
#include <QSplitter>
#include <QWidget>

class SettingsViewController : public QWidget
{
    Q_OBJECT
};

class SplitterSubclass : public QSplitter
{
    Q_OBJECT
};

namespace Quillon {
class PreferencesViewController : public QWidget
{
    Q_OBJECT
};
} // namespace Quillon

namespace {

class AnalyticsGuiTest : public AnalyticsTest
{
protected:
    void SetUp() override
    {
        AnalyticsTest::SetUp();
        static bool installed = false;
        if (!installed)
            installTelemetryProviders();
        installed = true;
    }

    QStringList pages() const
    {
        QStringList names;
        for (const auto &page : recorder->logsOf<VUPageLog>())
            names.append(page->name.value_or(QString()));
        return names;
    }

    // Shows a window and lets its events run.
    template <class W> std::unique_ptr<W> show()
    {
        auto window = std::make_unique<W>();
        window->show();
        QCoreApplication::processEvents();
        return window;
    }
};

} // namespace

TEST_F(AnalyticsGuiTest, ShownWindowsArePagesNamedAfterTheirClass)
{
    VUAnalytics::setAutoPageTrackingEnabled(true);
    // Started but switched off: a page shown now is remembered, not sent.
    VUUserDefaults::shared()->setObject(false, "kVUAnalyticsIsEnabledKey");
    startAnalytics();
    ASSERT_TRUE(VUAnalyticsCategory::isActivated());
    auto early = show<Quillon::PreferencesViewController>();
    EXPECT_TRUE(pages().isEmpty());
    EXPECT_EQ(VUAnalyticsCategory::missedPageViewName(), "Preferences");

    // Enabled: the remembered page is sent from the main thread.
    VUAnalytics::sharedInstance()->setServiceEnabled(true);
    ASSERT_TRUE(waitUntil([&] { return pages() == QStringList{"Preferences"}; }));

    auto settings = show<SettingsViewController>();
    auto splitter = show<QSplitter>();
    auto subclass = show<SplitterSubclass>();
    QMenu menu;
    menu.addAction("item");
    menu.popup(QPoint(0, 0));
    QCoreApplication::processEvents();
    // Child widgets shown with their window are not pages of their own.
    auto withChild = std::make_unique<SettingsViewController>();
    new QWidget(withChild.get());
    withChild->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(pages(), (QStringList{"Preferences", "Settings", "SplitterSubclass", "Settings"}));
    EXPECT_TRUE(VUAnalyticsCategory::missedPageViewName().isEmpty());
}

TEST_F(AnalyticsGuiTest, PagesAreNotTrackedWhileTrackingIsOff)
{
    startAnalytics();
    auto settings = show<SettingsViewController>();
    EXPECT_TRUE(pages().isEmpty());
    EXPECT_TRUE(VUAnalyticsCategory::missedPageViewName().isEmpty());
}

TEST_F(AnalyticsGuiTest, LeavingAndReturningAfterTheTimeOutOpensASession)
{
    startAnalytics();
    const auto tracker = VUAnalytics::sharedInstance()->sessionTracker();
    std::atomic<qint64> offsetMs{0};
    tracker->setClock([&offsetMs] { return QDateTime::currentDateTimeUtc().addMSecs(offsetMs); });
    ASSERT_EQ(recorder->logsOf<VUStartSessionLog>().size(), 1);

    // The offscreen platform never changes the application state itself: the test plays
    // the platform and announces the changes the adapter listens to.
    auto *app = qApp;
    emit app->applicationStateChanged(Qt::ApplicationActive);
    emit app->applicationStateChanged(Qt::ApplicationInactive);
    ASSERT_TRUE(tracker->lastEnteredBackgroundTime());
    emit app->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(recorder->logsOf<VUStartSessionLog>().size(), 1);

    // Away for longer than the time-out, with no log created meanwhile.
    emit app->applicationStateChanged(Qt::ApplicationInactive);
    offsetMs = 21'000;
    emit app->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(recorder->logsOf<VUStartSessionLog>().size(), 2);
    tracker->setClock(nullptr);
}

#include "AnalyticsGuiTest.moc"
