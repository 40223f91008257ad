// The main window's modes without a device: the mode table (view, toolbar set, controller,
// noun and tests) for every mode, search routing, the window interface as a list controller
// sees it, the toolbar edits, and the dividers kept per mode across restarts.

#include "RecordingListController.h"
#include "TestHome.h"
#include "TestWait.h"
#include "interfaces/WindowInterface.h"
#include "platform/UserDefaults.h"
#include "window/FRWindow.h"
#include "window/LNSSourceListView.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMap>
#include <QProgressBar>
#include <QSplitter>

#include <gtest/gtest.h>

namespace {

using Mode = DeviceFilesWindow::Mode;

const QStringList kAllItems{"Print Main Item Identifier",  "Upload Item Identifier",      "New Folder Item Identifier",
                            "Delete Item Identifier",      "iTunes Item Identifier",      "iPhoto Item Identifier",
                            "Mail Item Identifier",        "Edit Item Identifier",        "New Note Item Identifier",
                            "Address Book Item Identifier", "Archive Item Identifier",    "Backups Item Identifier"};

QStringList itemsOf(const FRWindow &window)
{
    QStringList items;
    for (const QString &id : window.toolbarIdentifiers())
        if (kAllItems.contains(id))
            items << id;
    items.sort();
    return items;
}

QStringList sorted(QStringList list)
{
    for (QString &id : list)
        id += " Item Identifier";
    list.sort();
    return list;
}

void switchTo(FRWindow &window, const QString &mode)
{
    window.setCurrentMode(mode);
    window.changeModes();
}

// A window set up as at start-up, with its seven controllers, without a device.
struct ShellWindow
{
    ShellWindow()
    {
        controllers.setOn(window);
        window.awakeFromNib();
    }
    FRWindow window{nullptr, nullptr};
    RecordingControllers controllers;
};

} // namespace

