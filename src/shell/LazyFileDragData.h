#pragma once
// The data of a drag that carries device items out to the desktop. X11 and Wayland know no
// promised files: a drop target asks for "text/uri-list" and copies the files it names at
// once. So the list is made only when a target first asks for it: the drag's fill function
// is handed a fresh, empty staging folder under the per-run temporary folder, writes the
// dragged items into it (through the export engine, with its progress and Cancel) and
// answers the paths it wrote; the target gets their file URLs and settles name clashes in
// its own folder. A drag that is never dropped copies nothing.
//
// Other formats (a list's own types, "FRMoveFilesPboardType") are set with setData() as on
// any QMimeData and answered as they are.
//
// Main thread only, like every QMimeData: Qt asks for the data on the main thread, and the
// fill function may turn an event loop while the copy runs. It runs at most once per drag;
// a second ask while it runs gets no data, later asks get the same list. An empty answer
// (a cancelled or failed copy) drops nothing.

#include <QMimeData>
#include <QStringList>
#include <QUrl>

#include <functional>

class LazyFileDragData : public QMimeData
{
    Q_OBJECT

public:
    static constexpr const char *kUriListType = "text/uri-list";
    using Fill = std::function<QStringList(const QString &stagingFolder)>;

    explicit LazyFileDragData(Fill fill, QObject *parent = nullptr);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

    // The staging folder of the drop once the list was made (empty before).
    QString stagingFolder() const { return mStagingFolder; }
    // Whether a target asked for the files (the fill ran or runs).
    bool filled() const { return mState != State::Waiting; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    enum class State { Waiting, Filling, Filled };
    QList<QUrl> fillOnce() const;

    Fill mFill;
    mutable State mState = State::Waiting;
    mutable QString mStagingFolder;
    mutable QList<QUrl> mUrls;
};
