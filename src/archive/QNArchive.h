#pragma once
// One per-device archive database in the archive folder, as the archive list shows it: its
// key (the device identifier), display name, automatic-archive switch and row counts.
//
// This is the listing side only: building an archive from its database and listing the
// archive folder. The archive operations (rename, detach, export, delete, duplicate
// removal) join this class with the archive subsystem.
//
// Building opens the database read-only; callable from any thread.

#include <QList>
#include <QString>
#include <memory>

class QNArchive
{
public:
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

    QString uuid() const { return mUuid; }
    QString displayname() const { return mDisplayname; }
    bool archiveThis() const { return mArchiveThis; }
    int numMessages() const { return mNumMessages; }
    int numCalls() const { return mNumCalls; }
    int numVoicemails() const { return mNumVoicemails; }

    bool isEqual(const QNArchive &other) const { return mUuid == other.mUuid; }

private:
    QString mUuid;
    QString mDisplayname;
    bool mArchiveThis = true;
    int mNumMessages = 0;
    int mNumCalls = 0;
    int mNumVoicemails = 0;
};
