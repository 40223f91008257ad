#include "BackupGenerator.h"

#include "platform/KeyedArchive.h"
#include "platform/PropertyList.h"
#include "backup/BackupCrypto.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <memory>

namespace BackupGen {

namespace {

const unsigned char *u(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        qFatal("backupgen: cannot write %s", qUtf8Printable(path));
}

void writePlist(const QString &path, QVariantMap map)
{
    // A null string stands for a key the device did not write.
    for (auto it = map.begin(); it != map.end();) {
        if (it->metaType() == QMetaType::fromType<QString>() && it->toString().isNull())
            it = map.erase(it);
        else
            ++it;
    }
    QString error;
    if (!PropertyList::toFile(map, path, PropertyList::Format::Xml, &error))
        qFatal("backupgen: cannot write %s: %s", qUtf8Printable(path), qUtf8Printable(error));
}

void exec(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK)
        qFatal("backupgen: %s: %s", sql, message);
}

} // namespace

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFileAt(const QString &path, const QByteArray &contents)
{
    writeFile(path, contents);
}

QByteArray be32(quint32 v)
{
    QByteArray out(4, '\0');
    out[0] = char(v >> 24); out[1] = char(v >> 16); out[2] = char(v >> 8); out[3] = char(v);
    return out;
}

QByteArray le32(quint32 v)
{
    QByteArray out(4, '\0');
    out[0] = char(v); out[1] = char(v >> 8); out[2] = char(v >> 16); out[3] = char(v >> 24);
    return out;
}

QByteArray tlv(const char *tag, const QByteArray &value)
{
    return QByteArray(tag, 4) + be32(quint32(value.size())) + value;
}

QByteArray randomBytes(int count)
{
    QByteArray out(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), count) != 1)
        qFatal("backupgen: RAND_bytes failed");
    return out;
}

QByteArray derivePasswordKey(const QString &password, const QByteArray &salt, quint32 iterations,
                             bool twoRound, const QByteArray &dpsl, quint32 dpic)
{
    QByteArray secret = password.toUtf8();
    if (twoRound) {
        QByteArray first(32, '\0');
        PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()), u(dpsl), int(dpsl.size()), int(dpic),
                          EVP_sha256(), 32, reinterpret_cast<unsigned char *>(first.data()));
        secret = first;
    }
    QByteArray key(32, '\0');
    PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()), u(salt), int(salt.size()), int(iterations),
                      EVP_sha1(), 32, reinterpret_cast<unsigned char *>(key.data()));
    return key;
}

QByteArray wrapKey(const QByteArray &key, const QByteArray &kek)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                         &EVP_CIPHER_CTX_free);
    const EVP_CIPHER *cipher = kek.size() == 16 ? EVP_aes_128_wrap() : EVP_aes_256_wrap();
    QByteArray out(key.size() + 8, '\0');
    int n = 0, tail = 0;
    if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, u(kek), nullptr) != 1
        || EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &n, u(key),
                             int(key.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()) + n, &tail) != 1)
        qFatal("backupgen: key wrap failed");
    out.truncate(n + tail);
    return out;
}

QByteArray aesCbcEncrypt(const QByteArray &key, const QByteArray &plain, const QByteArray &iv)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                         &EVP_CIPHER_CTX_free);
    const EVP_CIPHER *cipher = key.size() == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
    const QByteArray ivBytes = iv.isEmpty() ? QByteArray(16, '\0') : iv;
    QByteArray out(plain.size() + 16, '\0');
    int n = 0, tail = 0;
    if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, u(key), u(ivBytes)) != 1
        || EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &n, u(plain),
                             int(plain.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()) + n, &tail) != 1)
        qFatal("backupgen: AES-CBC failed");
    out.truncate(n + tail);
    return out;
}

Keybag makeKeybag(const KeybagRecipe &recipe)
{
    Keybag bag;
    const QByteArray salt = randomBytes(20);
    const QByteArray dpsl = randomBytes(20);
    bag.passwordKey = derivePasswordKey(recipe.password, salt, recipe.iterations, recipe.twoRound, dpsl,
                                        recipe.sha256Iterations);
    QByteArray blob = tlv("VERS", be32(4)) + tlv("TYPE", be32(1)) + tlv("UUID", randomBytes(16))
                      + tlv("HMCK", randomBytes(40)) + tlv("WRAP", be32(0)) + tlv("SALT", salt)
                      + tlv("ITER", be32(recipe.iterations));
    if (recipe.twoRound)
        blob += tlv("DPWT", be32(1)) + tlv("DPIC", be32(recipe.sha256Iterations)) + tlv("DPSL", dpsl);
    for (quint32 cls : recipe.classes) {
        const QByteArray classKey = randomBytes(32);
        const bool unwrapped = recipe.unwrappedClasses.contains(cls);
        bag.classKeys.insert(cls, classKey);
        blob += tlv("UUID", randomBytes(16)) + tlv("CLAS", be32(cls)) + tlv("WRAP", be32(unwrapped ? 1 : 2))
                + tlv("KTYP", be32(0))
                + tlv("WPKY", unwrapped ? classKey : wrapKey(classKey, bag.passwordKey));
    }
    bag.blob = blob;
    return bag;
}

