// The window's launch-on-attach set-up at start-up and when the setting changes, and the
// send-logs sheet against a real server on loopback.

#include "LoopbackHttpServer.h"
#include "TestHome.h"
#include "TestWait.h"
#include "device/AppController.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "shell/AppDelegate.h"
#include "shell/HelperAppAdditions.h"
#include "shell/LaunchAtLoginController.h"
#include "shell/SystemFlags.h"
#include "window/FRInfoPanel.h"
#include "window/FRWindow.h"
#include "window/VKLogSubmitterSheet.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

LoopbackHttpServer::Response answer(int status, const QByteArray &body)
{
    LoopbackHttpServer::Response response;
    response.status = status;
    response.body = body;
    return response;
}

struct StartedWindow
{
    StartedWindow()
        : window(&controller, &delegate)
    {
        FRWindow::load();
        delegate.mainWindow = &window;
        controller.awakeFromNib();
        window.awakeFromNib();
    }
    ~StartedWindow()
    {
        window.appWillTerminate();
        gBail.store(false);
    }
    AppController controller;
    AppDelegate delegate;
    FRWindow window;
};

QList<FRInfoPanel *> visiblePanels()
{
    QList<FRInfoPanel *> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *panel = qobject_cast<FRInfoPanel *>(widget); panel && panel->isVisible())
            found << panel;
    return found;
}

// Saves a picture of `widget` when QUILLON_SCREENSHOTS names a folder (never in the test run).
void screenshot(QWidget *widget, const QString &name)
{
    const QString folder = qEnvironmentVariable("QUILLON_SCREENSHOTS");
    if (!folder.isEmpty() && widget)
        widget->grab().save(folder + "/" + name + ".png");
}

} // namespace

TEST(LaunchOnAttach, TheWindowInstallsTheHelperAtStartUpWhileTheSettingIsOn)
{
    TestHome home;
    QTemporaryDir runtime, devices;
    // The helper the window starts inherits these: its lock, its device library and devices.
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("QUILLON_MOBILEDEVICE_LIBRARY", buildPath("lib/libmobiledevice.so").toUtf8());
    const QByteArray devicesBefore = qgetenv("QUILLON_SIM_DEVICES");
    qputenv("QUILLON_SIM_DEVICES", devices.path().toUtf8());
    // A Quillon for the helper to find, so it stays and waits.
    home.writeFile(".local/share/applications/quillon.desktop", "[Desktop Entry]\nType=Application\nName=Quillon\nExec=/bin/true\n");
    UserDefaults::standard().setBool(true, "AUTOLAUNCH");
    const QString installed = HelperAppAdditions::installedHelper();
    {
        StartedWindow started;
        EXPECT_TRUE(QFileInfo(installed).isExecutable());
        EXPECT_TRUE(LaunchAtLoginController().launchAtLogin());
        EXPECT_TRUE(waitUntil([&] { return !HelperAppAdditions::runningHelpers(installed).isEmpty(); },
                              scaledTimeoutMs(5000)));

        UserDefaults::standard().setBool(false, "AUTOLAUNCH");
        started.window.stopOrStartAutoLaunch();
        EXPECT_FALSE(QFileInfo::exists(installed));
        EXPECT_FALSE(LaunchAtLoginController().launchAtLogin());
        EXPECT_TRUE(HelperAppAdditions::runningHelpers(installed).isEmpty());
    }
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("QUILLON_MOBILEDEVICE_LIBRARY");
    qputenv("QUILLON_SIM_DEVICES", devicesBefore);
}

TEST(SendLogs, TheSheetSendsOnlyValidEntriesAndTellsTheOutcome)
{
    TestHome home;
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    UserDefaults::standard().setObject(server.baseUrl(), "VULogUrl");
    home.writeFile(".local/state/Logs/Quillon/Quillon 2026-12-11.log", "a line\n");
    StartedWindow started;
    started.window.show();

    started.window.sendLogs();
    VKLogSubmitterSheet *sheet = started.window.logSubmitter();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_FALSE(sheet->debugSheetSend->isEnabled());
    sheet->debugSheetName->setText("Ann");
    sheet->debugSheetEmail->setText("ann@localhost");
    EXPECT_FALSE(sheet->debugSheetSend->isEnabled());
    sheet->debugSheetEmail->setText("ann@example.org");
    EXPECT_TRUE(sheet->debugSheetSend->isEnabled());
    screenshot(sheet, "send-logs-sheet");

    const struct
    {
        const char *answer;
        const char *title;
    } cases[] = {{"Success", "Logs Successfully Sent"}, {"Nope", "Error Sending Logs"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        server.setDefaultResponse(answer(200, c.answer));
        if (!sheet->isVisible())
            started.window.sendLogs();
        EXPECT_EQ(started.window.logSubmitter(), sheet);
        sheet->debugSheetSend->click();
        EXPECT_FALSE(sheet->debugSheetEmail->isEnabled());
        EXPECT_EQ(sheet->debugSheetSend->text(), "Sending...");
        ASSERT_TRUE(waitUntil([&] { return !visiblePanels().isEmpty(); }, scaledTimeoutMs(15000)));
        EXPECT_FALSE(sheet->isVisible());
        FRInfoPanel *panel = visiblePanels().first();
        EXPECT_EQ(panel->title(), c.title);
        screenshot(panel, QString("send-logs-%1").arg(c.answer));
        panel->close();
        QCoreApplication::processEvents();
    }
    UserDefaults::standard().removeObject("VULogUrl");
}
