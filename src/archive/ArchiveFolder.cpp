#include "archive/ArchiveFolder.h"

#include "platform/Paths.h"

#include <mutex>

namespace {

std::mutex gArchiveLocationLock;

QString &storedLocation()
{
    static QString location = defaultArchiveLocation();
    return location;
}

} // namespace

QString defaultArchiveLocation()
{
    return QStringLiteral("~/Library/Application Support/Quillon");
}

QString archiveLocation()
{
    std::lock_guard guard(gArchiveLocationLock);
    return storedLocation();
}

void setArchiveLocation(const QString &location)
{
    std::lock_guard guard(gArchiveLocationLock);
    storedLocation() = location.isEmpty() ? defaultArchiveLocation() : location;
}

QString archiveFolderPath()
{
    return Paths::resolveUserPath(archiveLocation());
}
