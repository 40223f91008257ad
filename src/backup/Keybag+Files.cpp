// Whole-file AES of backup files: streamed in large chunks, written under a temporary name
// and renamed into place only when the cipher's final step succeeded.

#include "backup/BackupCrypto.h"
#include "backup/Keybag.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Closes a descriptor on every path out.
struct FileDescriptor
{
    int fd = -1;
    explicit FileDescriptor(int d) : fd(d) {}
    ~FileDescriptor() { if (fd >= 0) ::close(fd); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
};

ssize_t readFully(int fd, unsigned char *buffer, size_t length)
{
    size_t total = 0;
    while (total < length) {
        const ssize_t n = ::read(fd, buffer + total, length - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += size_t(n);
    }
    return ssize_t(total);
}

bool writeFully(int fd, const unsigned char *buffer, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, buffer, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        length -= size_t(n);
    }
    return true;
}

} // namespace

QByteArray Keybag::resolveFileKey(const QByteArray &key, quint32 protectionClass,
                                  const QString &source, bool log) const
{
    QByteArray wrapped = key;
    quint32 cls = protectionClass;
    if (wrapped.isEmpty()) {
        wrapped = mWrappedManKey;
        cls = mClassForManKey;
    }
    if (cls == kRecordClass) {
        const std::optional<MBFile> record = getMBFile(wrapped);
        if (!record) {
            if (log)
                VarnekLog("getMBFile failed for %s", qUtf8Printable(source));
            return {};
        }
        wrapped = record->EncryptionKey();
        cls = record->ProtectionClass();
    }
    const QByteArray fileKey = unwrapKeyForClass(cls, wrapped);
    if (fileKey.isEmpty() && log)
        VarnekLog("Didn't unwrap key");
    return fileKey;
}

bool Keybag::cryptFile(bool decrypt, const QString &source, const QString &destination,
                       const QByteArray &key, quint32 protectionClass) const
{
    if (!HASDECRYPT) {
        VarnekLog("!HASDECRYPT, this is awkward");
        return false;
    }
    const QByteArray fileKey = resolveFileKey(key, protectionClass, source, true);
    if (fileKey.isEmpty())
        return false;
    BackupCrypto::AesCbcStream cipher;
    if (!cipher.init(!decrypt, fileKey)) {
        VarnekLog("Didn't create crypto, err=%ld", -1L);
        return false;
    }

    FileDescriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) {
        VarnekLog("didn't create file handle");
        return false;
    }
    // The temporary file lies beside the destination so the final rename stays on one
    // file system and never exposes a partial plaintext under the real name.
    QByteArray temporary = QFile::encodeName(destination) + ".qnpartXXXXXX";
    FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.fd < 0) {
        VarnekLog("couldn't create %s", qUtf8Printable(destination));
        return false;
    }
    posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::vector<unsigned char> input(static_cast<size_t>(kCryptChunkSize));
    std::vector<unsigned char> output(size_t(kCryptChunkSize) + 32);
    bool ok = true;
    for (;;) {
        const ssize_t n = readFully(in.fd, input.data(), input.size());
        if (n < 0) {
            VarnekLog("read error on %s", qUtf8Printable(source));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        size_t produced = 0;
        if (!cipher.update(input.data(), size_t(n), output.data(), &produced)) {
            VarnekLog("CCCryptorUpdate error %ld", -1L);
            ok = false;
            break;
        }
        if (!writeFully(out.fd, output.data(), produced)) {
            VarnekLog("write error on %s", qUtf8Printable(destination));
            ok = false;
            break;
        }
        if (size_t(n) < input.size())
            break;
    }
    if (ok) {
        size_t produced = 0;
        if (!cipher.final(output.data(), &produced)) {
            VarnekLog("CCCryptorFinal error %ld", -1L);
            ok = false;
        } else if (!writeFully(out.fd, output.data(), produced)) {
            ok = false;
        }
    }
    if (ok) {
        // Decrypted backup files are the user's private data: keep them readable by the user
        // only (mkostemp's mode), and replace the destination in one step.
        ok = ::close(out.fd) == 0;
        out.fd = -1;
        ok = ok && ::rename(temporary.constData(), QFile::encodeName(destination).constData()) == 0;
    }
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
}

bool Keybag::decryptFile(const QString &source, const QString &destination, const QByteArray &key,
                         quint32 protectionClass) const
{
    return cryptFile(true, source, destination, key, protectionClass);
}

bool Keybag::encryptFile(const QString &source, const QString &destination, const QByteArray &key,
                         quint32 protectionClass) const
{
    return cryptFile(false, source, destination, key, protectionClass);
}

std::optional<QByteArray> Keybag::decryptFileToData(const QString &source, const QByteArray &key,
                                                    quint32 protectionClass) const
{
    if (!HASDECRYPT)
        return std::nullopt;
    const QByteArray fileKey = resolveFileKey(key, protectionClass, source, false);
    if (fileKey.isEmpty())
        return std::nullopt;
    BackupCrypto::AesCbcStream cipher;
    if (!cipher.init(false, fileKey))
        return std::nullopt;

    QByteArray plain;
    QFile file(source);
    // A source that cannot be opened is empty input, which then fails the padding check.
    if (file.open(QIODevice::ReadOnly)) {
        plain.reserve(qsizetype(file.size()) + 16);
        std::vector<unsigned char> output(size_t(kCryptChunkSize) + 32);
        QByteArray chunk;
        while (!(chunk = file.read(kCryptChunkSize)).isEmpty()) {
            size_t produced = 0;
            if (!cipher.update(reinterpret_cast<const unsigned char *>(chunk.constData()),
                               size_t(chunk.size()), output.data(), &produced))
                return std::nullopt;
            plain.append(reinterpret_cast<const char *>(output.data()), qsizetype(produced));
        }
    }
    unsigned char tail[32];
    size_t produced = 0;
    if (!cipher.final(tail, &produced))
        return std::nullopt;
    plain.append(reinterpret_cast<const char *>(tail), qsizetype(produced));
    return plain;
}
