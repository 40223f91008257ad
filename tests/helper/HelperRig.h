#pragma once
// A home for QuillonHelper runs: its own HOME and XDG folders, a folder of simulated devices,
// and a stand-in Quillon (a script with an entry "quillon.desktop" in the application
// database) that leaves a marker when started. The stand-in's name is unique to the test
// process, so Quillons other people run on the machine never count as "running".

#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

class HelperRig
{
public:
    HelperRig();
    ~HelperRig();

    QString home() const { return mHome.path(); }
    QString dataHome() const { return home() + "/.local/share"; }
    QString autostart() const { return home() + "/.config/autostart"; }
    QString installedHelper() const { return dataHome() + "/Quillon/QuillonHelper"; }
    QString entry() const { return dataHome() + "/applications/quillon.desktop"; }
    QString standIn() const { return mStandIn; }
    QString marker() const { return home() + "/started"; }
    bool quillonStarted() const;

    // Writes the stand-in's entry naming `program` (default: the stand-in).
    void writeEntry(const QString &program = {});

    // Attaches a device: `name` empty gives one without "DeviceName".
    void attach(const QString &folder, const QString &name, bool wifi = false);

    QProcessEnvironment environment() const;
    // Starts a helper program (default: the built one) in this home.
    void start(QProcess &helper, const QString &program = {}) const;
    // Waits until the helper's error output holds `text` `times` times.
    bool waitForLog(QProcess &helper, const QString &text, int times = 1);
    QString log(QProcess &helper);
    // Waits for the helper to end; true when it ended by itself with status 0.
    bool endsCleanly(QProcess &helper, int timeoutMs = 10000);

private:
    QTemporaryDir mHome;
    QTemporaryDir mDevices;
    QTemporaryDir mStaging;
    QString mStandIn;
    QHash<QProcess *, QString> mLogs;
};

// Ends a helper that still runs.
void stopProcess(QProcess &process);