TEST(Modes, EveryModeHasItsViewToolbarSetControllerAndTests)
{
    TestHome home;
    ShellWindow shell;
    FRWindow &window = shell.window;
    RecordingControllers &c = shell.controllers;
    struct Case
    {
        const char *mode;
        Mode flag;
        const char *view;
        RecordingListController *controller;
        const char *noun;
        QStringList toolbar; // the items present afterwards
        bool music, playable, watchable;
    };
    const QStringList media{"iTunes", "Archive", "Backups"};
    const Case cases[] = {
        {"SMS", Mode::Messages, "smsView", &c.sms, "", {"Print Main", "Archive", "Backups"}, false, false, false},
        {"VOICEMAIL", Mode::Voicemail, "voicemailBrowser", &c.itunes, "Voicemail", media, false, true, false},
        {"LOG", Mode::Calls, "callBrowser", &c.calls, "", {"Print Main", "Archive", "Backups"}, false, false, false},
        {"CONTACTS", Mode::Contacts, "addressBrowser", &c.address, "", {"Address Book", "Archive", "Backups"}, false,
         false, false},
        {"NOTES", Mode::Notes, "noteView", &c.notes, "", {"Print Main", "Mail", "Archive", "Backups"}, false, false, false},
        {"WEB", Mode::Bookmarks, "bookmarkBrowser", &c.bookmarks, "", {"Print Main", "Archive", "Backups"}, false, false,
         false},
        {"FILESHARING", Mode::FileSharing, "fsBrowserView", nullptr, "Apps",
         {"Upload", "New Folder", "Delete", "Archive", "Backups"}, false, false, false},
        {"FILE", Mode::Files, "fsBrowserView", nullptr, "", {"Upload", "New Folder", "Delete", "Archive", "Backups"},
         false, false, false},
        {"MUSIC", Mode::Music, "musicBrowser", &c.itunes, "Track", media, true, true, false},
        {"VIDEO", Mode::Music, "musicBrowser", &c.itunes, "Video", media, true, false, true},
        {"AUDIOBOOK", Mode::Music, "musicBrowser", &c.itunes, "Book", media, true, false, false},
        {"PODCAST", Mode::Music, "musicBrowser", &c.itunes, "Podcast", media, true, true, false},
        {"RINGTONE", Mode::Music, "musicBrowser", &c.itunes, "Ringtone", media, true, true, false},
        // Photos are sent to an album folder: the send-to item is there.
        {"PHOTOS", Mode::Photos, "photoBrowser", &c.iphoto, "", {"iPhoto", "Delete", "Archive", "Backups"}, false, false,
         false},
        {"RECORDINGS", Mode::VoiceMemos, "recordingsBrowser", &c.itunes, "", media, false, true, false},
        {"MUSICVIDEO", Mode::Music, "musicBrowser", &c.itunes, "Music Video", media, true, false, true},
        {"MOVIES", Mode::Music, "musicBrowser", &c.itunes, "Movie", media, true, false, true},
        {"TVSHOW", Mode::Music, "musicBrowser", &c.itunes, "TV Show", media, true, false, true},
    };
    // Twice round, so every mode is also entered from every kind of toolbar.
    for (int round = 0; round < 2; ++round) {
        for (const Case &k : cases) {
            SCOPED_TRACE(k.mode);
            switchTo(window, k.mode);
            EXPECT_EQ(window.windowMode(), k.flag);
            ASSERT_NE(window.currentModeView(), nullptr);
            EXPECT_EQ(window.currentModeView()->objectName(), k.view);
            EXPECT_EQ(window.controllerForCurrentMode(), k.controller);
            EXPECT_EQ(window.subModeName(), k.noun);
            EXPECT_EQ(itemsOf(window), sorted(k.toolbar));
            const WindowInterface &asSeen = window;
            EXPECT_EQ(asSeen.isMusicMode(), k.music);
            EXPECT_EQ(asSeen.isPlayableMusicMode(), k.playable);
            EXPECT_EQ(asSeen.isWatchableMode(), k.watchable);
            EXPECT_EQ(asSeen.isSMSMode(), k.flag == Mode::Messages);
            EXPECT_EQ(asSeen.isPhotoMode(), k.flag == Mode::Photos);
            EXPECT_EQ(asSeen.dataController(), &c.sms);
        }
    }
    // Without a device nothing is loaded, whatever the lists hold.
    for (RecordingListController *controller : c.all())
        EXPECT_FALSE(controller->names().contains("refreshSMS")) << controller->names().join(",").toStdString();
}

TEST(Modes, TheToolbarClampsInsertionsAndDropsTheContactsItemInWeb)
{
    TestHome home;
    ShellWindow shell;
    FRWindow &window = shell.window;
    // Contacts brings the address-book item; Web must not leave it standing.
    switchTo(window, "CONTACTS");
    EXPECT_GE(window.indexOfToolbarItemWithIdentifier("Address Book Item Identifier"), 0);
    switchTo(window, "WEB");
    EXPECT_EQ(window.indexOfToolbarItemWithIdentifier("Address Book Item Identifier"), -1);

    // On a toolbar shorter than the offsets, items go first instead of before the start.
    window.removeThese(window.toolbarIdentifiers(), {});
    EXPECT_TRUE(window.toolbarIdentifiers().isEmpty());
    window.removeThese({}, {"Mail Item Identifier", "Archive Item Identifier", "Delete Item Identifier"});
    EXPECT_EQ(window.toolbarIdentifiers(),
              (QStringList{"Archive Item Identifier", "Mail Item Identifier", "Delete Item Identifier"}));
    EXPECT_EQ(window.indexOfToolbarItemWithIdentifier("nothing"), -1);
}

