// The window's file browser (Disk and Apps modes): the column view over DeviceFilesModel,
// its selection, and the file commands new folder, rename and delete, and moves inside the
// browser. Device calls of the commands are single quick requests made on the main thread,
// as the controller serialises them; listings and sizes run on workers.

#include "FRWindow.h"

#include "device/AppController.h"
#include "device/DeviceFilesModel.h"
#include "device/DeviceNames.h"
#include "device/DevicePath.h"
#include "device/DropTargets.h"
#include "platform/NotificationCenter.h"
#include "shell/VarnekLogger.h"
#include "window/ICDragDropBrowser.h"

#include <QInputDialog>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

void FRWindow::setupFileBrowser(ICDragDropBrowser *browser)
{
    fsBrowser = browser;
    if (!mDevice || !fsBrowser)
        return;
    mFilesModel = new DeviceFilesModel(*mDevice, this);
    fsBrowser->setModel(mFilesModel);
    connect(fsBrowser->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { browserSelectionChanged(); });
    connect(mFilesModel, &DeviceFilesModel::folderLoaded, this, [this](const QString &folder) {
        if (mPendingSelectFolder == folder && !mPendingSelectFile.isEmpty()) {
            const QModelIndex index = mFilesModel->indexForPath(mPendingSelectFile);
            if (index.isValid())
                fsBrowser->setCurrentIndex(index);
            mPendingSelectFile.clear();
        }
    });
}

void FRWindow::reloadData()
{
    if (mFilesModel)
        mFilesModel->reload();
}

void FRWindow::refreshPath(const QString &folder, const QString &selectFile)
{
    VarnekLog("refreshPath for: %s", qUtf8Printable(folder));
    if (!mFilesModel)
        return;
    mPendingSelectFolder = DevicePath::normalized(folder);
    mPendingSelectFile = selectFile;
    mFilesModel->refreshFolder(mPendingSelectFolder);
    if (mDevice)
        mDevice->updateStatusMessage();
}

void FRWindow::browserSelectionChanged()
{
    const QStringList selected = getSelectedElements();
    // Read by the free-space thread: whole-disk mode with a selection outside the user area.
    bool userArea = true;
    if (mDevice && mDevice->afc2Mode() && selected.size() == 1)
        userArea = AppController::pathIsInUserArea(DevicePath::join(mDevice->getStartDir(), selected.first()));
    mSelectionInUserArea.store(userArea);
    if (!mThreadRunning.load() && mDevice)
        mDevice->stopSizeThread();
    updateStatus();
}

QStringList FRWindow::getSelectedElements() const
{
    QStringList paths;
    if (!fsBrowser || !fsBrowser->selectionModel())
        return paths;
    for (const QModelIndex &index : fsBrowser->selectionModel()->selectedIndexes())
        paths << index.data(DeviceFilesModel::PathRole).toString();
    return paths;
}

QString FRWindow::getSelectedDir() const
{
    const QStringList selected = getSelectedElements();
    if (selected.size() != 1)
        return QString();
    const QModelIndex index = mFilesModel->indexForPath(selected.first());
    return index.data(DeviceFilesModel::IsFolderRole).toBool() ? selected.first() : DevicePath::parent(selected.first());
}

