#include "LNSSourceListView.h"

#include "FRWindow.h"
#include "SourceListModel.h"
#include "interfaces/ListControllerInterface.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QHash>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QStyledItemDelegate>
#include <QTimer>

namespace {

// Row icons are drawn, one per row title, and kept for the program's lifetime.
QPixmap rowIcon(const QString &title, bool active)
{
    static QHash<QString, QPixmap> cache;
    const QString key = title + (active ? QStringLiteral("_active") : QString());
    auto found = cache.constFind(key);
    if (found != cache.constEnd())
        return *found;
    const QColor colour = QColor::fromHsv(int(qHash(title) % 360), 120, 190);
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(active ? QColor(Qt::white) : colour);
    painter.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
    painter.setPen(active ? colour : QColor(Qt::white));
    QFont font = painter.font();
    font.setPixelSize(10);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, title.left(1));
    painter.end();
    cache.insert(key, pixmap);
    return pixmap;
}

class SourceListDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(qMax(size.height(), 20));
        if (index.data(SourceListModel::IsGroupRole).toBool())
            size.rheight() += 4;
        return size;
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        const QRect r = option.rect;
        const QString text = index.data(Qt::DisplayRole).toString();
        QFont font = option.font;
        if (index.data(SourceListModel::IsGroupRole).toBool()) {
            // Engraved: white one point lower, dark gray on top.
            font.setBold(true);
            painter->setFont(font);
            const QRect textRect = r.adjusted(3, 0, 0, 0);
            painter->setPen(Qt::white);
            painter->drawText(textRect.translated(0, 1), Qt::AlignVCenter | Qt::AlignLeft, text);
            painter->setPen(Qt::darkGray);
            painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, text);
            painter->restore();
            return;
        }
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) {
            QLinearGradient gradient(r.topLeft(), r.bottomLeft());
            gradient.setColorAt(0, QColor(0x5c, 0x93, 0xd9));
            gradient.setColorAt(1, QColor(0x2a, 0x63, 0xc0));
            painter->fillRect(QRect(0, r.y(), r.right() + 1, r.height()), gradient);
        }
        const QString name = index.data(SourceListModel::NameRole).toString();
        const QPixmap icon = rowIcon(name, selected);
        const int iconX = r.x() + 2;
        painter->drawPixmap(iconX, r.y() + (r.height() - icon.height() + 1) / 2, icon);
        QRect textRect = r.adjusted(icon.width() + 7, 0, -22, 0);
        font.setBold(selected);
        painter->setFont(font);
        painter->setPen(selected ? QColor(Qt::white) : QColor(Qt::black));
        painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, text);
        if (index.data(SourceListModel::SpinningRole).toBool()) {
            // A turning arc at the row's right end.
            const int step = int((QDateTime::currentMSecsSinceEpoch() / 80) % 12);
            const QRectF spin(r.right() - 16, r.y() + (r.height() - 12) / 2.0, 12, 12);
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(QPen(selected ? QColor(Qt::white) : QColor(Qt::darkGray), 2));
            painter->drawArc(spin, -step * 30 * 16, 270 * 16);
        }
        painter->restore();
    }
};

QStringList localFiles(const QMimeData *data)
{
    QStringList files;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            files << url.toLocalFile();
    }
    return files;
}

} // namespace

LNSSourceListView::LNSSourceListView(FRWindow *window, QWidget *parent)
    : QTreeView(parent)
    , mWindow(window)
{
    setObjectName(QStringLiteral("sourceList"));
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setIndentation(10);
    setItemDelegate(new SourceListDelegate(this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setFrameShape(QFrame::NoFrame);
    setMaximumWidth(200);
    QPalette p = palette();
    p.setColor(QPalette::Base, QColor(0xe0, 0xe5, 0xeb));
    setPalette(p);
    mSpinTimer = new QTimer(this);
    mSpinTimer->setInterval(80);
    connect(mSpinTimer, &QTimer::timeout, viewport(), qOverload<>(&QWidget::update));
    // Collapsing the Data group hides every spinner: loads there would show nowhere.
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex &index) {
        if (index.data(SourceListModel::NameRole).toString() == QLatin1String("Data") && mWindow)
            mWindow->hideAllSpinners();
    });
}

