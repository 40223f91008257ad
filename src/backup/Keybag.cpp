#include "backup/Keybag.h"

#include "backup/Base64Decode.h"
#include "backup/BackupCrypto.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

namespace {

const QByteArray kUUID = QByteArrayLiteral("UUID");
const QByteArray kCLAS = QByteArrayLiteral("CLAS");
const QByteArray kWRAP = QByteArrayLiteral("WRAP");
const QByteArray kWPKY = QByteArrayLiteral("WPKY");
const QByteArray kSALT = QByteArrayLiteral("SALT");
const QByteArray kITER = QByteArrayLiteral("ITER");
const QByteArray kDPSL = QByteArrayLiteral("DPSL");
const QByteArray kDPIC = QByteArrayLiteral("DPIC");

// Class keys wrapped with the password key carry this bit in "WRAP".
constexpr quint32 kWrapPasscode = 2;
// Devices ask for ten million rounds at most; a keybag asking for more would keep a thread
// busy for minutes, so counts beyond twice that are refused as malformed.
constexpr quint32 kMaxDerivationRounds = 20'000'000;

bool isTagByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

std::optional<quint32> Keybag::dataRangeToBigEndian(const QByteArray &data, qsizetype offset)
{
    if (offset < 0 || data.size() - offset < 4)
        return std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData()) + offset;
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

Keybag::TLVResult Keybag::nextTLV(const QByteArray &blob, qint64 *position, QByteArray *tag,
                                  QByteArray *value)
{
    const qint64 size = blob.size();
    const qint64 pos = *position;
    if (pos == size)
        return TLVResult::End;
    if (pos < 0 || pos > size || size - pos < 8)
        return TLVResult::Malformed;
    for (int i = 0; i < 4; ++i) {
        if (!isTagByte(blob.at(pos + i)))
            return TLVResult::Malformed;
    }
    const qint64 length = *dataRangeToBigEndian(blob, pos + 4);
    if (length > size - pos - 8)
        return TLVResult::Malformed;
    *tag = blob.mid(pos, 4);
    *value = blob.mid(pos + 8, length);
    *position = pos + 8 + length;
    return TLVResult::Record;
}

std::shared_ptr<Keybag> Keybag::initWithData(const QByteArray &data, const QByteArray &manifestKey)
{
    if (data.isEmpty()) {
        VarnekLog("no keybag provided, init failing");
        return nullptr;
    }
    std::shared_ptr<Keybag> keybag(new Keybag);
    if (manifestKey.size() > 4) {
        const auto *p = reinterpret_cast<const unsigned char *>(manifestKey.constData());
        keybag->mClassForManKey =
            quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
        keybag->mWrappedManKey = manifestKey.mid(4);
    }
    if (!HASDECRYPT)
        return nullptr;
    if (!keybag->parse(data)) {
        VarnekLog("keybag malformed (%lld bytes), refused", static_cast<long long>(data.size()));
        return nullptr;
    }
    return keybag;
}

bool Keybag::parse(const QByteArray &blob)
{
    mInBlob = blob;
    qint64 position = 0;
    bool inClasses = false;
    QMap<QByteArray, QByteArray> current;
    QByteArray tag, value;
    for (;;) {
        const TLVResult result = nextTLV(blob, &position, &tag, &value);
        if (result == TLVResult::End)
            break;
        if (result == TLVResult::Malformed)
            return false;
        if (!inClasses) {
            // The second "UUID" of the blob ends the header and opens the first class record.
            if (tag == kUUID && mAttrs.contains(kUUID)) {
                inClasses = true;
                current.insert(tag, value);
            } else {
                mAttrs.insert(tag, value);
            }
        } else {
            current.insert(tag, value);
        }
        if (current.contains(kWRAP) && current.contains(kWPKY) && current.contains(kCLAS)) {
            const std::optional<quint32> protectionClass = dataRangeToBigEndian(current.value(kCLAS));
            if (!protectionClass)
                return false;
            mClasses.insert(*protectionClass, current);
            current.clear();
        }
    }
    return !mClasses.isEmpty();
}

QByteArray Keybag::unwrapKey(const QByteArray &wrapped, const QByteArray &passcode)
{
    if (!HASDECRYPT)
        return {};
    return BackupCrypto::aesKeyUnwrap(wrapped, passcode);
}

int Keybag::descriptionWithData(const QString &password, const QByteArray &derivedKey)
{
    QByteArray key = derivedKey;
    if (key.isEmpty()) {
        if (password.isNull()) {
            VarnekLog("bailing on that");
            return kNoCredentials;
        }
        VarnekLog("Here goes...");
        if (!HASDECRYPT)
            return kNoCredentials;
        QByteArray secret = password.toUtf8();
        const qsizetype zero = secret.indexOf('\0');
        if (zero >= 0)
            secret.truncate(zero);

        const QByteArray salt = mAttrs.value(kSALT);
        const std::optional<quint32> iterations = dataRangeToBigEndian(mAttrs.value(kITER));
        if (salt.isEmpty() || secret.isEmpty() || !iterations)
            return kMissingParameters;
        if (*iterations > kMaxDerivationRounds)
            return BackupCrypto::kDeriveBadParameter;
        if (mAttrs.contains(kDPSL)) {
            const std::optional<quint32> rounds = dataRangeToBigEndian(mAttrs.value(kDPIC));
            if (!rounds)
                return kMissingParameters;
            if (*rounds > kMaxDerivationRounds)
                return BackupCrypto::kDeriveBadParameter;
            QByteArray first;
            const int status =
                BackupCrypto::pbkdf2HmacSha256(secret, mAttrs.value(kDPSL), *rounds, 32, &first);
            if (status != BackupCrypto::kDeriveOk)
                return status;
            secret = first;
        }
        const int status = BackupCrypto::pbkdf2HmacSha1(secret, salt, *iterations, 32, &key);
        if (status != BackupCrypto::kDeriveOk)
            return status;
    }

    // Unwrap into a scratch table first: a wrong password must not disturb keys that an
    // earlier unlock already holds.
    QHash<quint32, QByteArray> unwrapped;
    bool usedKey = false;
    for (auto it = mClasses.cbegin(); it != mClasses.cend(); ++it) {
        const QByteArray wpky = it->value(kWPKY);
        const quint32 wrap = dataRangeToBigEndian(it->value(kWRAP)).value_or(0);
        if (wrap & kWrapPasscode) {
            const QByteArray classKey = unwrapKey(wpky, key);
            if (classKey.isEmpty())
                return kWrongPassword;
            unwrapped.insert(it.key(), classKey);
            usedKey = true;
        } else {
            unwrapped.insert(it.key(), wpky);
        }
    }

    std::lock_guard lock(mMutex);
    for (auto it = unwrapped.cbegin(); it != unwrapped.cend(); ++it)
        mUnwrappedKeys.insert(it.key(), it.value());
    if (!password.isNull())
        mPassword = password;
    if (usedKey && mDerivedKey.isEmpty())
        mDerivedKey = key;
    return kUnlocked;
}

QByteArray Keybag::decoded() const
{
    std::lock_guard lock(mMutex);
    return mDerivedKey;
}

bool Keybag::isUnlocked() const
{
    std::lock_guard lock(mMutex);
    return !mUnwrappedKeys.isEmpty();
}

QByteArray Keybag::unwrapKeyForClass(quint32 protectionClass, const QByteArray &wrappedKey) const
{
    if (wrappedKey.size() != kWrappedFileKeyLength)
        return {};
    QByteArray classKey;
    {
        std::lock_guard lock(mMutex);
        classKey = mUnwrappedKeys.value(protectionClass);
    }
    if (classKey.isEmpty())
        return {};
    return unwrapKey(wrappedKey, classKey);
}

void Keybag::setSalt(const QByteArray &salt)
{
    std::lock_guard lock(mMutex);
    mSalt = salt;
}

QByteArray Keybag::salt() const
{
    std::lock_guard lock(mMutex);
    return mSalt;
}

QString Keybag::password() const
{
    std::lock_guard lock(mMutex);
    return mPassword;
}

std::optional<QByteArray> Keybag::decryptMBFileData(const QByteArray &record) const
{
    QByteArray salt;
    QString password;
    {
        std::lock_guard lock(mMutex);
        salt = mSalt;
        password = mPassword;
    }
    if (salt.isEmpty())
        VarnekLog("Missing salt");
    if (password.isNull())
        VarnekLog("Missing password");
    // Without a password the key comes from nothing at all, and decryption fails as it should.
    const QByteArray digest = password.isNull() ? SHA1Data({}) : SHA1Data(password.toUtf8() + salt);
    bool ok = false;
    const QByteArray plain = BackupCrypto::aesCbc(false, digest.left(16), mbFileRecordIV(), record, &ok);
    if (!ok) {
        // Only the size: the record holds a wrapped file key.
        VarnekLog("record decryption failed (%lld bytes)", static_cast<long long>(record.size()));
        return std::nullopt;
    }
    return plain;
}

std::optional<MBFile> Keybag::getMBFile(const QByteArray &blob) const
{
    if (blob.isEmpty())
        return std::nullopt;
    const bool salted = !salt().isEmpty();
    QByteArray archive = blob;
    if (salted) {
        const std::optional<QByteArray> plain = decryptMBFileData(Base64Decode(blob));
        if (!plain) {
            VarnekLog("decryptMBFileData failed, there is a salt");
            return std::nullopt;
        }
        archive = *plain;
    }
    std::optional<MBFile> file = MBFile::fromArchive(archive);
    if (!file)
        VarnekLog("unarchive failed, there is %ssalt", salted ? "a " : "NO ");
    return file;
}
