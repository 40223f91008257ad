#pragma once
// The contact-name lookup: the one way a message, call or voicemail address (a phone number,
// an e-mail address, a WhatsApp id "WA...", a Messenger id "Facebook ID ...") becomes a
// contact name, entry id and picture. Names come from the process-wide caches, then from the
// contacts cached in the archive, then from the computer's own address book (none on this
// platform); a lookup that finds nothing is remembered as a known miss.
//
// The caches are one set per database key (a device id, "thumbcache"/"callbackup"/
// "voicemailbackup" + a backup folder name, or an archive key), each a lookup key -> value
// table. They are plain globals, so they exist from program start. Every read or write is
// made under gGlobalCacheLock, which is never held while the archive or a picture maker is
// asked: two threads may resolve one key at once and store the same result.
//
// Cache status: 3 added from the device's contacts; 0 found elsewhere or a known miss; the
// value-2 bit is cleared when the cached picture is a drawn initials picture.

#include <QByteArray>
#include <QHash>
#include <QString>

#include <mutex>
#include <optional>

extern std::recursive_mutex gGlobalCacheLock;
extern QHash<QString, QHash<QString, QString>> gPhones;     // lookup key -> name ("": known miss)
extern QHash<QString, QHash<QString, QString>> gEntries;    // lookup key -> contact entry id
extern QHash<QString, QHash<QString, QByteArray>> gImages;  // lookup key -> picture data
extern QHash<QString, QHash<QString, int>> gTempImages;     // lookup key -> cache status
// The letters and digits that make up a lookup key.
extern const QString alldigits;

class FRAddressExtras
{
public:
    // Stores the given values (an absent one leaves its entry as it is) with status 3.
    static void addName(const std::optional<QString> &name, const std::optional<QString> &entry,
                        const std::optional<QByteArray> &image, const QString &forKey, const QString &toCache);
    static void addName(const std::optional<QString> &name, const std::optional<QString> &entry,
                        const std::optional<QByteArray> &image, std::optional<int> cacheStatus,
                        const QString &forKey, const QString &toCache);
    // A picture of the name's initials (through the installed picture maker); empty when the
    // name has no leading letter or no maker is installed.
    static QByteArray initialsImage(const QString &name);
    // The characters of `string` that are in `set`; the string itself when none is.
    static QString stringByRemovingCharactersNotInSet(const QString &set, const QString &string);
    // The computer's own address book; there is none here, so always nothing.
    static QString oldGetAddressBookName(const QString &address, QString *entryId, QByteArray *image);
    // The lookup key of an address (see the contract above).
    static QString lookupKey(const QString &address);
    // The contact name of `address` in the caches of `fromDB`, or a null QString. `cacheThis`
    // receives the lookup key; `entryId` and `image` (optional) the entry id and picture.
    static QString getAddressBookName(const QString &address, QString *entryId, QByteArray *image,
                                      const QString &fromDB, QString *cacheThis);
};