void LNSSourceListView::setSourceList(const QVariantList &tree)
{
    auto *old = mModel;
    mModel = new SourceListModel(tree, this);
    setModel(mModel);
    delete old;
    expandAll();
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (mWindow)
            mWindow->outlineViewSelectionDidChange();
    });
}

bool LNSSourceListView::isDataGroupExpanded() const
{
    return mModel && isExpanded(mModel->index(0, 0));
}

void LNSSourceListView::setSpinning(const QString &mode, bool on)
{
    if (!mModel)
        return;
    mModel->setSpinning(mode, on);
    if (mModel->anySpinning())
        mSpinTimer->start();
    else
        mSpinTimer->stop();
}

bool LNSSourceListView::isSpinning(const QString &mode) const
{
    return mModel && mModel->isSpinning(mode);
}

QString LNSSourceListView::selectedMode() const
{
    if (!selectionModel())
        return {};
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? QString() : rows.first().data(SourceListModel::ModeRole).toString();
}

bool LNSSourceListView::selectMode(const QString &mode)
{
    const QModelIndex row = mModel ? mModel->indexOfMode(mode) : QModelIndex();
    if (!row.isValid())
        return false;
    expand(row.parent());
    selectionModel()->select(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    setCurrentIndex(row);
    return true;
}

void LNSSourceListView::setAppearance(int appearance)
{
    if (appearance == mAppearance)
        return;
    mAppearance = appearance;
    viewport()->update();
}

bool LNSSourceListView::canDrag(const QMimeData *data, const QPoint &pos, const QObject *source)
{
    mDropRow.clear();
    // No drops while a sheet is up, into a collapsed Data group, or from our own views.
    if (!data || QApplication::activeModalWidget() || !isDataGroupExpanded() || source)
        return false;
    const QString mode = indexAt(pos).data(SourceListModel::ModeRole).toString();
    const QStringList files = localFiles(data);
    bool accept = false;
    if (mode == QLatin1String("NOTES")) {
        // Whether restores are allowed and whether notes are loading are asked of the notes
        // list, which comes with the notes feature; until it exists notes take nothing.
        ListControllerInterface *notes = mWindow ? mWindow->notesData() : nullptr;
        if (notes) {
            if (!data->hasUrls())
                accept = data->hasText() || data->hasFormat(QStringLiteral("text/rtf"));
            else
                accept = !files.isEmpty() && notes->acceptFiles(files);
        }
    } else if (mode == QLatin1String("FILE")) {
        accept = !files.isEmpty();
    }
    if (accept)
        mDropRow = mode;
    return accept;
}

bool LNSSourceListView::performDrop(const QMimeData *data)
{
    const QString row = mDropRow;
    mDropRow.clear();
    viewport()->update();
    if (!mWindow || !data)
        return false;
    if (row == QLatin1String("NOTES"))
        return mWindow->addNotesFromPasteboard(localFiles(data), data->text());
    if (row == QLatin1String("FILE"))
        return mWindow->uploadFromPasteboard(localFiles(data), QStringLiteral("/"));
    return false;
}

void LNSSourceListView::dragEnterEvent(QDragEnterEvent *event)
{
    if (canDrag(event->mimeData(), event->position().toPoint(), event->source())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
    viewport()->update();
}

void LNSSourceListView::dragMoveEvent(QDragMoveEvent *event)
{
    if (canDrag(event->mimeData(), event->position().toPoint(), event->source())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
    viewport()->update();
}

void LNSSourceListView::dragLeaveEvent(QDragLeaveEvent *event)
{
    mDropRow.clear();
    viewport()->update();
    event->accept();
}

void LNSSourceListView::dropEvent(QDropEvent *event)
{
    if (performDrop(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void LNSSourceListView::paintEvent(QPaintEvent *event)
{
    QTreeView::paintEvent(event);
    if (mDropRow.isEmpty() || !mModel)
        return;
    // The drop target gets a rounded outline.
    const QRect row = visualRect(mModel->indexOfMode(mDropRow));
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.drawRoundedRect(QRectF(row).adjusted(1.5, 1.5, -1.5, -1.5), 6, 6);
}
