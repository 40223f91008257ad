#include "NotesListView.h"

#include "personal/NotesDataController.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"
#include "window/FRTableView.h"

#include <QDir>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QMimeData>
#include <QPointer>
#include <QUrl>

namespace {

// The drag's data: text and rich text at once, the files only when the drop asks for them.
class NotesMimeData : public QMimeData
{
public:
    NotesMimeData(NotesDataController *controller, const NotesDataController::DragContents &contents)
        : mController(controller)
    {
        setText(contents.text);
        if (!contents.rtf.isEmpty())
            setData(QStringLiteral("text/rtf"), contents.rtf);
        mHasFiles = !contents.promisedFiles.isEmpty();
    }

    QStringList formats() const override
    {
        QStringList all = QMimeData::formats();
        if (mHasFiles && !all.contains(QStringLiteral("text/uri-list")))
            all.append(QStringLiteral("text/uri-list"));
        return all;
    }

    bool hasFormat(const QString &mimeType) const override
    {
        return (mHasFiles && mimeType == QLatin1String("text/uri-list")) || QMimeData::hasFormat(mimeType);
    }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override
    {
        if (mimeType == QLatin1String("text/uri-list") && mHasFiles) {
            if (mUrls.isEmpty() && mController) {
                // The files go to a folder of their own in the temporary folder, from which
                // the drop copies them.
                const QString folder = getTempDir() + QStringLiteral("dragged-notes-") + QString::number(++sDrags);
                QDir().mkpath(folder);
                for (const QString &name : mController->namesOfPromisedFilesDroppedAtDestination(folder))
                    mUrls.append(QUrl::fromLocalFile(folder + QLatin1Char('/') + name));
            }
            // As a list of URL variants, the form QMimeData::urls() reads.
            QVariantList urls;
            for (const QUrl &url : std::as_const(mUrls))
                urls.append(url);
            return urls;
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    QPointer<NotesDataController> mController;
    bool mHasFiles = false;
    mutable QList<QUrl> mUrls;
    static inline int sDrags = 0;
};

// The controller's model as the table shows it, with drags answered by the controller.
class NotesDragModel : public QIdentityProxyModel
{
public:
    NotesDragModel(NotesDataController *controller, QObject *parent)
        : QIdentityProxyModel(parent), mController(controller)
    {
        setSourceModel(controller->model());
    }

    QMimeData *mimeData(const QModelIndexList &indexes) const override
    {
        QList<int> rows;
        for (const QModelIndex &index : indexes)
            if (!rows.contains(index.row()))
                rows.append(index.row());
        return new NotesMimeData(mController, mController->writeRows(rows));
    }

    QStringList mimeTypes() const override { return {QStringLiteral("text/plain"), QStringLiteral("text/uri-list")}; }

private:
    NotesDataController *mController;
};

} // namespace

NotesListView::NotesListView(NotesDataController *controller, FRTableView *table)
    : QObject(table), mController(controller), mTable(table)
{
    QAbstractItemModel *old = table->model();
    table->setModel(new NotesDragModel(controller, table));
    if (old && old->parent() == table)
        old->deleteLater();
    table->setDataSource(controller);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setDragEnabled(true);

    QHeaderView *header = table->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSectionsClickable(true);
    header->setSortIndicator(controller->model()->columnOfIdentifier(controller->sortColumn()), controller->sortOrder());
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this](int section, Qt::SortOrder order) {
        const auto columns = mController->model()->columns();
        if (section >= 0 && section < columns.size())
            mController->sortBy(columns[section].identifier, order);
    });
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (mSelecting)
            return;
        QList<int> rows;
        for (const QModelIndex &index : mTable->selectionModel()->selectedRows())
            rows.append(index.row());
        mController->setSelectedRows(rows);
    });
    connect(table, &QAbstractItemView::doubleClicked, controller, [controller] { controller->notesDoubleClick(); });
    connect(controller, &NotesDataController::rowsSelected, this, [this](const QList<int> &rows, int scrollTo) {
        QItemSelectionModel *selection = mTable->selectionModel();
        mSelecting = true;
        selection->clearSelection();
        for (int row : rows)
            selection->select(mTable->model()->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        mSelecting = false;
        if (scrollTo >= 0)
            mTable->scrollTo(mTable->model()->index(scrollTo, 0));
    });
}
