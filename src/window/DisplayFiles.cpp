#include "DisplayFiles.h"

#include "shell/VarnekLogger.h"

#include <QDir>
#include <QSaveFile>

namespace DisplayFiles {

QString safeAttachmentName(const QString &name)
{
    QString last = name.section(QLatin1Char('/'), -1);
    if (last.contains(QChar(0)) || last.isEmpty() || last == QLatin1String(".") || last == QLatin1String(".."))
        return {};
    return last;
}

bool writeAttachment(const QString &folder, const QString &name, const QByteArray &data)
{
    const QString safe = safeAttachmentName(name);
    if (safe.isEmpty() || folder.isEmpty()) {
        VarnekLog("Attachment name refused: %s", qUtf8Printable(name));
        return false;
    }
    QSaveFile file(QDir(folder).filePath(safe));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        VarnekLog("Could not write attachment %s: %s", qUtf8Printable(safe), qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}

QUrl baseURLForFolder(const QString &folder)
{
    QString path = folder;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return QUrl::fromLocalFile(path);
}

} // namespace DisplayFiles
