// The messages list in the main window: the controller's models in the conversation
// outline and the bubble table, selections handed to the controller (conversations as the
// tree's own nodes), double clicks that export and open, and the conversation view.

#include "window/FRWindow.h"

#include "messages/FRMMSInfo.h"
#include "messages/SMSDataController.h"
#include "messages/ui/FRSMSCell.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"
#include "shell/RecordTreeModel.h"
#include "window/DisplayFiles.h"
#include "window/FROutlineView.h"
#include "window/FRTableView.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLayout>
#include <QTextBrowser>
#include <QUrl>

void FRWindow::setSmsDataController(SMSDataController *controller)
{
    mSmsDataController = controller;
    smsController = controller;
    auto *threads = findChild<FROutlineView *>(QStringLiteral("threadList"));
    auto *table = findChild<FRTableView *>(QStringLiteral("smsTable"));
    if (!controller || !threads || !table)
        return;
    controller->setWindow(this);
    threads->setModel(controller->threadModel());
    threads->setDataSource(controller);
    threads->setHeaderHidden(true);
    threads->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setModel(controller->tableModel());
    table->setDataSource(controller);
    table->setItemDelegate(new FRSMSCell(table));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setShowGrid(false);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    fixTableHeader(table);

    connect(threads->selectionModel(), &QItemSelectionModel::selectionChanged, this, [controller, threads] {
        QList<QVariantMap> selected;
        for (const QModelIndex &index : threads->selectionModel()->selectedRows())
            selected.append(controller->threadModel()->values(index));
        controller->setCurrentThreads(selected);
        controller->setExportConversation(selected);
    });
    if (preferenceBool(QStringLiteral("useLegacySMSView2")) && table->parentWidget() && table->parentWidget()->layout()) {
        mConversationView = new QTextBrowser(table->parentWidget());
        mConversationView->setObjectName(QStringLiteral("conversationView"));
        mConversationView->setOpenLinks(false);
        table->parentWidget()->layout()->addWidget(mConversationView);
    }
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, table, [this, controller, table] {
        QList<FRSMSInfoPtr> rows;
        for (const QModelIndex &index : table->selectionModel()->selectedRows())
            rows.append(index.data(RecordTableModel::ValueRole).value<FRSMSInfoPtr>());
        controller->setSelectedRows(rows);
        if (!mConversationView)
            return;
        if (rows.size() == 1 && rows.first() && !rows.first()->SMSFullHTML().isEmpty())
            setSMSText(rows.first()->SMSFullHTML(), true, rows.first().get());
        else if (rows.size() == 1 && rows.first())
            setSMSText(rows.first()->SMSFullText(), false, nullptr);
        else
            setSMSText(QString(), false, nullptr);
    });
    controller->onRowsChanged = [table] {
        table->resizeRowsToContents();
        table->viewport()->update();
    };
    controller->onThreadsChanged = [threads] {
        threads->expandAll();
        if (!threads->selectionModel()->hasSelection() && threads->model()->rowCount() > 0)
            threads->setCurrentIndex(threads->model()->index(0, 0));
    };
    controller->onThumbnail = [table] {
        table->resizeRowsToContents();
        table->viewport()->update();
    };
    connect(table, &QAbstractItemView::doubleClicked, this, [this, controller] {
        QString error, play;
        const QStringList open = controller->doubleClickExport(&error, &play);
        if (!error.isEmpty())
            showInformationPanel(tr("The messages could not be exported."), error);
        for (const QString &path : open)
            QDesktopServices::openUrl(QUrl::fromLocalFile(path));
        if (!play.isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(play));
    });
}

void FRWindow::setSMSText(const QString &html, bool isHTML, const FRSMSInfo *smsid)
{
    // The one-row-per-message view shows a whole message here: its attachments are written
    // into the temporary folder under their own (last-component) names, so the HTML finds
    // them relative to that folder.
    if (!mConversationView)
        return;
    const QString folder = getTempDir();
    if (isHTML && smsid && !folder.isEmpty()) {
        auto *self = const_cast<FRSMSInfo *>(smsid);
        const FRSMSInfoPtr message = FRSMSInfo::infoWithInfo(self->info(), smsid->dataController());
        message->setIsiTunes(smsid->iTunesString());
        message->setIsBackup(smsid->isBackup());
        message->setKeyBag(smsid->keybag(), smsid->keysNClasses());
        for (const FRMMSInfoPtr &part : FRMMSInfo::objectsFromSMSInfo(message)) {
            if (part->mediaType() == FRMMSInfo::Text)
                continue;
            const QByteArray bytes = part->mediaBytes();
            if (!bytes.isEmpty())
                DisplayFiles::writeAttachment(folder, part->contents().section(QLatin1Char('/'), -1), bytes);
        }
        mConversationView->document()->setBaseUrl(DisplayFiles::baseURLForFolder(folder));
        mConversationView->setHtml(html);
    } else {
        mConversationView->setPlainText(html);
    }
}