void FRWindow::newFolder()
{
    if (!mDevice)
        return;
    const QString folder = getSelectedDir();
    const QString untitled = tr("Untitled Folder");
    QString proposal = untitled;
    for (int n = 1; n <= 9999 && mDevice->fileExistsOniPhone(DevicePath::join(folder, proposal)); ++n)
        proposal = untitled + QStringLiteral(" %1").arg(n);
    auto *sheet = new QInputDialog(this);
    sheet->setObjectName(QStringLiteral("nameSheet"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setLabelText(tr("Enter new folder name:"));
    sheet->setTextValue(proposal);
    sheet->setOkButtonText(tr("OK"));
    sheet->setCancelButtonText(tr("Cancel"));
    connect(sheet, &QInputDialog::textValueSelected, this, [this](const QString &typed) { makeNewFolder(typed); });
    sheet->open();
}

void FRWindow::makeNewFolder(const QString &typed)
{
    const std::optional<QString> name = DeviceNames::fixSlashesAndColonsIn(typed);
    if (!name) {
        if (!typed.isEmpty())
            reportError(tr("New Folder"), tr("The name \"%1\" cannot be used for a folder.").arg(typed), 0);
        return;
    }
    const QString folder = getSelectedDir();
    const int result = mDevice->newFolder(folder, *name);
    if (result == AppController::kFileExists) {
        showInformationPanel(tr("New Folder"), tr("A folder named \"%1\" already exists on the %2.")
                                                   .arg(DeviceNames::fixSlashesAndColonsOut(*name), mDevice->deviceClass()));
        return;
    }
    if (result)
        reportError(tr("New Folder"), tr("An error occurred creating the new folder."), result);
    refreshPath(folder.isEmpty() ? QStringLiteral("/") : folder, DevicePath::join(folder, *name));
}

void FRWindow::rename()
{
    const QStringList selected = getSelectedElements();
    if (selected.size() != 1 || !mDevice)
        return;
    mRenamingFile = selected.first();
    VarnekLog("renaming %s", qUtf8Printable(mRenamingFile));
    auto *sheet = new QInputDialog(this);
    sheet->setObjectName(QStringLiteral("nameSheet"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setLabelText(tr("Enter a new name:"));
    sheet->setTextValue(DeviceNames::fixSlashesAndColonsOut(DevicePath::lastComponent(mRenamingFile)));
    sheet->setOkButtonText(tr("OK"));
    sheet->setCancelButtonText(tr("Cancel"));
    connect(sheet, &QInputDialog::textValueSelected, this, [this](const QString &typed) {
        const std::optional<QString> name = DeviceNames::fixSlashesAndColonsIn(typed);
        if (!name) {
            if (!typed.isEmpty())
                reportError(tr("Rename"), tr("The name \"%1\" cannot be used.").arg(typed), 0);
            return;
        }
        doRename(mRenamingFile, DevicePath::join(DevicePath::parent(mRenamingFile), *name));
    });
    sheet->open();
}

void FRWindow::doRename(const QString &oldPath, const QString &newPath)
{
    if (oldPath == newPath)
        return;
    const int result = mDevice->rename(oldPath, newPath);
    if (result == AppController::kFileExists) {
        showInformationPanel(tr("Rename"), tr("A file or folder named \"%1\" already exists on the %2.")
                                               .arg(DeviceNames::fixSlashesAndColonsOut(DevicePath::lastComponent(newPath)),
                                                    mDevice->deviceClass()));
        return;
    }
    if (result)
        reportError(tr("Rename"), tr("An error occurred renaming the file or folder."), result);
    refreshPath(DevicePath::parent(newPath), newPath);
}

void FRWindow::trash()
{
    const QStringList items = getSelectedElements();
    if (items.isEmpty() || !mDevice)
        return;
    auto *sheet = new QMessageBox(QMessageBox::Warning, tr("Permanently Delete Selection?"),
                                  items.size() == 1 ? tr("Are you sure that you want to permanently delete the selected item?")
                                                    : tr("Are you sure that you want to permanently delete the selected items?"),
                                  QMessageBox::NoButton, this);
    sheet->setObjectName(QStringLiteral("eraseSheet"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *erase = sheet->addButton(tr("Delete"), QMessageBox::DestructiveRole);
    QPushButton *cancel = sheet->addButton(tr("Cancel"), QMessageBox::RejectRole);
    sheet->setDefaultButton(cancel);
    connect(sheet, &QMessageBox::buttonClicked, this, [this, erase, items](QAbstractButton *button) {
        askEraseSelected(button == erase ? 1 : 0, items);
    });
    sheet->open();
}

void FRWindow::askEraseSelected(int returnCode, const QStringList &items)
{
    if (returnCode == 1)
        doEraseSelected(items);
}

void FRWindow::doEraseSelected(const QStringList &items)
{
    int code = 0;
    for (const QString &item : items) {
        if ((code = mDevice->trashFile(item, false)))
            break;
    }
    if (code == 10)
        reportError(tr("Delete From Device"), tr("An error occurred removing your files from the device. The items may be read-only."), 10);
    else if (code)
        reportError(tr("Delete From Device"), tr("An error occurred removing your files from the device."), code);
    if (!items.isEmpty())
        refreshPath(DevicePath::parent(items.first()), QString());
}

void FRWindow::doMoveFiles(const QStringList &paths, const QString &folder)
{
    moveFiles(paths, folder);
    NotificationCenter::defaultCenter().postNotificationName(NotificationNames::DragMoveFinished, this);
}

int FRWindow::moveFiles(const QStringList &paths, const QString &folder)
{
    if (!mDevice || paths.isEmpty())
        return 0;
    // Moving an item into the folder that holds it (or into itself) has nothing to do.
    if (DropTargets::draggingIntoSelf(paths, folder))
        return 0;
    if (paths.size() == 1 && mDevice->isSymLink(DevicePath::join(mDevice->getStartDir(), paths.first()))) {
        reportError(tr("Symbolic Link"), tr("The file is a symbolic link. It cannot be moved by Quillon."), 0);
        return 0;
    }
    QStringList moving;
    for (const QString &path : paths) {
        const QString target = DevicePath::join(folder, DevicePath::lastComponent(path));
        if (mDevice->fileExistsOniPhone(target)) {
            VarnekLog("File exists on iPhone");
            const QStringList rest = paths;
            askReplace(tr("Move"),
                       tr("An item named \"%1\" already exists in this location. Do you want to replace it with the one you are moving?")
                           .arg(DeviceNames::fixSlashesAndColonsOut(DevicePath::lastComponent(path))),
                       {tr("Stop"), tr("Skip")}, [this, rest, path, folder](int button) {
                           if (button != 1)
                               return;
                           VarnekLog("Skipping %s", qUtf8Printable(path));
                           QStringList others = rest;
                           others.removeAll(path);
                           QTimer::singleShot(250, this, [this, others, folder] { moveFiles(others, folder); });
                       });
            return 0;
        }
        moving << path;
    }
    int code = 0;
    QString last;
    for (const QString &path : std::as_const(moving)) {
        last = path;
        if ((code = mDevice->moveFile(path, DevicePath::join(folder, DevicePath::lastComponent(path)))))
            break;
    }
    if (code == 10)
        reportError(tr("Move Files On Device"), tr("An error occurred moving your files on the device. The destination folder may be read-only."), 10);
    else if (code)
        reportError(tr("Move Files On Device"), tr("An error occurred moving your files on the device."), code);
    if (!last.isEmpty())
        refreshPath(DevicePath::parent(last), QString());
    refreshPath(folder.isEmpty() ? QStringLiteral("/") : folder, QString());
    return 0;
}
