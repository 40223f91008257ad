#pragma once
// One per-device archive database in the archive folder, as the archive list shows it: its
// key (the device identifier, or a detached key), display name, automatic-archive switch,
// row counts and what changed since the archive views last looked; and the file-level
// archive operations: rename, switch, detach, export of attachments, duplicate removal and
// deletion to the Trash.
//
// Building and listing open each database read-only through a connection of their own (a
// list must never create or upgrade a file). The switch, the name, the counts and the
// operations work through the device controller's shared handles (gSharedAppController)
// under localLock.
//
// Threads: the accessors may be called from any thread (the list is handed to workers as a
// copy of the same objects). The operations run on whichever thread calls them; the
// archive actions call them on the main thread or on one of their workers, never two at
// once for one archive.

#include <QList>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class QNArchive
{
public:
    // `updated` values.
    static constexpr int kUpdatedNone = 0;
    static constexpr int kUpdatedRenamed = 1;
    static constexpr int kUpdatedMerged = 2;

    // nullptr when the key's database cannot be opened or has no props table (a cache).
    static std::shared_ptr<QNArchive>
    initWithUuid(const QString &uuid, const QList<std::shared_ptr<QNArchive>> &otherDevices,
                 const QString &folder);

    // Every archive of the archive folder, sorted by display name.
    static QList<std::shared_ptr<QNArchive>> getAllDevices();
    static QList<std::shared_ptr<QNArchive>> getAllDevices(const QString &folder);

    // The archive folder as an absolute path (archive/ArchiveFolder.h).
    static QString archiveLocation();

    // A name that no archive of `otherDevices` shows yet.
    static QString createUniqueNameForPhone(const QString &name, const QString &uuid,
                                            const QList<std::shared_ptr<QNArchive>> &otherDevices,
                                            const QString &folder);
    bool comparePhoneNames(const QNArchive &other) const; // true when this sorts first

    QString uuid() const;
    void setUuid(const QString &uuid);
    QString displayname() const;
    bool archiveThis() const { return mArchiveThis.load(); }
    int updated() const { return mUpdated.load(); }
    void setUpdated(int updated) { mUpdated.store(updated); }
    int numMessages() const { return mNumMessages.load(); }
    int numCalls() const { return mNumCalls.load(); }
    int numVoicemails() const { return mNumVoicemails.load(); }

    bool isEqual(const QNArchive &other) const { return uuid() == other.uuid(); }

    // Writes the switch into props ('archive' = "YES"/"NO"); the field follows only when the
    // database took it.
    bool setArchiveThis(bool archiveThis);
    // Renames the archive (props 'phonename'). A name that is blank after trimming is
    // ignored. On success `updated` becomes kUpdatedRenamed and "QNArchiveEdited" is posted
    // with this archive as its object.
    bool setDisplayname(const QString &name);
    // Reads the three row counts again (tombstones included); unchanged on failure.
    void updateCounts();

    // --- Class operations (QNArchiveFiles.cpp, QNArchiveExport.cpp, QNArchiveDuplicates.cpp)
    // Each answers false at once for an archive without a key.

    // Moves a file or folder to the Trash. False, with the item left where it was, when
    // nothing is there or the Trash cannot take it; nothing is ever deleted outright.
    static bool moveItemToTrash(const QString &path, QString *error = nullptr);
    // Moves the archive's database (with its journals) and then its two piece folders to
    // the Trash, after closing its handle. False when any of them stays behind; when the
    // database itself cannot go, nothing has been moved.
    static bool deleteArchive(QNArchive &archive);
    // Makes the archive independent of its device: it is renamed "<name> (Detached)" and
    // its database, journals and piece folders move to a new key "DETACHED<time>-<old key>",
    // with every stored piece path rewritten, so the device's next archive starts afresh and
    // shares no attachment with this one. All or nothing: on failure every file is back
    // under the old key.
    static bool detachArchive(QNArchive &archive);
    // Writes every attachment of the archive (stored bytes and stored files) into a new
    // folder "Images from <name> Export <time>" on the desktop, each under its own key and
    // never over another. True when every attachment was written; *folder receives the
    // folder made.
    static bool exportArchive(const QNArchive &archive, QString *folder = nullptr);
    // Removes messages stored twice by older versions: a row dated in nanoseconds since 2001
    // whose twin in whole seconds (same moment by the shared date rule, same conversation,
    // same text up to white space) exists. Attachment files no remaining row uses go too.
    // True when the change was committed; *removed receives the number of messages removed.
    static bool removeDuplicates(const QNArchive &archive, int *removed = nullptr);

    // Used by std::make_shared; archives are made by initWithUuid.
    QNArchive() = default;
    QNArchive(const QNArchive &) = delete;
    QNArchive &operator=(const QNArchive &) = delete;

private:
    void setDisplaynameField(const QString &name);

    mutable std::mutex mFieldsLock; // mUuid, mDisplayname
    QString mUuid;
    QString mDisplayname;
    std::atomic<bool> mArchiveThis{true};
    std::atomic<int> mUpdated{kUpdatedNone};
    std::atomic<int> mNumMessages{0};
    std::atomic<int> mNumCalls{0};
    std::atomic<int> mNumVoicemails{0};
};

using QNArchivePtr = std::shared_ptr<QNArchive>;
