#pragma once
// A connected simulated device with personal-data files, for the live backup session
// tests: the controller rig with short session timings, a device whose "personal/" folder
// holds the files a test gives, and requests run on worker threads as the list
// controllers' load threads run them.

#include "ControllerRig.h"

#include "interfaces/BackupPasswordPrompt.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <atomic>
#include <future>

// A password prompt that answers at once, from the asking thread, with the next of its
// answers (kFailedToGetAPassword when they run out), and counts the requests.
class RecordingPrompt : public BackupPasswordPrompt
{
public:
    explicit RecordingPrompt(BackupPasswordReceiver *receiver) : mReceiver(receiver) {}
    bool promptingForPassword() const override { return false; }
    void requestBackupPassword(const QString &deviceID) override;

    QStringList answers;
    bool remember = true;
    std::atomic<int> requests{0};
    QString lastDevice;

private:
    BackupPasswordReceiver *mReceiver;
};

// The bytes of a new SQLite database made by running `sql`: a device database for the rig's
// files.
QByteArray database(const QString &sql);

struct LiveRig
{
    static inline const QString kUid = QStringLiteral("00008030-00AA11BB22CC33DD");

    LiveRig();
    ~LiveRig();
    // Attaches the device with `files` ("<domain>/<relative path>" -> contents) and waits
    // until the controller is connected to it.
    void attach(const QMap<QString, QByteArray> &files, const QVariantMap &settings = {});
    // With the rig's device detached: attaches a device in `folder` (another one, or the
    // same uid again) to the running controller and waits until the controller, by itself,
    // is connected to it.
    void attachAnother(const QString &folder, const QString &uid, const QMap<QString, QByteArray> &files);
    QString deviceFolder() const;
    void setFaults(const QVariantMap &faults) { rig.sim.setFaults(QStringLiteral("phone"), faults); }
    // getBackupData on a worker thread.
    std::future<int> request();
    // Waits for a request's result while the main thread's event loop turns.
    int wait(std::future<int> &result, int timeoutMs = 20000);
    // The files of the temporary folder (names, not the session's own backup folder).
    QStringList tempFiles() const;
    QByteArray tempFile(const QString &name) const;
    // Lines of this rig's run only (the log file is one per process).
    QString log() const { return rig.logText().mid(mLogStart); }
    int logCount(const QString &line) const { return log().count(line); }

    ControllerRig rig;
    qsizetype mLogStart = 0;
};
