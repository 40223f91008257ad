#include "backup/MBFile.h"

#include "platform/KeyedArchive.h"

std::optional<MBFile> MBFile::fromArchive(const QByteArray &archive)
{
    const std::optional<QVariant> root = KeyedArchive::decode(archive);
    if (!root)
        return std::nullopt;
    return fromObject(*root);
}

std::optional<MBFile> MBFile::fromObject(const QVariant &root)
{
    if (!root.canConvert<KeyedObject>() || root.metaType() != QMetaType::fromType<KeyedObject>())
        return std::nullopt;
    const KeyedObject object = root.value<KeyedObject>();
    if (!object.isKindOf(QStringLiteral("MBFile")))
        return std::nullopt;

    MBFile file;
    const QVariant protectionClass = object.value(QStringLiteral("ProtectionClass"));
    bool ok = false;
    const qint64 value = protectionClass.toLongLong(&ok);
    if (ok)
        file.mProtectionClass = static_cast<quint8>(value & 0xff);

    const QVariant key = object.value(QStringLiteral("EncryptionKey"));
    if (key.metaType() == QMetaType::fromType<QByteArray>()) {
        const QByteArray bytes = key.toByteArray();
        if (bytes.size() > 4)
            file.mEncryptionKey = bytes.mid(4);
    }
    return file;
}
