#include "device/DropTargets.h"

#include "device/DevicePath.h"
#include "platform/PropertyList.h"

namespace DropTargets {

bool draggingIntoSelf(const QStringList &movedPaths, const QString &targetFolder)
{
    const QString target = DevicePath::normalized(targetFolder);
    for (const QString &moved : movedPaths) {
        const QString path = DevicePath::normalized(moved);
        if (target == path || DevicePath::isBelow(target, path))
            return true;
        if (DevicePath::parent(path) == target)
            return true;
    }
    return false;
}

QStringList localFiles(const QList<QUrl> &urls)
{
    QStringList files;
    for (const QUrl &url : urls) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            files << url.toLocalFile();
    }
    return files;
}

QByteArray encodeMoveList(const QStringList &paths)
{
    QVariantList list;
    for (const QString &path : paths)
        list << path;
    return PropertyList::toData(list, PropertyList::Format::Xml);
}

QStringList decodeMoveList(const QByteArray &data)
{
    const auto value = PropertyList::fromData(data);
    if (!value)
        return {};
    QStringList paths;
    for (const QVariant &entry : value->toList()) {
        if (entry.typeId() != QMetaType::QString)
            return {};
        paths << entry.toString();
    }
    return paths;
}

} // namespace DropTargets
