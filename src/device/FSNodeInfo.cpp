#include "device/FSNodeInfo.h"

#include "device/AppController.h"
#include "device/DeviceNames.h"
#include "device/DevicePath.h"
#include "device/FolderSizer.h"
#include "shell/Defaults.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QMimeDatabase>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FSNodeInfo", text);
}

} // namespace

FSNodeInfo::FSNodeInfo(AppController &device, const QString &absolutePath)
    : mDevice(&device), mPath(DevicePath::normalized(absolutePath))
{
}

FSNodeInfo FSNodeInfo::nodeWithParent(const FSNodeInfo *parent, const QString &relativePath, AppController &device)
{
    if (!parent)
        return FSNodeInfo(device, relativePath);
    return FSNodeInfo(device, DevicePath::join(parent->absolutePath(), relativePath));
}

QString FSNodeInfo::lastPathComponent() const
{
    return DevicePath::lastComponent(mPath);
}

QString FSNodeInfo::displayName() const
{
    return DeviceNames::fixSlashesAndColonsOut(lastPathComponent());
}

int FSNodeInfo::kind() const
{
    const QVariant value = mDevice->getNode(mPath);
    return value.isValid() ? value.toInt() : -1;
}

QList<FSNodeInfo> FSNodeInfo::subNodes() const
{
    // The listing answers device paths under the start folder; children keep browser paths.
    QList<FSNodeInfo> nodes;
    for (const QString &path : mDevice->getPathsForDir(mPath))
        nodes << FSNodeInfo(*mDevice, DevicePath::join(mPath, DevicePath::lastComponent(path)));
    return nodes;
}

QList<FSNodeInfo> FSNodeInfo::visibleSubNodes() const
{
    QList<FSNodeInfo> visible;
    for (const FSNodeInfo &node : subNodes()) {
        if (node.isVisible())
            visible << node;
    }
    return visible;
}

bool FSNodeInfo::isVisible() const
{
    if (preferenceBool(QStringLiteral("ADVANCED_MODE")))
        return true;
    const QString name = lastPathComponent();
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.'));
}

QStringList FSNodeInfo::getBundleTypes()
{
    static const QStringList types = {
        QStringLiteral("app"),     QStringLiteral("pkg"),          QStringLiteral("nib"),  QStringLiteral("bundle"),
        QStringLiteral("plugin"),  QStringLiteral("component"),    QStringLiteral("rtfd"), QStringLiteral("dict"),
        QStringLiteral("sparsebundle"), QStringLiteral("kext"),    QStringLiteral("menu"), QStringLiteral("prefPane"),
        QStringLiteral("help"),    QStringLiteral("saver"),        QStringLiteral("widgetplugin"), QStringLiteral("wdgt"),
        QStringLiteral("qtx"),     QStringLiteral("pages"),        QStringLiteral("key"),  QStringLiteral("numbers")};
    return types;
}

QString FSNodeInfo::formatDate(const QVariant &secondsSince1970)
{
    bool ok = false;
    const qint64 seconds = secondsSince1970.toString().toLongLong(&ok);
    if (!ok || seconds == 0)
        return QString();
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(seconds).date(), QLocale::ShortFormat);
}

QString FSNodeInfo::createDateString() const
{
    return formatDate(mDevice->getAttributesForFile(mPath).value(QStringLiteral("CREATION_DATE")));
}

QString FSNodeInfo::modDateString() const
{
    const QVariantMap attributes = mDevice->getAttributesForFile(mPath);
    if (attributes.contains(QStringLiteral("MOD_DATE")))
        return formatDate(attributes.value(QStringLiteral("MOD_DATE")));
    const QDateTime date = mDevice->getFileDate(mPath, false);
    return date.isValid() ? formatDate(QString::number(date.toSecsSinceEpoch())) : QString();
}

QString FSNodeInfo::fsType() const
{
    if (isDirectory())
        return tr("Folder");
    if (isSymLink())
        return tr("Symbolic Link");
    const QList<QMimeType> types = QMimeDatabase().mimeTypesForFileName(lastPathComponent());
    if (!types.isEmpty() && !types.first().comment().isEmpty())
        return types.first().comment();
    return tr("File");
}

QString FSNodeInfo::iconName() const
{
    if (isDirectory())
        return QStringLiteral("folder");
    if (isSymLink())
        return QStringLiteral("inode-symlink");
    const QList<QMimeType> types = QMimeDatabase().mimeTypesForFileName(lastPathComponent());
    return types.isEmpty() ? QStringLiteral("text-x-generic") : types.first().iconName();
}

QString FSNodeInfo::sizeString() const
{
    FolderSizer::request(*mDevice, mPath);
    return tr("Calculating...");
}

void FSNodeInfo::stopSizeThread(AppController &device)
{
    FolderSizer::stop(device);
}

void AppController::stopSizeThread()
{
    FSNodeInfo::stopSizeThread(*this);
}
