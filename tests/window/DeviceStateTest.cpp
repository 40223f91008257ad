// The device menu's order, shortcuts and check mark, and the error sheets and panels of the
// main window (without a device controller: what the window does with a report).

#include "TestHome.h"
#include "TestWait.h"
#include "device/AppController.h"
#include "window/DevicesMenu.h"
#include "window/ErrorSheet.h"
#include "window/FRInfoPanel.h"
#include "window/FRWindow.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

namespace {

ConnectedDeviceEntry device(const QString &name, const QString &uid, int interfaceType)
{
    return ConnectedDeviceEntry(name, uid, interfaceType, nullptr);
}

QStringList column(const DevicesMenu &menu, QString DevicesMenu::Item::*field)
{
    QStringList values;
    for (const DevicesMenu::Item &item : menu.items())
        values << item.*field;
    return values;
}

QList<FRInfoPanel *> panels(const QWidget &window)
{
    QList<FRInfoPanel *> found;
    for (FRInfoPanel *panel : window.findChildren<FRInfoPanel *>())
        if (panel->isVisible())
            found << panel;
    return found;
}

} // namespace

TEST(DevicesMenu, SortsByTitleThenConnectionAndGivesTheFirstNineShortcuts)
{
    constexpr int usb = AppController::kInterfaceUSB;
    constexpr int wifi = AppController::kInterfaceWiFi;
    struct Case
    {
        const char *name;
        QList<ConnectedDeviceEntry> entries;
        bool useWifi;
        QStringList uids, images, keys;
    };
    QList<ConnectedDeviceEntry> ten;
    QStringList tenUids;
    for (int i = 9; i >= 0; --i)
        ten << device(QStringLiteral("Device %1").arg(i), QStringLiteral("d%1").arg(i), usb);
    for (int i = 0; i < 10; ++i)
        tenUids << QStringLiteral("d%1").arg(i);
    const Case cases[] = {
        {"same name: USB before Wi-Fi, case ignored",
         {device("Phone", "w", wifi), device("phone", "u", usb), device("alpha", "a", wifi)},
         true, {"a", "u", "w"}, {"wifi", "usb", "wifi"}, {"1", "2", "3"}},
        {"without Wi-Fi use: no images, equal titles keep their order",
         {device("Phone", "w", wifi), device("Phone", "u", usb)},
         false, {"w", "u"}, {"", ""}, {"1", "2"}},
        {"ten devices: the tenth has no shortcut",
         ten, false, tenUids, QStringList(10, QString()), {"1", "2", "3", "4", "5", "6", "7", "8", "9", ""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DevicesMenu menu;
        menu.setContents(c.entries, c.useWifi);
        QStringList uids;
        for (const DevicesMenu::Item &item : menu.items())
            uids << item.entry.uid();
        EXPECT_EQ(uids, c.uids);
        EXPECT_EQ(column(menu, &DevicesMenu::Item::image), c.images);
        EXPECT_EQ(column(menu, &DevicesMenu::Item::keyEquivalent), c.keys);
        EXPECT_EQ(menu.popupSelection(), -1);
    }
}

TEST(DevicesMenu, ChecksTheFirstItemOfTheSameUidAndInterface)
{
    DevicesMenu menu;
    menu.setContents({device("A", "a", 1), device("B", "b", 1), device("B", "b", 2)}, true);
    auto checks = [&] {
        QList<bool> marks;
        for (const DevicesMenu::Item &item : menu.items())
            marks << item.checked;
        return marks;
    };

    menu.setSelection("b", 2);
    EXPECT_EQ(checks(), (QList<bool>{false, false, true}));
    EXPECT_EQ(menu.popupSelection(), 2);
    // The same uid over another interface is another item.
    menu.setSelection("b", 1);
    EXPECT_EQ(menu.popupSelection(), 1);
    // The walk stops at the match: the items below keep their marks.
    EXPECT_EQ(checks(), (QList<bool>{false, true, true}));
    menu.setSelection("nobody", 1);
    EXPECT_EQ(checks(), (QList<bool>{false, false, false}));
    EXPECT_EQ(menu.popupSelection(), -1);
}

TEST(ErrorSheet, ShowsReportsOneAtATimeAQuarterSecondAfterTheyArrive)
{
    TestHome home;
    FRWindow window(nullptr, nullptr);
    window.show();
    ErrorSheet &sheets = *window.errorSheet();

    EXPECT_EQ(ErrorSheet::messageWithCode("Failed.", 0), "Failed.");
    EXPECT_EQ(ErrorSheet::messageWithCode("Failed.", -28), "Failed.\n (Error: -28)");
    EXPECT_EQ(ErrorSheet::messageWithCode("Failed.", 3892314230), "Failed.\n (Error: 3892314230)");

    // Two reports from a worker: the first opens after 0.25 s, the second waits for it.
    QElapsedTimer sinceReport;
    sinceReport.start();
    std::thread worker([&] {
        window.reportError("First", "One went wrong.", -28);
        window.reportError("Second", "Another went wrong.", 0);
    });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return sheets.waitingReports() == 2 || sheets.attachedSheet(); }));
    if (sinceReport.elapsed() < 200) {
        EXPECT_EQ(sheets.attachedSheet(), nullptr);
    }
    ASSERT_TRUE(waitUntil([&] { return sheets.attachedSheet() != nullptr; }));
    EXPECT_GE(sinceReport.elapsed(), ErrorSheet::kDelayMs);
    QMessageBox *first = sheets.attachedSheet();
    EXPECT_EQ(first->text(), "First");
    EXPECT_EQ(first->informativeText(), "One went wrong.\n (Error: -28)");
    EXPECT_EQ(first->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheets.waitingReports(), 1);

    QElapsedTimer sinceClose;
    sinceClose.start();
    first->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(waitUntil([&] { return sheets.attachedSheet() != nullptr; }));
    EXPECT_GE(sinceClose.elapsed(), ErrorSheet::kDelayMs);
    EXPECT_EQ(sheets.attachedSheet()->text(), "Second");
    EXPECT_EQ(sheets.attachedSheet()->informativeText(), "Another went wrong.");

    // The device going away ends the sheet about it.
    window.setupDevice();
    EXPECT_EQ(sheets.attachedSheet(), nullptr);
    EXPECT_EQ(window.statusText(), "Starting up...");
    EXPECT_EQ(window.statusColour(), "orange");
    window.setupDevice(); // no device came meanwhile
    EXPECT_EQ(window.statusText(), "No Device Connected");
    EXPECT_EQ(window.statusColour(), "red");
}

