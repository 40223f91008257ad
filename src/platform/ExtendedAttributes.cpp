#include "ExtendedAttributes.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/xattr.h>

namespace {

// Attribute values are small flags and identifiers; the kernel allows at most 64 KiB.
constexpr ssize_t kMaxValueSize = 64 * 1024;

QByteArray attributeName(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    return utf8.startsWith("user.") ? utf8 : QByteArray("user.") + utf8;
}

bool fail(QString *error, const char *what, const QString &path, const QString &name, int code)
{
    if (error)
        *error = QStringLiteral("cannot %1 attribute %2 of %3: %4")
                     .arg(QLatin1String(what), name, path, QString::fromLocal8Bit(std::strerror(code)));
    return false;
}

} // namespace

namespace ExtendedAttributes {

std::optional<QByteArray> get(const QString &path, const QString &name, QString *error)
{
    const QByteArray file = QFile::encodeName(path);
    const QByteArray attribute = attributeName(name);
    // The value can change between the size query and the read; a few tries settle it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = getxattr(file.constData(), attribute.constData(), nullptr, 0);
        if (size < 0) {
            fail(error, "read", path, name, errno);
            return std::nullopt;
        }
        if (size > kMaxValueSize) {
            fail(error, "read", path, name, E2BIG);
            return std::nullopt;
        }
        QByteArray value(qsizetype(size), Qt::Uninitialized);
        const ssize_t read = getxattr(file.constData(), attribute.constData(), value.data(), size_t(size));
        if (read >= 0) {
            value.truncate(qsizetype(read));
            return value;
        }
        if (errno != ERANGE) {
            fail(error, "read", path, name, errno);
            return std::nullopt;
        }
    }
    fail(error, "read", path, name, ERANGE);
    return std::nullopt;
}

bool set(const QString &path, const QString &name, const QByteArray &value, QString *error)
{
    const QByteArray attribute = attributeName(name);
    if (setxattr(QFile::encodeName(path).constData(), attribute.constData(), value.constData(),
                 size_t(value.size()), 0) != 0)
        return fail(error, "write", path, name, errno);
    return true;
}

bool remove(const QString &path, const QString &name, QString *error)
{
    const QByteArray attribute = attributeName(name);
    if (removexattr(QFile::encodeName(path).constData(), attribute.constData()) != 0)
        return fail(error, "remove", path, name, errno);
    return true;
}

} // namespace ExtendedAttributes
