#include "FRTableView.h"

#include "shell/SystemFlags.h"

#include <QDrag>
#include <QFocusEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>

namespace {

QImage imageOf(const QVariant &value)
{
    if (value.canConvert<QImage>() && value.metaType() == QMetaType::fromType<QImage>())
        return value.value<QImage>();
    if (value.metaType() == QMetaType::fromType<QPixmap>())
        return value.value<QPixmap>().toImage();
    QImage image;
    image.loadFromData(value.toByteArray());
    return image;
}

QPixmap composedImage(const QList<QImage> &pictures, const std::function<QRectF(int)> &placeOf,
                      const std::function<QRectF(const QImage &)> &sourceOf)
{
    QPixmap composed(80, 80);
    composed.fill(Qt::transparent);
    QPainter painter(&composed);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setOpacity(0.8);
    for (int k = int(pictures.size()) - 1; k >= 0; --k) {
        if (!pictures.at(k).isNull())
            painter.drawImage(placeOf(k), pictures.at(k), sourceOf(pictures.at(k)));
    }
    return composed;
}

} // namespace

void fixTableHeader(QTableView *table)
{
    if (table && !OS1010.load())
        table->horizontalHeader()->setFixedHeight(17);
}

QPixmap namedImage(const QString &name)
{
    // Drawn rather than shipped: a page with a folded corner, several for the "_multi" and
    // plural forms.
    static QHash<QString, QPixmap> cache;
    if (auto found = cache.constFind(name); found != cache.constEnd())
        return *found;
    const bool several = name.endsWith(QLatin1String("_multi")) || name == QLatin1String("notes_icon")
        || name == QLatin1String("logs_icon");
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = QColor::fromHsv(int(qHash(name.section(QLatin1Char('_'), 0, 0)) % 360), 90, 230);
    for (int layer = several ? 2 : 0; layer >= 0; --layer) {
        const QRectF page(4 + layer * 3, 2 + layer * 3, 20, 24);
        painter.setPen(QPen(Qt::darkGray, 1));
        painter.setBrush(layer == 0 ? colour : colour.darker(110 + 10 * layer));
        painter.drawRoundedRect(page, 2, 2);
    }
    painter.end();
    cache.insert(name, pixmap);
    return pixmap;
}

DragImage composedDragImage(ListControllerInterface::Kind kind, int count, const QList<QVariantMap> &items)
{
    using Kind = ListControllerInterface::Kind;
    if (count <= 0)
        return {};
    const bool one = count == 1;
    auto named = [](const QString &name) { return DragImage{namedImage(name), name}; };
    switch (kind) {
    case Kind::Contacts: {
        // Up to three pictures, each 50 by 50, stepping 10 points; the first on top at (20, 20).
        QList<QImage> pictures;
        for (int k = 0; k < qMin(count, 3) && k < items.size(); ++k)
            pictures << imageOf(items.at(k).value(QStringLiteral("picture")));
        return {composedImage(
                    pictures, [](int k) { return QRectF(20 - 10 * k, 20 - 10 * k, 50, 50); },
                    [](const QImage &image) { return QRectF(image.rect()); }),
                {}};
    }
    case Kind::Photos: {
        if (one && !items.isEmpty()) {
            const QImage thumb = imageOf(items.first().value(QStringLiteral("thumb")));
            return {QPixmap::fromImage(thumb), {}};
        }
        // Thumbnails of items min(n, 3) - 1 down to 0 at offsets 0, 10, 20, each 55 by 56
        // from its thumbnail less the leftmost column.
        QList<QImage> thumbs;
        for (int k = 0; k < qMin(count, 3) && k < items.size(); ++k)
            thumbs << imageOf(items.at(k).value(QStringLiteral("thumb")));
        const int last = int(thumbs.size()) - 1;
        QList<QImage> drawOrder;
        for (int k = 0; k <= last; ++k)
            drawOrder << thumbs.at(k);
        return {composedImage(
                    drawOrder, [last](int k) { return QRectF(10 * (last - k), 10 * (last - k), 55, 56); },
                    [](const QImage &image) { return QRectF(image.rect()).adjusted(1, 0, 0, 0); }),
                {}};
    }
    case Kind::Notes:
        return named(one ? QStringLiteral("note_icon") : QStringLiteral("notes_icon"));
    case Kind::Messages:
        // A single picture or video part shows its own thumbnail.
        if (one && items.size() == 1 && items.first().contains(QStringLiteral("thumb"))) {
            QPixmap thumb;
            if (thumb.loadFromData(items.first().value(QStringLiteral("thumb")).toByteArray()))
                return {thumb.scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation), {}};
        }
        return named(one ? QStringLiteral("log_icon") : QStringLiteral("logs_icon"));
    case Kind::Calls:
        return named(one ? QStringLiteral("log_icon") : QStringLiteral("logs_icon"));
    case Kind::Bookmarks:
        return named(one ? QStringLiteral("webloc") : QStringLiteral("webloc_multi"));
    case Kind::Media:
        break;
    }
    return named(one ? QStringLiteral("iTunes-generic") : QStringLiteral("iTunes-generic_multi"));
}

FRTableView::FRTableView(QWidget *parent)
    : QTableView(parent)
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setShowGrid(false);
    setAlternatingRowColors(true);
    setSortingEnabled(true);
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setHighlightSections(false);
}

void FRTableView::setNoHighlight(bool noHighlight)
{
    mNoHighlight = noHighlight;
    viewport()->update();
}

void FRTableView::initViewItemOption(QStyleOptionViewItem *option) const
{
    QTableView::initViewItemOption(option);
    if (mNoHighlight)
        option->state &= ~QStyle::State_Selected;
}

void FRTableView::reloadData()
{
    reset();
    horizontalHeader()->setStretchLastSection(true);
}

QRect FRTableView::frameOfCellAtColumn(int column, int row) const
{
    if (!model() || column < 0 || column >= model()->columnCount() || row < 0 || row >= model()->rowCount())
        return {};
    return visualRect(model()->index(row, column));
}

Qt::DropActions FRTableView::draggingSourceOperationMaskForLocal(bool local)
{
    return local ? Qt::IgnoreAction : Qt::CopyAction;
}

void startListDrag(QAbstractItemView *view, ListControllerInterface *source)
{
    QItemSelectionModel *selection = view->selectionModel();
    const QModelIndexList rows = selection ? selection->selectedRows() : QModelIndexList();
    if (rows.isEmpty() || !view->model())
        return;
    QMimeData *data = view->model()->mimeData(rows);
    if (!data)
        return;
    auto *drag = new QDrag(view);
    drag->setMimeData(data);
    if (source) {
        const DragImage image = composedDragImage(source->kind(), source->numDragging(), source->dragItems());
        if (!image.image.isNull()) {
            drag->setPixmap(image.image);
            // Centred on the pointer.
            drag->setHotSpot(QPoint(image.image.width() / 2, image.image.height() / 2));
        }
    }
    // Our own drop targets refuse drags that come from inside the application.
    drag->exec(FRTableView::draggingSourceOperationMaskForLocal(false));
}

void FRTableView::startDrag(Qt::DropActions)
{
    startListDrag(this, mDataSource);
}

void FRTableView::focusInEvent(QFocusEvent *event)
{
    QTableView::focusInEvent(event);
    if (mDataSource && mDataSource->kind() == ListControllerInterface::Kind::Messages)
        mDataSource->tableBecameKey(this);
}