TEST(Modes, SearchGoesToTheModesControllerAndEndsWithTheMode)
{
    TestHome home;
    ShellWindow shell;
    FRWindow &window = shell.window;
    RecordingControllers &c = shell.controllers;
    switchTo(window, "SMS");
    c.clear();
    c.sms.keepsFinding = true;

    window.searchField()->setText("hello");
    EXPECT_EQ(c.sms.argumentsOf("beginSearch"), QStringList{"hello"});
    EXPECT_TRUE(window.isFinding());
    // A new text cancels the running search first.
    window.searchField()->setText("help");
    EXPECT_EQ(c.sms.names(), (QStringList{"beginSearch", "cancelFindString", "beginSearch"}));
    for (RecordingListController *other : {&c.calls, &c.itunes, &c.address})
        EXPECT_TRUE(other->names().isEmpty());

    // Leaving the mode stops the search and brings the whole list back.
    c.clear();
    switchTo(window, "MUSIC");
    EXPECT_EQ(c.sms.names(), (QStringList{"cancelFindString", "beginSearch"}));
    EXPECT_EQ(c.sms.argumentsOf("beginSearch"), QStringList{""});
    EXPECT_TRUE(window.searchField()->text().isEmpty());
    EXPECT_FALSE(window.isFinding());

    window.searchField()->setText("song");
    EXPECT_EQ(c.itunes.argumentsOf("beginSearch"), QStringList{"song"});

    // Disk mode has no list to search.
    switchTo(window, "FILE");
    c.clear();
    window.searchField()->setText("x");
    for (RecordingListController *controller : c.all())
        EXPECT_TRUE(controller->names().isEmpty());
    EXPECT_FALSE(window.isFinding());
}

TEST(Modes, SpinnersShowOnlyInTheOpenWindowWithTheDataGroupExpanded)
{
    TestHome home;
    ShellWindow shell;
    FRWindow &window = shell.window;
    WindowInterface &asSeen = window;

    asSeen.doSMSSpinner(true); // the strip only: nothing to show it in
    EXPECT_FALSE(window.spinnerShown("SMS"));

    window.setWindowSize(true, false);
    asSeen.doSMSSpinner(true);
    asSeen.doNotesSpinner(true);
    EXPECT_TRUE(window.spinnerShown("SMS"));
    EXPECT_TRUE(window.spinnerShown("NOTES"));
    // A load starts the backup bar as indeterminate.
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.backupProgressTimerRunning());
    window.doSetBackupProgressValue();
    EXPECT_EQ(window.backupProgress()->maximum(), 0);
    EXPECT_FALSE(window.backupProgress()->isHidden());

    asSeen.doSMSSpinner(false);
    EXPECT_FALSE(window.spinnerShown("SMS"));
    EXPECT_TRUE(window.backupProgress()->isHidden());
    EXPECT_FALSE(window.backupProgressTimerRunning());

    // Collapsing the Data group hides every spinner, and none shows while it is collapsed.
    LNSSourceListView *list = window.sourceListView();
    list->collapse(list->model()->index(0, 0));
    EXPECT_FALSE(window.spinnerShown("NOTES"));
    asSeen.doCallSpinner(true);
    EXPECT_FALSE(window.spinnerShown("LOG"));
}

TEST(Modes, StartupStateExistsBeforeTheDeviceLayerStarts)
{
    TestHome home;
    struct Watching : FRWindow
    {
        Watching() : FRWindow(nullptr, nullptr) {}
        void finishLaunching() override
        {
            seenMode = currentMode();
            seenWindowMode = windowMode();
            FRWindow::finishLaunching();
        }
        QString seenMode;
        Mode seenWindowMode = Mode::Other;
    } window;
    window.awakeFromNib();
    EXPECT_EQ(window.seenMode, "SMS");
    EXPECT_EQ(window.seenWindowMode, Mode::Messages);
}

