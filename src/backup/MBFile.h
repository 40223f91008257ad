#pragma once
// One file record of a backup's manifest database (the Files.file blob): a keyed archive of
// class "MBFile" from which only the protection class and the wrapped file key are taken.
// A plain value; copy it freely between threads.

#include <QByteArray>
#include <QVariant>

#include <optional>

class MBFile
{
public:
    // Decodes a (plaintext) keyed archive whose root is an MBFile; nullopt when the bytes
    // are not a keyed archive or its root is of another class.
    static std::optional<MBFile> fromArchive(const QByteArray &archive);
    // The same from an already decoded root object.
    static std::optional<MBFile> fromObject(const QVariant &root);

    // "ProtectionClass", truncated to 8 bits as the record's readers always have.
    quint8 ProtectionClass() const { return mProtectionClass; }
    // "EncryptionKey" without its leading 4-byte class; empty when the stored value had
    // 4 bytes or fewer.
    QByteArray EncryptionKey() const { return mEncryptionKey; }

    void setProtectionClass(quint8 protectionClass) { mProtectionClass = protectionClass; }
    void setEncryptionKey(const QByteArray &key) { mEncryptionKey = key; }

private:
    quint8 mProtectionClass = 0;
    QByteArray mEncryptionKey;
};
