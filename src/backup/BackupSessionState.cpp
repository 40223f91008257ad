#include "backup/BackupSessionState.h"

#include "shell/Defaults.h"

std::optional<QVariantMap> gManifestDict;
QVariantMap gFileKeys;
QString gTargetID;
std::optional<QVariantMap> gManifestDictSaving;
QString gTargetIDSaving;

bool isUsableDeviceID(const QString &deviceID)
{
    return !deviceID.isEmpty() && deviceID != QLatin1String(".") && deviceID != QLatin1String("..")
           && !deviceID.contains(QLatin1Char('/')) && !deviceID.contains(QChar(0));
}

QString sessionBackupFolder(const QString &deviceID)
{
    const QString temp = getTempDir();
    if (!isUsableDeviceID(deviceID) || temp.isEmpty())
        return {};
    return temp + deviceID;
}