TEST(ErrorSheet, DeviceErrorsHaveTheirTextsAndOnlyOneContactPanelShows)
{
    TestHome home;
    FRWindow window(nullptr, nullptr);
    window.show();
    ErrorSheet &sheets = *window.errorSheet();

    struct Case
    {
        const char *name;
        std::function<void()> report;
        QString title, message;
    };
    const Case cases[] = {
        {"passcode: no code line", [&] { window.reportPassCodeError(int(0xe8000096)); }, "Device Not Trusted",
         "Quillon can't make a connection to this device. Unlock the device, open iTunes on the Mac, and check to "
         "see if the device is displaying a message about trusting the computer."},
        {"device software: with its own code", [&] { window.reportiTunes81Required(); }, "Error Connecting to Device",
         "Quillon requires a newer version of iTunes. Please update your software before using Quillon.\n\nIf you "
         "already have the latest version of iTunes installed, please download and reinstall iTunes from the maker's "
         "web site.\n (Error: -28)"},
        {"listing: with the code", [&] { window.reportCantGetDirectoriesError(-3333); }, "Error Connecting to Device",
         "An error occurred accessing your device. Please try again or contact customer support for help.\n (Error: -3333)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.report();
        ASSERT_TRUE(waitUntil([&] { return sheets.attachedSheet() != nullptr; }));
        EXPECT_EQ(sheets.attachedSheet()->text(), c.title);
        EXPECT_EQ(sheets.attachedSheet()->informativeText(), c.message);
        sheets.endAttachedSheet();
        ASSERT_TRUE(waitUntil([&] { return sheets.attachedSheet() == nullptr; }));
    }

    // "Unable to Contact Device": a second one while the first is up is only logged.
    gShowingError.store(false);
    window.showErrorOnMain();
    window.showErrorOnMain();
    ASSERT_EQ(panels(window).size(), 1);
    EXPECT_EQ(panels(window).first()->title(), "Unable to Contact Device");
    EXPECT_TRUE(gShowingError.load());
    panels(window).first()->button(1)->click();
    EXPECT_FALSE(gShowingError.load());
    ASSERT_TRUE(waitUntil([&] { return panels(window).isEmpty(); }));
    window.showErrorOnMain();
    EXPECT_EQ(panels(window).size(), 1);
    gShowingError.store(false);
}
