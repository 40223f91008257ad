#include "shell/LazyFileDragData.h"

#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>

#include <cstdlib>

namespace {

// A new folder, never one that existed before; its name says what it holds.
QString makeStagingFolder()
{
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return {};
    QByteArray pattern = QFile::encodeName(temp + QStringLiteral("drag-XXXXXX"));
    if (!::mkdtemp(pattern.data()))
        return {};
    return QFile::decodeName(pattern);
}

} // namespace

LazyFileDragData::LazyFileDragData(Fill fill, QObject *parent) : QMimeData(), mFill(std::move(fill))
{
    setParent(parent);
}

QStringList LazyFileDragData::formats() const
{
    QStringList all = QMimeData::formats();
    if (!all.contains(QLatin1String(kUriListType)))
        all.prepend(QLatin1String(kUriListType));
    return all;
}

bool LazyFileDragData::hasFormat(const QString &mimeType) const
{
    return mimeType == QLatin1String(kUriListType) || QMimeData::hasFormat(mimeType);
}

QVariant LazyFileDragData::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (mimeType != QLatin1String(kUriListType))
        return QMimeData::retrieveData(mimeType, type);
    if (mState == State::Filling)
        return {};
    const QList<QUrl> urls = fillOnce();
    QVariantList list;
    for (const QUrl &url : urls)
        list << url;
    return list;
}

QList<QUrl> LazyFileDragData::fillOnce() const
{
    if (mState == State::Filled)
        return mUrls;
    mState = State::Filling;
    mStagingFolder = makeStagingFolder();
    QStringList written;
    if (mStagingFolder.isEmpty())
        VarnekLog("drag: no staging folder in the temporary folder");
    else if (mFill)
        written = mFill(mStagingFolder);
    for (const QString &path : std::as_const(written)) {
        // Only what the fill put into this drag's own folder leaves with it.
        if (QFileInfo(path).absolutePath() == QFileInfo(mStagingFolder).absoluteFilePath() && QFileInfo::exists(path))
            mUrls << QUrl::fromLocalFile(path);
    }
    mState = State::Filled;
    return mUrls;
}