QString fileID(const QString &domain, const QString &relativePath)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((domain + "-" + relativePath).toUtf8(), QCryptographicHash::Sha1).toHex());
}

QByteArray mbFileRecord(quint32 protectionClass, const QByteArray &encryptionKeyWithClass,
                        const QString &relativePath, qint64 size)
{
    QVariantMap fields{
        {QStringLiteral("ProtectionClass"), qint64(protectionClass)},
        {QStringLiteral("RelativePath"), relativePath},
        {QStringLiteral("Size"), size},
        {QStringLiteral("Mode"), qint64(0100644)},
    };
    if (!encryptionKeyWithClass.isEmpty())
        fields.insert(QStringLiteral("EncryptionKey"), encryptionKeyWithClass);
    QString error;
    const QByteArray archive =
        KeyedArchive::encode(QVariant::fromValue(KeyedArchive::makeObject(QStringLiteral("MBFile"), fields)),
                             &error);
    if (archive.isEmpty())
        qFatal("backupgen: cannot archive MBFile: %s", qUtf8Printable(error));
    return archive;
}

Backup write(const QString &folder, const Recipe &recipe)
{
    Backup backup;
    backup.path = QDir(folder).absolutePath();
    QDir().mkpath(backup.path);

    if (recipe.writeInfo) {
        writePlist(backup.path + "/Info.plist",
                   {{"Device Name", recipe.deviceName}, {"Display Name", recipe.displayName},
                    {"Product Type", recipe.productType}, {"Target Identifier", recipe.targetID},
                    {"Phone Number", recipe.phoneNumber}, {"Last Backup Date", recipe.backupDate}});
    }
    writePlist(backup.path + "/Status.plist",
               {{"Date", recipe.backupDate}, {"IsFullBackup", false}, {"Version", "3.3"},
                {"SnapshotState", "finished"}, {"BackupState", "new"}});

    QVariantMap manifest{{"IsEncrypted", recipe.encrypted}, {"Version", recipe.manifestVersion}};
    QByteArray manifestFileKey;
    if (recipe.encrypted) {
        backup.keybag = makeKeybag(recipe.keybag);
        manifest.insert("BackupKeyBag", backup.keybag.blob);
        if (recipe.manifestKey) {
            manifestFileKey = randomBytes(32);
            manifest.insert("ManifestKey",
                            le32(recipe.manifestKeyClass)
                                + wrapKey(manifestFileKey, backup.keybag.classKeys.value(recipe.manifestKeyClass)));
        }
    }
    writePlist(backup.path + "/Manifest.plist", manifest);
    if (!recipe.writeManifestDb)
        return backup;
    if (recipe.manifestForm != ManifestForm::Db) {
        QByteArray mbdb = mbdbHeader();
        QByteArray index;
        for (const File &f : recipe.files) {
            const QString id = fileID(f.domain, f.relativePath);
            QByteArray stored = f.contents;
            QByteArray keyWithClass;
            if (recipe.encrypted) {
                const QByteArray fileKey = randomBytes(32);
                const QByteArray wrapped = wrapKey(fileKey, backup.keybag.classKeys.value(f.protectionClass));
                backup.wrappedKeys.insert(id, wrapped);
                keyWithClass = le32(f.protectionClass) + wrapped;
                stored = aesCbcEncrypt(fileKey, f.contents);
            }
            writeFile(backup.path + "/" + id, stored);
            index += mbdxRecord(id, quint32(mbdb.size() - 6), 0x81a4);
            mbdb += mbdbRecord(f.domain.toUtf8(), f.relativePath.toUtf8(), keyWithClass, 0x81a4,
                               quint8(f.protectionClass), f.contents.size());
        }
        writeFile(backup.path + "/Manifest.mbdb", mbdb);
        if (recipe.manifestForm == ManifestForm::MbdbWithIndex)
            writeFile(backup.path + "/Manifest.mbdx", mbdxHeader(quint32(recipe.files.size())) + index);
        return backup;
    }

    QTemporaryDir scratch;
    const QString dbPath = scratch.filePath("Manifest.db");
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(dbPath).constData(), &db) != SQLITE_OK)
        qFatal("backupgen: cannot open %s", qUtf8Printable(dbPath));
    exec(db, "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
             "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
             "CREATE INDEX FilesDomainIdx ON Files(domain);"
             "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
             "CREATE INDEX FilesFlagsIdx ON Files(flags);");
    if (recipe.encrypted && recipe.encryptedRecords) {
        backup.recordSalt = randomBytes(16);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO Properties VALUES ('salt', ?)", -1, &st, nullptr);
        sqlite3_bind_blob(st, 1, backup.recordSalt.constData(), int(backup.recordSalt.size()), SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }

    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Files VALUES (?, ?, ?, 1, ?)", -1, &insert, nullptr);
    for (const File &f : recipe.files) {
        const QString id = fileID(f.domain, f.relativePath);
        QByteArray stored = f.contents;
        QByteArray keyWithClass;
        if (recipe.encrypted) {
            const QByteArray fileKey = randomBytes(32);
            const QByteArray wrapped = wrapKey(fileKey, backup.keybag.classKeys.value(f.protectionClass));
            backup.wrappedKeys.insert(id, wrapped);
            keyWithClass = le32(f.protectionClass) + wrapped;
            stored = aesCbcEncrypt(fileKey, f.contents);
        }
        writeFile(backup.pathOf(id), stored);

        QByteArray record = mbFileRecord(f.protectionClass, keyWithClass, f.relativePath, f.contents.size());
        if (!backup.recordSalt.isEmpty()) {
            const QByteArray recordKey =
                QCryptographicHash::hash(recipe.keybag.password.toUtf8() + backup.recordSalt,
                                         QCryptographicHash::Sha1).left(16);
            static const QByteArray iv(reinterpret_cast<const char *>(kMBFileRecordIV), 16);
            record = aesCbcEncrypt(recordKey, record, iv).toBase64();
        }
        backup.records.insert(id, record);
        const QByteArray idUtf8 = id.toUtf8(), domain = f.domain.toUtf8(), rel = f.relativePath.toUtf8();
        sqlite3_bind_text(insert, 1, idUtf8.constData(), int(idUtf8.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, domain.constData(), int(domain.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, rel.constData(), int(rel.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 4, record.constData(), int(record.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE)
            qFatal("backupgen: insert failed: %s", sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);

    QFile plainDb(dbPath);
    if (!plainDb.open(QIODevice::ReadOnly))
        qFatal("backupgen: cannot read back %s", qUtf8Printable(dbPath));
    backup.manifestDbPlain = plainDb.readAll();
    writeFile(backup.path + "/Manifest.db",
              manifestFileKey.isEmpty() ? backup.manifestDbPlain
                                        : aesCbcEncrypt(manifestFileKey, backup.manifestDbPlain));
    return backup;
}

namespace {

QByteArray mbdbString(const QByteArray &value)
{
    if (value.isEmpty())
        return QByteArray("\xff\xff", 2);
    return QByteArray(1, char(value.size() >> 8)) + char(value.size() & 0xff) + value;
}

QByteArray be64(qint64 v)
{
    return be32(quint32(quint64(v) >> 32)) + be32(quint32(v));
}

} // namespace

QByteArray mbdbRecord(const QByteArray &domain, const QByteArray &path, const QByteArray &encryptionKey,
                      quint16 mode, quint8 protectionClass, qint64 size,
                      const QList<QPair<QByteArray, QByteArray>> &properties)
{
    QByteArray record = mbdbString(domain) + mbdbString(path) + mbdbString({}) + mbdbString({})
                        + mbdbString(encryptionKey);
    record += char(mode >> 8);
    record += char(mode & 0xff);
    record += be64(12345) + be32(501) + be32(501) + be32(1700000000) + be32(1700000000) + be32(1700000000);
    record += be64(size);
    record += char(protectionClass);
    record += char(properties.size());
    for (const auto &property : properties)
        record += mbdbString(property.first) + mbdbString(property.second);
    return record;
}

QByteArray mbdbHeader()
{
    return QByteArray("mbdb\x05\x00", 6);
}

QByteArray mbdxHeader(quint32 count)
{
    return QByteArray("mbdx\x02\x00", 6) + be32(count);
}

QByteArray mbdxRecord(const QString &fileID, quint32 offset, quint16 mode)
{
    QByteArray record = QByteArray::fromHex(fileID.toLatin1()) + be32(offset);
    record += char(mode >> 8);
    record += char(mode & 0xff);
    return record;
}

QByteArray mdinfoFile(const QString &domain, const QString &relativePath)
{
    const QByteArray metadata = PropertyList::toData(
        QVariantMap{{"Domain", domain}, {"Path", relativePath}, {"Version", "3.0"}, {"Greylist", false}},
        PropertyList::Format::Binary);
    // Real files carry their other properties first; a leading key of the same size keeps
    // the path past the first bytes, as readers expect.
    return PropertyList::toData(QVariantMap{{"AAAHeader", QByteArray(120, '\0')}, {"Metadata", metadata},
                                            {"Version", "3.0"}},
                                PropertyList::Format::Binary);
}

WalDatabase walDatabase(const char *sql)
{
    QTemporaryDir scratch;
    const QString path = scratch.filePath("wal.db");
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK)
        qFatal("backupgen: cannot open %s", qUtf8Printable(path));
    exec(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    exec(db, sql);
    // Read while the connection is open: closing it would move the rows into the main file.
    auto readAll = [](const QString &file) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            qFatal("backupgen: cannot read %s", qUtf8Printable(file));
        return f.readAll();
    };
    WalDatabase out{readAll(path), readAll(path + "-wal")};
    sqlite3_close(db);
    return out;
}

} // namespace BackupGen
