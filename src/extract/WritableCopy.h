#pragma once
// A local copy of a device database opened for editing before it is written back to the
// device (the notes, messages and call-history databases). It opens only an existing regular
// file (never creating one by mistake, never a pipe), runs each edit as one transaction
// that is rolled back unless committed, and on closing checkpoints the write-ahead log into
// the file, so the file alone, as it is restored onto the device, holds every change.
//
// Ownership: owns the handle. Threads: the thread that opened it.

#include <QString>

struct sqlite3;

class WritableCopy
{
public:
    WritableCopy() = default;
    ~WritableCopy() { close(); }
    WritableCopy(const WritableCopy &) = delete;
    WritableCopy &operator=(const WritableCopy &) = delete;

    // SQLITE_OK or the engine's code (SQLITE_CANTOPEN for a missing or irregular file);
    // message() tells why.
    int open(const QString &path);
    // A new database file at `path`, which must not exist yet.
    int create(const QString &path);
    // Checkpoints and closes; nothing when not open.
    void close();
    sqlite3 *handle() const { return mDb; }
    QString message() const { return mMessage; }

    // BEGIN IMMEDIATE: the write lock is taken now, so no step of the edit waits for it.
    int begin();
    int commit();
    // Rolls back an open transaction (also done by close() for one never committed).
    void rollback();

private:
    int openWith(const QString &path, int flags);

    sqlite3 *mDb = nullptr;
    QString mMessage;
};
