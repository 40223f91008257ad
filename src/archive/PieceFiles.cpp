#include "archive/PieceFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace PieceFiles {

namespace {

constexpr qint64 kChunk = 1 << 20;

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool copyIntoPlace(const QString &from, const QString &to, QString *error)
{
    QFile source(from);
    if (!QFileInfo(from).isFile() || !source.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1").arg(from));
    // QSaveFile writes beside the target, flushes and renames only on commit.
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly))
        return fail(error, target.errorString());
    QByteArray buffer;
    while (!source.atEnd()) {
        buffer = source.read(kChunk);
        if (buffer.isEmpty() && source.error() != QFileDevice::NoError) {
            target.cancelWriting();
            return fail(error, source.errorString());
        }
        if (target.write(buffer) != buffer.size()) {
            target.cancelWriting();
            return fail(error, target.errorString());
        }
    }
    if (!target.commit())
        return fail(error, target.errorString());
    return true;
}

bool moveIntoPlace(const QString &from, const QString &to, QString *error)
{
    if (!QFileInfo(from).isFile())
        return fail(error, QStringLiteral("no file at %1").arg(from));
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (errno != EXDEV)
        return fail(error, QString::fromLocal8Bit(std::strerror(errno)));
    if (!copyIntoPlace(from, to, error))
        return false;
    QFile::remove(from);
    return true;
}

bool writeIntoPlace(const QByteArray &data, const QString &to, QString *error)
{
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly) || target.write(data) != data.size()) {
        target.cancelWriting();
        return fail(error, target.errorString());
    }
    if (!target.commit())
        return fail(error, target.errorString());
    return true;
}

} // namespace PieceFiles
