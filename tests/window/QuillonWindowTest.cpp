// The real window and the real device controller in this process, against a copy of the
// fixture device tests/fixtures/devices/usb-phone: the strip while no device is there, the
// expanded window with the device's status line, file work on the live app with the free
// space that follows it, and the strip again once the device has gone.

#include "RecordingListController.h"
#include "TestHome.h"
#include "TestWait.h"
#include "device/AppController.h"
#include "device/DeviceTimings.h"
#include "platform/UserDefaults.h"
#include "shell/AppDelegate.h"
#include "shell/VarnekLogger.h"
#include "backup/BackupSessionFlags.h"
#include "backup/ui/BackupPasswordSheet.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"
#include "window/ErrorSheet.h"
#include "window/FRWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {

// Generous: sanitizer builds run the device layer several times slower.
constexpr int kDeviceWaitMs = 20000;

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray writeBytes(const QString &path, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 977) & 0xff);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return bytes;
}

// What the device counts as used: the sizes of the regular files of its media area.
uint64_t usedBytes(const QString &mediaFolder)
{
    uint64_t total = 0;
    QDirIterator it(mediaFolder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += uint64_t(it.fileInfo().size());
    }
    return total;
}

// A device folder that the device library watches; devices come and go by whole-folder
// renames, so the library never sees half a device.
class SimDevicesFolder
{
public:
    SimDevicesFolder()
    {
        mHadPrevious = qEnvironmentVariableIsSet("QUILLON_SIM_DEVICES");
        mPrevious = qgetenv("QUILLON_SIM_DEVICES");
        qputenv("QUILLON_SIM_DEVICES", mWatched.path().toUtf8());
    }
    ~SimDevicesFolder()
    {
        if (mHadPrevious)
            qputenv("QUILLON_SIM_DEVICES", mPrevious);
        else
            qunsetenv("QUILLON_SIM_DEVICES");
    }

    QString device(const QString &name) const { return mWatched.path() + QLatin1Char('/') + name; }

    // `prepare` may change the copy before the device appears.
    bool attachCopyOf(const QString &fixture, const QString &name,
                      const std::function<bool(const QString &)> &prepare = {})
    {
        const QString staging = mStaging.path() + QLatin1Char('/') + name;
        QDir(staging).removeRecursively();
        return copyTree(fixturePath(QStringLiteral("devices/") + fixture), staging) && (!prepare || prepare(staging))
               && QDir().rename(staging, device(name));
    }
    bool detach(const QString &name)
    {
        const QString gone = mStaging.path() + QStringLiteral("/gone-") + name;
        return QDir().rename(device(name), gone) && QDir(gone).removeRecursively();
    }

private:
    QTemporaryDir mWatched;
    QTemporaryDir mStaging; // beside it, on the same file system
    QByteArray mPrevious;
    bool mHadPrevious = false;
};

// The program's objects, made and started in the main interface's order, and ended with
// the controller first (its threads read the window).
struct LiveQuillon
{
    LiveQuillon()
    {
        deviceTimings().reset();
        deviceTimings().startupChoiceMs = 50;
        deviceTimings().connectRetryMs = 20;
        deviceTimings().freeSpaceIntervalMs = 50;
        UserDefaults::standard().setBool(true, QStringLiteral("DEBUG_LOG"));
        FRWindow::load();
        controller = std::make_unique<AppController>();
        window = std::make_unique<FRWindow>(controller.get(), &delegate);
        delegate.mainWindow = window.get();
        controller->awakeFromNib();
        window->awakeFromNib();
        window->show();
    }
    ~LiveQuillon()
    {
        window->appWillTerminate();
        gBail.store(false);
        controller.reset();
        QCoreApplication::processEvents();
        window.reset();
        deviceTimings().reset();
    }

    // The status line redrawn now rather than at the next tick of its 5 s timer.
    bool statusBecomes(const QString &text, int timeoutMs = kDeviceWaitMs)
    {
        return waitUntil([&] {
            window->updateStatus();
            return window->statusText() == text;
        }, timeoutMs);
    }

    AppDelegate delegate;
    std::unique_ptr<AppController> controller;
    std::unique_ptr<FRWindow> window;
};

QString freeSpaceLine(const QString &media)
{
    const uint64_t free = 1000000000 - usedBytes(media) - AppController::kFreeSpaceReserve;
    return QStringLiteral("Test iPhone Connected via USB (%1 Available)").arg(AppController::getSizeText(free));
}

} // namespace