// Each split view keeps its own divider: leaving a mode stores it, quitting stores the one
// shown, and the next run (reading the stored file again) brings every one back, as it does
// the expanded window's height.
TEST(Modes, DividersAreKeptPerModeAcrossRestarts)
{
    TestHome home;
    struct Case
    {
        const char *mode;
        const char *key;
        int extent; // of the pane whose extent is kept: the note below, the left pane elsewhere
        int builtIn;
    };
    const Case cases[] = {
        {"SMS", "SMS_SPLITVIEW_WIDTH", 180, 130},
        {"FILESHARING", "SHARING_SPLITVIEW_WIDTH2", 190, 139},
        {"NOTES", "NOTES_SPLITVIEW_HEIGHT", 150, -1}, // half the split view
        {"PHOTOS", "ALBUMS_SPLITVIEW_WIDTH", 210, 130},
        {"CONTACTS", "GROUPS_SPLITVIEW_WIDTH", 170, 130},
        {"WEB", "BOOKMARKS_SPLITVIEW_WIDTH", 220, 130},
    };
    UserDefaults &defaults = UserDefaults::standard();
    auto keptExtent = [](QSplitter *split) {
        return split->orientation() == Qt::Vertical ? split->sizes().last() : split->sizes().first();
    };
    // The program shows the strip, finds no device at first (the strip closes up again, which
    // must not store the strip's squeezed views), and a device then expands it.
    auto expandedWindow = [](ShellWindow &shell) {
        FRWindow &window = shell.window;
        window.show();
        window.closeup();
        window.setWindowSize(true, false);
        return waitUntil([&] { return window.splitViewForMode("NOTES")->height() > 200; });
    };
    QMap<QString, QList<int>> kept;
    {
        ShellWindow shell;
        FRWindow &window = shell.window;
        ASSERT_TRUE(expandedWindow(shell));
        for (const Case &c : cases) {
            SCOPED_TRACE(c.mode);
            switchTo(window, c.mode);
            QSplitter *split = window.splitViewForMode(c.mode);
            const int total = split->orientation() == Qt::Vertical ? split->height() : split->width();
            EXPECT_EQ(keptExtent(split), c.builtIn < 0 ? total / 2 : c.builtIn); // nothing stored yet
            const int rest = total - c.extent - split->handleWidth();
            split->setSizes(split->orientation() == Qt::Vertical ? QList<int>{rest, c.extent} : QList<int>{c.extent, rest});
            ASSERT_EQ(keptExtent(split), c.extent);
            kept[c.mode] = split->sizes();
        }
        // Every mode left stored its divider; quitting in Notes stores the notes divider and
        // leaves the collapsed panes' values alone.
        switchTo(window, "NOTES");
        window.closeup();
        for (const Case &c : cases)
            EXPECT_EQ(defaults.integerForKey(c.key), c.extent) << c.key;
    }
    defaults.synchronize(); // the next run reads the stored file
    {
        ShellWindow shell;
        FRWindow &window = shell.window;
        ASSERT_TRUE(expandedWindow(shell));
        for (const Case &c : cases) {
            SCOPED_TRACE(c.mode);
            switchTo(window, c.mode);
            EXPECT_EQ(window.splitViewForMode(c.mode)->sizes(), kept[c.mode]);
        }
        // A taller window is remembered from the second collapse on (the first stores 414).
        window.resize(window.width(), 520);
        window.closeup();
    }
    defaults.synchronize();
    {
        ShellWindow shell;
        FRWindow &window = shell.window;
        ASSERT_TRUE(expandedWindow(shell));
        EXPECT_EQ(window.height(), 520);
        // The note keeps its height in the taller window; the list takes the rest.
        switchTo(window, "NOTES");
        QSplitter *notes = window.splitViewForMode("NOTES");
        EXPECT_EQ(notes->sizes().last(), 150);

        // A stored note divider that leaves the list less than 8 points starts over at 100.
        switchTo(window, "PHOTOS");
        defaults.setInteger(notes->height() - 4, "NOTES_SPLITVIEW_HEIGHT");
        switchTo(window, "NOTES");
        EXPECT_EQ(notes->sizes().last(), 100);
    }
}
