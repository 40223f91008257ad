// Whole-file AES of backup files: streamed in large chunks, written under a temporary name
// and renamed into place only when the cipher's final step succeeded.

#include "backup/BackupCrypto.h"
#include "backup/Keybag.h"
#include "platform/RegularFile.h"
#include "shell/OwnTemporaries.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using FileDescriptor = RegularFile::Descriptor;

// Decryption runs without the cipher's own padding check and holds the last block back, so
// that a file whose last block carries no padding can still be kept when it is a whole
// SQLite database (as some devices store them). Collects what that decision needs.
struct PlainTail
{
    static constexpr qsizetype kHeaderBytes = 100;
    QByteArray header;     // the first plain bytes, up to kHeaderBytes
    unsigned char last[16] = {};
    bool haveLast = false;
    qint64 released = 0;   // plain bytes handed on before the held block

    // Takes `produced` plain bytes (a multiple of 16); returns how many of them, from the
    // start of `out`, may be handed on now, after `emitHeld` was given the block held before.
    template <typename Emit>
    bool take(unsigned char *out, size_t produced, Emit emitHeld, size_t *release)
    {
        *release = 0;
        if (produced == 0)
            return true;
        if (header.size() < kHeaderBytes)
            header.append(reinterpret_cast<const char *>(out),
                          qsizetype(std::min<size_t>(produced, size_t(kHeaderBytes - header.size()))));
        if (haveLast) {
            if (!emitHeld(last, 16))
                return false;
            released += 16;
        }
        std::memcpy(last, out + produced - 16, 16);
        haveLast = true;
        *release = produced - 16;
        released += qint64(*release);
        return true;
    }
    // How many bytes of the held block belong to the plain text, or -1 to refuse the file.
    int keepOfLast() const
    {
        if (!haveLast)
            return -1;
        const int pad = BackupCrypto::pkcs7PaddingLength(last);
        if (pad > 0)
            return 16 - pad;
        return BackupCrypto::isWholeSQLiteFile(header, released + 16) ? 16 : -1;
    }
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
    if (!cipher.init(!decrypt, fileKey, {}, /*padding=*/!decrypt)) {
        VarnekLog("Didn't create crypto, err=%ld", -1L);
        return false;
    }

    FileDescriptor in(RegularFile::openForReading(source));
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
    // Noted until it is renamed or removed, so a kill leaves no plaintext for good.
    const OwnTemporaries::Noted noted(QFile::decodeName(temporary));
    posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::vector<unsigned char> input(static_cast<size_t>(kCryptChunkSize));
    std::vector<unsigned char> output(size_t(kCryptChunkSize) + 32);
    PlainTail tail;
    auto sink = [&](const unsigned char *bytes, size_t length) { return writeFully(out.fd, bytes, length); };
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
        size_t release = produced;
        if (decrypt && !tail.take(output.data(), produced, sink, &release))
            ok = false;
        if (ok && !writeFully(out.fd, output.data(), release))
            ok = false;
        if (!ok) {
            VarnekLog("write error on %s", qUtf8Printable(destination));
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
        } else if (decrypt) {
            const int keep = tail.keepOfLast();
            if (keep < 0) {
                VarnekLog("CCCryptorFinal error %ld", -1L);
                ok = false;
            } else {
                ok = writeFully(out.fd, tail.last, size_t(keep));
            }
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
    if (!cipher.init(false, fileKey, {}, /*padding=*/false))
        return std::nullopt;

    QByteArray plain;
    PlainTail tail;
    auto sink = [&](const unsigned char *bytes, size_t length) {
        plain.append(reinterpret_cast<const char *>(bytes), qsizetype(length));
        return true;
    };
    // A source that cannot be opened is empty input, which then fails the padding check.
    FileDescriptor in(RegularFile::openForReading(source));
    if (in.fd >= 0) {
        struct stat info {};
        if (::fstat(in.fd, &info) == 0)
            plain.reserve(qsizetype(info.st_size) + 16);
        std::vector<unsigned char> input(static_cast<size_t>(kCryptChunkSize));
        std::vector<unsigned char> output(size_t(kCryptChunkSize) + 32);
        for (;;) {
            const ssize_t n = readFully(in.fd, input.data(), input.size());
            if (n < 0)
                return std::nullopt;
            if (n == 0)
                break;
            size_t produced = 0, release = 0;
            if (!cipher.update(input.data(), size_t(n), output.data(), &produced)
                || !tail.take(output.data(), produced, sink, &release))
                return std::nullopt;
            sink(output.data(), release);
            if (size_t(n) < input.size())
                break;
        }
    }
    unsigned char rest[32];
    size_t produced = 0;
    if (!cipher.final(rest, &produced))
        return std::nullopt;
    const int keep = tail.keepOfLast();
    if (keep < 0)
        return std::nullopt;
    plain.append(reinterpret_cast<const char *>(tail.last), keep);
    return plain;
}