TEST(QuillonWindow, ShowsTheDeviceFollowsFileWorkOnTheLiveAppAndCollapsesWhenItGoes)
{
    TestHome home;
    SimDevicesFolder sim;
    LiveQuillon q;
    FRWindow &window = *q.window;

    // No device: after the start-up wait the strip says so, in red, and stays collapsed.
    ASSERT_TRUE(waitUntil([&] { return window.statusText() == "No Device Connected"; }, kDeviceWaitMs))
        << qPrintable(window.statusText());
    EXPECT_EQ(window.statusColour(), "red");
    EXPECT_FALSE(window.opened());
    EXPECT_EQ(window.height(), FRWindow::kCollapsedHeight);
    EXPECT_EQ(window.windowMode(), DeviceFilesWindow::Mode::Messages);

    // The device comes: the window expands from the strip and shows it.
    ASSERT_TRUE(sim.attachCopyOf("usb-phone", "phone"));
    ASSERT_TRUE(waitUntil([&] { return window.opened(); }, kDeviceWaitMs));
    // Messages mode without a loaded list: name and connection only.
    EXPECT_TRUE(q.statusBecomes("Test iPhone Connected via USB")) << qPrintable(window.statusText());
    EXPECT_EQ(window.statusColour(), "green");
    EXPECT_EQ(window.windowTitle(), "Quillon - Test iPhone");
    EXPECT_EQ(window.height(), FRWindow::kDefaultOpenedHeight);
    ASSERT_EQ(window.devicesMenu().items().size(), 1);
    EXPECT_EQ(window.devicesMenu().items().first().title, "Test iPhone");
    EXPECT_TRUE(window.devicesMenu().items().first().checked);
    EXPECT_EQ(window.devicesMenu().popupSelection(), 0);

    // Disk mode lists the media area and shows its free space.
    AppController *c = gSharedAppController.load();
    ASSERT_EQ(c, q.controller.get());
    window.setCurrentMode("FILE");
    window.changeModes();
    EXPECT_EQ(window.windowMode(), DeviceFilesWindow::Mode::Files);
    EXPECT_EQ(c->getPathsForDir("/"), QStringList{"/Fernlow/readme.txt"});
    const QString media = sim.device("phone") + "/media";
    EXPECT_TRUE(q.statusBecomes(freeSpaceLine(media))) << qPrintable(window.statusText());

    // Downloads and uploads run on a transfer thread while the window goes on drawing.
    QTemporaryDir local;
    auto onTransferThread = [&](std::function<int()> work) {
        auto result = std::async(std::launch::async, std::move(work));
        EXPECT_TRUE(waitUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, kDeviceWaitMs));
        return result.get();
    };
    c->resetCopyOperation();
    EXPECT_EQ(onTransferThread([&] { return c->downloadFile("readme.txt", local.filePath("readme.txt"), false, false); }), 0);
    EXPECT_EQ(fileBytes(local.filePath("readme.txt")), fileBytes(fixturePath("devices/usb-phone/media/Fernlow/readme.txt")));

    const QByteArray upload = writeBytes(local.filePath("upload.bin"), 3 * 1048576 + 5);
    c->resetCopyOperation();
    EXPECT_EQ(onTransferThread([&] { return c->uploadFile(local.filePath("upload.bin"), "upload.bin"); }), 0);
    EXPECT_EQ(fileBytes(media + "/Fernlow/upload.bin"), upload);
    EXPECT_EQ(c->bytesTransferred(), uint64_t(upload.size()));

    EXPECT_EQ(c->rename("upload.bin", "renamed.bin"), 0);
    EXPECT_EQ(c->newFolder("/", "Box"), 0);
    EXPECT_EQ(c->moveFile("renamed.bin", "Box/renamed.bin"), 0);
    EXPECT_EQ(c->trashFile("readme.txt"), 0);

    EXPECT_FALSE(QFileInfo::exists(media + "/Fernlow/readme.txt"));
    EXPECT_FALSE(QFileInfo::exists(media + "/Fernlow/upload.bin"));
    EXPECT_EQ(fileBytes(media + "/Fernlow/Box/renamed.bin"), upload);
    window.refreshThings();
    EXPECT_EQ(c->getPathsForDir("/"), QStringList{"/Fernlow/Box"});
    EXPECT_EQ(c->getPathsForDir("/Box"), QStringList{"/Fernlow/Box/renamed.bin"});
    EXPECT_EQ(window.errorSheet()->attachedSheet(), nullptr);
    // The free space follows the writes (3 MB less than before).
    EXPECT_TRUE(q.statusBecomes(freeSpaceLine(media))) << qPrintable(window.statusText());

    // The device goes: the strip shows that no device is there.
    ASSERT_TRUE(sim.detach("phone"));
    ASSERT_TRUE(waitUntil([&] { return !window.opened(); }, kDeviceWaitMs));
    EXPECT_TRUE(waitUntil([&] { return window.statusText() == "No Device Connected"; }, kDeviceWaitMs))
        << qPrintable(window.statusText());
    EXPECT_EQ(window.statusColour(), "red");
    EXPECT_EQ(window.windowTitle(), "Quillon");
    EXPECT_EQ(window.height(), FRWindow::kCollapsedHeight);
    EXPECT_TRUE(window.devicesMenu().items().isEmpty());
    // The remembered height is kept for the next device.
    EXPECT_EQ(UserDefaults::standard().doubleForKey("OPENEDHEIGHT7"), double(FRWindow::kDefaultOpenedHeight));
}

