#pragma once
// One backup keybag and all backup cryptography that hangs off it: parsing the keybag blob,
// deriving the password key, unwrapping class keys and per-file keys, whole-file AES to a
// path or into memory, and decoding manifest file records into MBFile values.
//
// Ownership: made by initWithData() and shared (std::shared_ptr) between the backup that
// read it and the threads that decrypt its files.
//
// Threads: safe to share. The parsed blob is immutable after initWithData(); the state that
// unlocking changes (class keys, password, derived key, record salt) sits behind one mutex
// that is never held during key derivation or file I/O. Unlocking is all-or-nothing: a
// failed attempt leaves the keys of an earlier successful unlock untouched.
//
// Nothing here writes key material, passwords, salts or records into the log. Needs
// HASDECRYPT (shell/SystemFlags.h, set when the main window class loads): without it no
// keybag is made and nothing decrypts.

#include "backup/MBFile.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

class Keybag
{
public:
    // Results of descriptionWithData(); the derivation's own negative codes also pass through
    // (BackupCrypto::kDeriveBadParameter also for a round count beyond any device's).
    enum Status : int {
        kUnlocked = 0,
        kNoCredentials = -1,           // neither password nor key (or no decryption here)
        kMissingParameters = 64474,    // empty password, or salt / iteration count missing
        kWrongPassword = -777111,      // a class key did not unwrap
    };
    // Protection class whose "key" argument is a manifest file record, not a wrapped key.
    static constexpr quint32 kRecordClass = 99;
    // Length of an RFC 3394 wrapped 32-byte file key.
    static constexpr qsizetype kWrappedFileKeyLength = 40;
    // Bytes read and written per step when a whole file goes through AES.
    static constexpr qsizetype kCryptChunkSize = 1 << 20;

    // Parses `data` (the "BackupKeyBag"); `manifestKey` ("ManifestKey") is split into its
    // little-endian class and wrapped key when longer than 4 bytes. nullptr when `data` is
    // empty or malformed (a record running past the end, a tag that is not ASCII letters,
    // trailing bytes, no complete class record).
    static std::shared_ptr<Keybag> initWithData(const QByteArray &data,
                                                const QByteArray &manifestKey = {});

    // One TLV record at *position: 4-byte tag, 4-byte big-endian length, value. Advances
    // *position past it. Bounds are checked in 64-bit arithmetic.
    enum class TLVResult { Record, End, Malformed };
    static TLVResult nextTLV(const QByteArray &blob, qint64 *position, QByteArray *tag,
                             QByteArray *value);
    // The 4 bytes at `offset` as a big-endian unsigned integer; nullopt when they are not there.
    static std::optional<quint32> dataRangeToBigEndian(const QByteArray &data, qsizetype offset = 0);

    // RFC 3394 unwrap of `wrapped` with `passcode` as key-encryption key; empty on failure.
    static QByteArray unwrapKey(const QByteArray &wrapped, const QByteArray &passcode);

    // Unlocks the class keys with password `password` (null: none) or, when `derivedKey` is
    // given, with that already derived 32-byte key (the password is then only kept). Returns
    // a Status. Runs the full PBKDF2 derivation when no key is given: seconds of work.
    int descriptionWithData(const QString &password, const QByteArray &derivedKey = {});
    // The 32-byte password key of the first successful unlock; empty before.
    QByteArray decoded() const;
    bool isUnlocked() const;

    bool hasManKey() const { return !mWrappedManKey.isEmpty(); }
    quint32 classForManKey() const { return mClassForManKey; }
    QByteArray wrappedManKey() const { return mWrappedManKey; }

    // The file key for `wrappedKey` (exactly 40 bytes) under class `protectionClass`; empty
    // when the key has another length, the class is unknown or not unlocked, or unwrap fails.
    QByteArray unwrapKeyForClass(quint32 protectionClass, const QByteArray &wrappedKey) const;

    // Streams `source` through AES-CBC (zero IV, PKCS#7) into `destination`. `key` is a
    // wrapped file key; with class 99 a manifest file record; empty means the manifest key.
    // The output goes to a temporary file beside `destination` that replaces it only on
    // success and is removed on failure, so a failed run leaves an earlier file as it was.
    bool cryptFile(bool decrypt, const QString &source, const QString &destination,
                   const QByteArray &key, quint32 protectionClass) const;
    bool decryptFile(const QString &source, const QString &destination, const QByteArray &key,
                     quint32 protectionClass) const;
    bool encryptFile(const QString &source, const QString &destination, const QByteArray &key,
                     quint32 protectionClass) const;
    // The plaintext of `source`; nullopt on any failure.
    std::optional<QByteArray> decryptFileToData(const QString &source, const QByteArray &key,
                                                quint32 protectionClass) const;

    // Decrypts an encrypted manifest file record with the key from SHA-1(password + salt).
    std::optional<QByteArray> decryptMBFileData(const QByteArray &record) const;
    // Decodes a manifest file record (Base64 and encrypted when a salt is set).
    std::optional<MBFile> getMBFile(const QByteArray &blob) const;

    void setSalt(const QByteArray &salt);
    QByteArray salt() const;
    // The password of the last successful unlock (null before).
    QString password() const;

    // The parsed header attributes and class records (tag -> value), for inspection.
    QMap<QByteArray, QByteArray> attrs() const { return mAttrs; }
    QMap<quint32, QMap<QByteArray, QByteArray>> classes() const { return mClasses; }

private:
    Keybag() = default;
    bool parse(const QByteArray &blob);
    // The file key and class a crypt call resolves to, or an empty key.
    QByteArray resolveFileKey(const QByteArray &key, quint32 protectionClass, const QString &source,
                              bool log) const;

    QByteArray mInBlob;
    QMap<QByteArray, QByteArray> mAttrs;
    QMap<quint32, QMap<QByteArray, QByteArray>> mClasses;
    QByteArray mWrappedManKey;
    quint32 mClassForManKey = 0;

    mutable std::mutex mMutex;  // guards everything below
    QHash<quint32, QByteArray> mUnwrappedKeys;  // "UKEY" per class
    QString mPassword;
    QByteArray mSalt;
    QByteArray mDerivedKey;
};
