#pragma once
// One open archive (or backup cache) database: its SQLite handle and the statements the
// archive writers keep prepared between calls on it. Keeping the statements here, not in
// process-wide variables, means a kept statement can never be stepped against another
// database than the one it was prepared on.
//
// Ownership: shared. The handle cache holds one reference per key; every reader or writer
// holds another for as long as it works, so closing the cache never pulls a handle away from
// a thread still using it. The last holder finalises every statement of the handle (kept or
// forgotten) and closes it for real.
//
// Threads: the handle is used by one thread at a time, the one that holds localLock (the
// SQLite library is the thread-safe build). The kept statements are read and written only
// under localLock.

#include <QString>

#include <memory>

struct sqlite3;
struct sqlite3_stmt;

// How long any connection to an archive waits for another connection to the same file.
constexpr int kArchiveBusyTimeoutMs = 10000;

class ArchiveDB
{
public:
    // The statements kept between calls (the archive writers').
    enum Kept {
        CheckMessage, CheckVoicemail, CheckCall, BackPiece, BackPiecePath,
        AddMessage, AddMessageKeepingRow, KeptCount
    };

    ArchiveDB(sqlite3 *handle, const QString &key);
    ~ArchiveDB();
    ArchiveDB(const ArchiveDB &) = delete;
    ArchiveDB &operator=(const ArchiveDB &) = delete;

    sqlite3 *handle() const { return mHandle; }
    // How many handles of `key` are open in this process (cached or held anywhere).
    static int openCount(const QString &key);
    const QString &key() const { return mKey; }

    // The kept statement slot; null until a writer prepares it. Caller holds localLock.
    sqlite3_stmt *&kept(Kept which) { return mKept[which]; }
    // Finalises and forgets one kept statement, or all of them.
    void clearKept(Kept which);
    void clearAllKept();

private:
    sqlite3 *mHandle;
    QString mKey;
    sqlite3_stmt *mKept[KeptCount] = {};
};

using ArchiveDBPtr = std::shared_ptr<ArchiveDB>;