TEST(QuillonWindow, EveryModeOfTheSourceListShowsItsViewAndLoadsOnlyWhatIsMissing)
{
    TestHome home;
    SimDevicesFolder sim;
    LiveQuillon q;
    FRWindow &window = *q.window;
    RecordingControllers lists;
    lists.setOn(window);
    ASSERT_TRUE(sim.attachCopyOf("usb-phone", "phone"));
    ASSERT_TRUE(waitUntil([&] { return window.opened(); }, kDeviceWaitMs));
    ASSERT_TRUE(waitUntil([&] { return q.controller->connectedStatus(); }, kDeviceWaitMs));

    const QList<std::pair<QString, QString>> rows{
        {"SMS", "smsView"},          {"VOICEMAIL", "voicemailBrowser"}, {"LOG", "callBrowser"},
        {"CONTACTS", "addressBrowser"}, {"NOTES", "noteView"},           {"WEB", "bookmarkBrowser"},
        {"FILESHARING", "fsBrowserView"}, {"FILE", "fsBrowserView"},     {"MUSIC", "musicBrowser"},
        {"VIDEO", "musicBrowser"},   {"AUDIOBOOK", "musicBrowser"},     {"PODCAST", "musicBrowser"},
        {"RINGTONE", "musicBrowser"}, {"PHOTOS", "photoBrowser"},       {"RECORDINGS", "recordingsBrowser"},
    };
    for (const auto &[mode, view] : rows) {
        SCOPED_TRACE(mode.toStdString());
        ASSERT_TRUE(window.selectSourceListMode(mode));
        EXPECT_EQ(window.currentMode(), mode);
        ASSERT_NE(window.currentModeView(), nullptr);
        EXPECT_EQ(window.currentModeView()->objectName(), view);
        EXPECT_TRUE(window.currentModeView()->isVisible());
    }

    // Lists that hold the device's data are not loaded again; media modes always load.
    struct Case
    {
        const char *mode;
        bool haveData;
        RecordingListController *asked;
        const char *call;
    };
    const Case cases[] = {
        {"CONTACTS", false, &lists.address, "refreshAddresses"},
        {"CONTACTS", true, nullptr, nullptr},
        {"NOTES", false, &lists.notes, "refreshNotes"},
        {"NOTES", true, nullptr, nullptr},
        {"LOG", false, &lists.calls, "refreshCalls"},
        {"LOG", true, nullptr, nullptr},
        {"WEB", true, nullptr, nullptr},
        {"SMS", false, nullptr, nullptr}, // an iPhone without its archive yet
        {"MUSIC", true, &lists.itunes, "refreshTracks"},
        {"VOICEMAIL", true, &lists.itunes, "refreshTracks"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.haveData ? " with data" : " without data"));
        ASSERT_TRUE(window.selectSourceListMode("FILE"));
        for (RecordingListController *list : lists.all()) {
            list->data = c.haveData;
            list->clear();
        }
        ASSERT_TRUE(window.selectSourceListMode(c.mode));
        QStringList refreshes;
        for (RecordingListController *list : lists.all())
            for (const QString &name : list->names())
                if (name.startsWith("refresh"))
                    refreshes << name;
        if (c.asked)
            EXPECT_TRUE(c.asked->names().contains(c.call)) << refreshes.join(",").toStdString();
        else
            EXPECT_TRUE(refreshes.isEmpty()) << refreshes.join(",").toStdString();
    }
    EXPECT_EQ(lists.itunes.argumentsOf("refreshTracks").last(), "VOICEMAIL YES");

    // Once the iPhone's archive exists, its messages load too.
    int error = 0;
    ASSERT_TRUE(q.controller->getBackupDB(QString(), &error)) << error;
    ASSERT_TRUE(waitUntil([&] { return q.controller->currentDeviceArchiveExists(); }));
    ASSERT_TRUE(window.selectSourceListMode("FILE"));
    for (RecordingListController *list : lists.all()) {
        list->data = false;
        list->clear();
    }
    ASSERT_TRUE(window.selectSourceListMode("SMS"));
    EXPECT_EQ(lists.sms.argumentsOf("refreshSMS"), QStringList{"YES"});
}

