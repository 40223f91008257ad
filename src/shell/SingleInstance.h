#pragma once
// Only one Quillon per user data folder: two copies would write the same archive databases
// and saved manifests.
//
// The check runs in main before anything touches the archive folder. The decision is an
// exclusive lock on a file in the data folder, held until the process ends (the kernel
// releases it even after a crash), so of two copies started together exactly one survives.
// Main thread, once per process.

#include <QString>

class SingleInstance
{
public:
    enum class Result { Acquired, AlreadyRunning, Failed };

    // Takes the lock in `folder` (made when missing). The lock is kept for the life of the
    // process; calling again after Acquired returns Acquired.
    static Result acquire(const QString &folder, QString *error = nullptr);
    // The lock file's name inside the data folder.
    static QString lockFileName() { return QStringLiteral("Quillon.lock"); }

    // The texts of the refusal.
    static QString alreadyRunningTitle();
    static QString alreadyRunningText();
};
