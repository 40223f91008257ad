#pragma once
// A device controller connected to the fixture device tests/fixtures/files/phone, for the
// file-access, status-line and app tests: a fresh home, a throw-away device folder
// (QUILLON_SIM_DEVICES) with a copy of the fixture, a local folder for downloads, and a
// window that answers the file-access calls with a mode and counts the test sets.
//
// The controller is connected directly (makeConnection on the attached device) rather than
// through the start-up choice, so these tests run no discovery threads. Main thread only.

#include "TestWait.h"
#include "RecordingWindow.h"
#include "TestHome.h"
#include "device/AppController.h"
#include "interfaces/DeviceFilesWindow.h"

#include <QHash>
#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>

class FilesWindow : public RecordingWindow, public DeviceFilesWindow
{
public:
    Mode windowMode() const override { return mode.load(); }
    bool selectionIsInUserArea() const override { return userArea.load(); }
    int itemCount(Mode m) const override { return counts.value(int(m)); }
    QString subModeName() const override { return subMode; }
    void clearItemCounts() override { counts.clear(); }
    void reportCantGetDirectoriesError(int code) override { directoryErrors << code; }
    void reloadData() override { ++reloads; }
    void appsChanged() override { ++appsChanges; }
    void appIconFetched(const QString &bundleId) override { iconsFetched << bundleId; }

    std::atomic<Mode> mode{Mode::Files};
    std::atomic<bool> userArea{true};
    QHash<int, int> counts;
    QString subMode = QStringLiteral("Track");
    QList<int> directoryErrors;
    int reloads = 0;
    int appsChanges = 0;
    QStringList iconsFetched;
};

struct FilesRig
{
    // `settings` is merged over the fixture's device.plist (top-level keys).
    explicit FilesRig(const QVariantMap &settings = {});
    ~FilesRig();

    // Attaches the device and connects the controller; false (with a test failure) when not.
    bool connect();

    // Paths into the simulated device's folders and into the local folder.
    QString media(const QString &relative = {}) const;
    QString device(const QString &relative = {}) const;
    QString local(const QString &relative = {}) const;
    // The device's fault file ({} removes it).
    void setFaults(const QVariantMap &faults);

    TestHome home;
    QTemporaryDir sim;
    QTemporaryDir localDir;
    FilesWindow window;
    std::unique_ptr<AppController> controller;

private:
    QByteArray mPrevious;
    bool mHadPrevious = false;
    AMDeviceRef mDevice = nullptr;
};

// Reads a whole local file.
QByteArray readLocal(const QString &path);
// Writes a local file with `size` bytes of a fixed pattern; returns the bytes.
QByteArray writePattern(const QString &path, qint64 size, int seed = 0);