TEST(QuillonWindow, AnEncryptedDeviceAsksForItsPasswordOnceAndASecondRequestReusesTheFiles)
{
    TestHome home;
    SimDevicesFolder sim;
    LiveQuillon q;
    deviceTimings().mediaAppSettleMs = 50;
    deviceTimings().passwordPollMs = 10;
    FRWindow &window = *q.window;
    RecordingControllers lists;
    lists.setOn(window);
    const QMap<QString, QByteArray> personal{
        {"HomeDomain/Library/SMS/sms.db", "the messages"},
        {"HomeDomain/Library/AddressBook/AddressBook.sqlitedb", "the contacts"},
        {"MediaDomain/Library/SMS/Attachments/ab/IMG_1.jpg", "a picture"},
        {"HomeDomain/Library/Preferences/com.example.plist", "not wanted"},
    };
    // The device keeps its backups encrypted with a password.
    ASSERT_TRUE(sim.attachCopyOf("usb-phone", "phone", [&](const QString &staging) {
        QVariantMap settings = PropertyList::fromData(fileBytes(staging + "/device.plist")).value_or(QVariant()).toMap();
        settings.insert("BackupPassword", "correct horse");
        settings.insert("BackupPasswordIterations", 10);
        QFile plist(staging + "/device.plist");
        if (!plist.open(QIODevice::WriteOnly) || plist.write(PropertyList::toData(settings, PropertyList::Format::Xml)) < 0)
            return false;
        for (auto it = personal.begin(); it != personal.end(); ++it) {
            const QString path = staging + "/personal/" + it.key();
            QFile file(path);
            if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
                return false;
            file.write(it.value());
        }
        return true;
    }));
    ASSERT_TRUE(waitUntil([&] { return window.opened(); }, kDeviceWaitMs));
    ASSERT_TRUE(waitUntil([&] { return q.controller->connectedStatus(); }, kDeviceWaitMs));

    // The user opens a list that comes from the device's backup, and its load thread asks
    // for the data.
    ASSERT_TRUE(window.selectSourceListMode("CONTACTS"));
    AppController *c = q.controller.get();
    auto request = [c] { return std::async(std::launch::async, [c] { return c->getBackupData(); }); };
    auto done = [](std::future<int> &result) {
        return waitUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                         kDeviceWaitMs);
    };
    auto first = request();

    // The window's own sheet asks; the user types the password.
    auto *sheet = window.findChild<BackupPasswordSheet *>();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(waitUntil([&] { return sheet->passwordSheet() && sheet->passwordSheet()->isVisible(); }, kDeviceWaitMs));
    EXPECT_EQ(sheet->passwordSheet()->windowTitle(), "Backup Encryption Password Required");
    int answered = 0;
    QObject::connect(sheet->passwordSheet(), &QDialog::finished, [&] { ++answered; });
    sheet->passwordField()->setText("correct horse");
    sheet->passwordOK()->click();
    ASSERT_TRUE(done(first));
    ASSERT_EQ(first.get(), 1) << gDeviceError.load();

    // The wanted files arrived decrypted; what nobody wants did not.
    const QString temp = getTempDir();
    EXPECT_EQ(fileBytes(temp + "sms.db"), "the messages");
    EXPECT_EQ(fileBytes(temp + "AddressBook.sqlitedb"), "the contacts");
    EXPECT_EQ(fileBytes(temp + "ab-iMessage-IMG_1.jpg"), "a picture");
    EXPECT_FALSE(QFileInfo::exists(temp + "com.example.plist"));

    // Another list's request in the same connection reuses them: no session, no sheet.
    QFile::remove(temp + "sms.db");
    auto second = request();
    ASSERT_TRUE(done(second));
    EXPECT_EQ(second.get(), 1);
    EXPECT_FALSE(QFileInfo::exists(temp + "sms.db"));
    EXPECT_EQ(answered, 1);
    EXPECT_FALSE(sheet->passwordSheet()->isVisible());
}
