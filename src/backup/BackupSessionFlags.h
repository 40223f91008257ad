#pragma once
// The flags and tables of a running backup session with the attached device. The design
// keeps them process-wide because the device-link callbacks are plain functions; here the
// callbacks run on the session thread itself (the one that waits for device-link messages),
// so the tables below are touched by that thread alone, under backupLock. What other
// threads read or set (cancel, errors, progress scale, "have" flags) is atomic.
//
// Session life: getFiles takes backupLock -> flags cleared -> exchange (performBackup, or the
// older road) -> files taken out -> renamefiles -> backupLock released.

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <memory>

class Keybag;

// --- Shared with other threads --------------------------------------------------------------
// The data load error of the last session or extraction (the window words it).
extern std::atomic<int> gDeviceError;
// Bytes the device said it needs on this computer (out-of-space answers).
extern std::atomic<int64_t> gSpace;
// The device's backup service speaks the current protocol: on-device edits cannot be
// written back.
extern std::atomic<bool> is20Stuff;
extern std::atomic<bool> gDontAllowRestoreOn40;
// The older protocol is in use and no version was negotiated yet.
extern std::atomic<bool> gUsingOldStuff;
// The device refused its backup service because it is locked with a passcode (a session's
// connection failed so); cleared when the next session begins. The restore sends nothing then.
extern std::atomic<bool> gHasPassCode;
// The notes counter of the status line (contacts and bookmarks count in src/extract).
extern std::atomic<int> gNumNotes;

// --- The session thread's own (backupLock) ----------------------------------------------------
// Set while a session runs; a callback clears it when the device says the session is over.
extern std::atomic<bool> mBackupFinished;
extern std::atomic<bool> mHadError, mHadBadError;
extern bool gFallbackMode;
extern bool mWaitingForBackup, mDoingBackup;
extern int gOriginalInstance;
extern std::atomic<bool> itsEncrypted;
extern std::shared_ptr<Keybag> gKeybag;
extern bool gHasUnlockedKeybag;
extern QByteArray gSalt;
extern QStringList gFilesToGet;                 // relative paths still wanted
extern QHash<QString, QString> gFileToExtract;   // relative path -> domain
extern QHash<QString, QString> gFileForGuid;     // file id -> relative path
extern QHash<QString, QString> gDomainForGuid;   // file id -> domain
extern QHash<QString, QByteArray> gKeyForGuid;   // file id -> wrapped key or file record
extern QHash<QString, int> gClassForGuid;        // file id -> protection class
extern QStringList gFilesExtracted;              // file ids taken out of the backup folder
extern QHash<QString, QString> gFilesToBeRenamed; // temporary name -> final name

// Every session table above back to empty.
void clearSessionTables();
