#include "archive/PieceNames.h"

#include <QDir>
#include <QFileInfo>

namespace PieceNames {

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

bool isPieceFolderName(const QString &folderName)
{
    if (!isPlainName(folderName))
        return false;
    const QString suffix = QFileInfo(folderName).suffix();
    return suffix == QLatin1String("qnmdb") || suffix == QLatin1String("qnxmdb");
}

QString checkedRelativePath(const QString &relativePath)
{
    const qsizetype slash = relativePath.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return {};
    const QString folder = relativePath.left(slash);
    const QString name = relativePath.mid(slash + 1);
    if (!isPieceFolderName(folder) || !isPlainName(name))
        return {};
    return relativePath;
}

bool isInsidePieceFolder(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    const QFileInfo item(path);
    // The item itself may be a link (never followed: it is what gets moved or deleted);
    // its folder is resolved.
    if (!item.exists() && !item.isSymLink())
        return false;
    const QString name = item.fileName();
    if (!isPlainName(name))
        return false;
    const QString parent = QFileInfo(item.absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        return false;
    const QFileInfo parentInfo(parent);
    return parentInfo.isDir() && isPieceFolderName(parentInfo.fileName());
}

} // namespace PieceNames
