#include "archive/ArchiveDB.h"

#include "shell/VarnekLogger.h"

#include <QHash>

#include <sqlite3.h>

#include <mutex>

namespace {

std::mutex gOpenLock;
QHash<QString, int> gOpen; // key -> handles alive; gOpenLock

} // namespace

ArchiveDB::ArchiveDB(sqlite3 *handle, const QString &key) : mHandle(handle), mKey(key)
{
    std::lock_guard lock(gOpenLock);
    ++gOpen[mKey];
}

int ArchiveDB::openCount(const QString &key)
{
    std::lock_guard lock(gOpenLock);
    return gOpen.value(key);
}

ArchiveDB::~ArchiveDB()
{
    {
        std::lock_guard lock(gOpenLock);
        if (--gOpen[mKey] <= 0)
            gOpen.remove(mKey);
    }
    clearAllKept();
    // Statements prepared and never finalised (a probe left behind) would make the close
    // fail with SQLITE_BUSY and keep the file open: finalise whatever is left first.
    while (sqlite3_stmt *statement = sqlite3_next_stmt(mHandle, nullptr))
        sqlite3_finalize(statement);
    const int rc = sqlite3_close(mHandle);
    if (rc != SQLITE_OK)
        VarnekLog("Error closing archive database %s: (%d) %s", qUtf8Printable(mKey), rc,
                  sqlite3_errmsg(mHandle));
}

void ArchiveDB::clearKept(Kept which)
{
    sqlite3_finalize(mKept[which]);
    mKept[which] = nullptr;
}

void ArchiveDB::clearAllKept()
{
    for (int i = 0; i < KeptCount; ++i)
        clearKept(static_cast<Kept>(i));
}
