#include "backup/BackupSessionFlags.h"

#include "backup/Keybag.h"

std::atomic<int> gDeviceError{0};
std::atomic<int64_t> gSpace{0};
std::atomic<bool> is20Stuff{false};
std::atomic<bool> gDontAllowRestoreOn40{false};
std::atomic<bool> gUsingOldStuff{false};
std::atomic<bool> gHasPassCode{false};
std::atomic<int> gNumNotes{0};

std::atomic<bool> mBackupFinished{false};
std::atomic<bool> mHadError{false}, mHadBadError{false};
bool gFallbackMode = false;
bool mWaitingForBackup = false, mDoingBackup = false;
int gOriginalInstance = 0;
std::atomic<bool> itsEncrypted{false};
std::shared_ptr<Keybag> gKeybag;
bool gHasUnlockedKeybag = false;
QByteArray gSalt;
QStringList gFilesToGet;
QHash<QString, QString> gFileToExtract;
QHash<QString, QString> gFileForGuid;
QHash<QString, QString> gDomainForGuid;
QHash<QString, QByteArray> gKeyForGuid;
QHash<QString, int> gClassForGuid;
QStringList gFilesExtracted;
QHash<QString, QString> gFilesToBeRenamed;

void clearSessionTables()
{
    gFileToExtract.clear();
    gFileForGuid.clear();
    gDomainForGuid.clear();
    gKeyForGuid.clear();
    gClassForGuid.clear();
    gFilesExtracted.clear();
    gFilesToBeRenamed.clear();
}
