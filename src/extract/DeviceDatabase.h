#pragma once
// One copied device database opened for reading (a messages, WhatsApp, contacts, calls,
// voicemail or Safari file in the temporary or a backup work folder), and what every
// extraction asks of it: its schema generation and which tables and columns it really has.
//
// The file is opened read-only and never created: a database in WAL mode is read together
// with its "-wal" journal beside it. Real device databases of one generation may lack
// columns or tables that the queries name; column() and hasTable() let a query read a
// missing column as NULL instead of failing the whole read.
//
// Ownership: owns the handle, closed on destruction. Threads: the thread that opened it.

#include <QHash>
#include <QSet>
#include <QString>

struct sqlite3;

class DeviceDatabase
{
public:
    DeviceDatabase() = default;
    ~DeviceDatabase() { close(); }
    DeviceDatabase(const DeviceDatabase &) = delete;
    DeviceDatabase &operator=(const DeviceDatabase &) = delete;

    // SQLITE_OK, or the open's code; message() then holds the engine's message ("" when no
    // handle was made). Only regular files are opened (a pipe or device node is refused).
    int open(const QString &path);
    void close();
    sqlite3 *handle() const { return mDb; }
    QString message() const { return mMessage; }

    bool hasTable(const QString &table);
    // "table.column" when the table has the column, else "NULL".
    QString column(const QString &table, const QString &column);
    bool hasColumn(const QString &table, const QString &column);

    // Whether `path` lies directly in the per-run temporary folder: the files of the
    // connected device do, the files of a backup work folder do not.
    static bool isConnectedDeviceFile(const QString &path);
    // The database and its "-wal" and "-shm" journals removed.
    static void removeWithJournals(const QString &path);

private:
    const QSet<QString> &columnsOf(const QString &table);

    sqlite3 *mDb = nullptr;
    QString mMessage;
    QHash<QString, QSet<QString>> mColumns; // lower-cased table -> lower-cased columns
};
