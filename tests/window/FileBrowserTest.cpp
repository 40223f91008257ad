// The window's file browser against the simulated device: the columns list the device, the
// file commands make, rename and delete, files dropped from the file manager are uploaded and
// device items dropped on a folder are moved, drops that would do nothing are refused, drops
// are taken again once the drop's work has ended, and a full device refuses an upload.

#include "FilesRig.h"

#include "device/DeviceFilesModel.h"
#include "device/DropTargets.h"
#include "window/ErrorSheet.h"
#include "window/FRInfoPanel.h"
#include "window/FRWindow.h"
#include "window/ICDragDropBrowser.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

struct BrowserRig : FilesRig
{
    explicit BrowserRig(const QVariantMap &settings = {}) : FilesRig(settings)
    {
        connected = connect();
        if (!connected)
            return;
        window = std::make_unique<FRWindow>(controller.get(), nullptr);
        controller->setWindow(window.get());
        window->setCurrentMode(QStringLiteral("FILE"));
        window->changeModes();
        window->resize(900, 500);
        window->setWindowSize(true, false);
        window->show();
    }
    ~BrowserRig()
    {
        if (controller)
            controller->setWindow(nullptr);
        window.reset();
    }

    DeviceFilesModel &model() const { return *window->filesModel(); }
    // Waits until `path` (browser path) is among the listed rows, or is gone from them.
    bool waitForRow(const QString &path, bool present = true)
    {
        return waitUntil([&] { return model().indexForPath(path).isValid() == present; }, scaledTimeoutMs(20000));
    }
    FRDraggingMatrix *column(int number) const
    {
        const QList<FRDraggingMatrix *> columns = window->fileBrowser()->findChildren<FRDraggingMatrix *>();
        for (FRDraggingMatrix *c : columns) {
            const auto *files = qobject_cast<const DeviceFilesModel *>(c->model());
            const QString folder = files ? files->pathForIndex(c->rootIndex()) : QString();
            if ((number == 0 && folder == "/") || (number > 0 && folder.count('/') == number))
                return c;
        }
        return nullptr;
    }
    void select(const QString &path)
    {
        const QModelIndex index = model().indexForPath(path);
        window->fileBrowser()->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect);
    }
    // A drop as the desktop delivers it: entering, then (when accepted) the drop itself.
    bool drop(QWidget *on, const QPoint &at, QMimeData *data)
    {
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(on, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent event(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(on, &event);
        return event.isAccepted();
    }
    bool idle()
    {
        return waitUntil([&] { return !window->running() && !window->fileBrowser()->dropsDisabled(); },
                         scaledTimeoutMs(20000));
    }
    QMessageBox *waitForSheet()
    {
        waitUntil([&] { return window->errorSheet()->attachedSheet() != nullptr; }, scaledTimeoutMs(5000));
        return window->errorSheet()->attachedSheet();
    }

    bool connected = false;
    std::unique_ptr<FRWindow> window;
};

QMimeData *localFiles(const QStringList &paths)
{
    auto *data = new QMimeData;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    data->setUrls(urls);
    return data;
}

QMimeData *moveList(const QStringList &paths)
{
    auto *data = new QMimeData;
    data->setData(DropTargets::kMoveFilesType, DropTargets::encodeMoveList(paths));
    return data;
}

} // namespace

TEST(FileBrowser, MakesRenamesAndDeletesWithTheDevicesNameMapping)
{
    BrowserRig rig;
    ASSERT_TRUE(rig.connected);
    ASSERT_TRUE(rig.waitForRow("/docs"));
    ASSERT_NE(rig.column(0), nullptr);

    // A typed "/" is stored as ":" and shown as "/" again; a typed ":" is dropped.
    rig.window->makeNewFolder("Trip/2024:");
    EXPECT_TRUE(QFileInfo(rig.media("Fernlow/Trip:2024")).isDir());
    ASSERT_TRUE(rig.waitForRow("/Trip:2024"));
    EXPECT_EQ(rig.model().indexForPath("/Trip:2024").data().toString(), "Trip/2024");

    // The new folder is selected, so a further one would go inside it.
    ASSERT_TRUE(waitUntil([&] { return rig.window->getSelectedDir() == "/Trip:2024"; }));
    rig.window->fileBrowser()->selectionModel()->clearSelection();
    // The same name again: the collision sheet, nothing made.
    rig.window->makeNewFolder("Trip/2024");
    FRInfoPanel *panel = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (FRInfoPanel *shown : rig.window->findChildren<FRInfoPanel *>()) {
            if (shown->isVisible())
                panel = shown;
        }
        return panel != nullptr;
    }));
    EXPECT_EQ(panel->title(), "New Folder");
    EXPECT_EQ(panel->message(), "A folder named \"Trip/2024\" already exists on the iPhone.");
    panel->button(1)->click();

    // Names that map to nothing, "." or ".." are refused with an error, and nothing is made.
    const QStringList before = QDir(rig.media("Fernlow")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    rig.window->makeNewFolder("..");
    QMessageBox *refusal = rig.waitForSheet();
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(refusal->text(), "New Folder");
    rig.window->errorSheet()->endAttachedSheet();
    EXPECT_EQ(QDir(rig.media("Fernlow")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);

    rig.window->doRename("/Trip:2024", "/Trip 2025");
    EXPECT_TRUE(QFileInfo(rig.media("Fernlow/Trip 2025")).isDir());
    EXPECT_FALSE(QFileInfo::exists(rig.media("Fernlow/Trip:2024")));
    ASSERT_TRUE(rig.waitForRow("/Trip 2025"));

    rig.select("/Trip 2025");
    EXPECT_EQ(rig.window->getSelectedElements(), QStringList{"/Trip 2025"});
    EXPECT_EQ(rig.window->getSelectedDir(), "/Trip 2025");
    rig.window->askEraseSelected(0, {"/Trip 2025"}); // Cancel
    EXPECT_TRUE(QFileInfo(rig.media("Fernlow/Trip 2025")).isDir());
    rig.window->askEraseSelected(1, {"/Trip 2025"}); // Delete
    EXPECT_FALSE(QFileInfo::exists(rig.media("Fernlow/Trip 2025")));
    EXPECT_TRUE(rig.waitForRow("/Trip 2025", false));
}

TEST(FileBrowser, DropsUploadLocalFilesAndMoveDeviceItemsAndAreTakenAgainAfterwards)
{
    BrowserRig rig;
    ASSERT_TRUE(rig.connected);
    ASSERT_TRUE(rig.waitForRow("/docs"));
    FRDraggingMatrix *root = rig.column(0);
    ASSERT_NE(root, nullptr);

    // Files from the file manager dropped beside the rows go into the column's folder.
    const QByteArray one = writePattern(rig.local("up/one.bin"), 300000, 1);
    const QByteArray two = writePattern(rig.local("up/tree/two.bin"), 5000, 2);
    const QPoint below(10, root->viewport()->height() - 5);
    std::unique_ptr<QMimeData> files(localFiles({rig.local("up/one.bin"), rig.local("up/tree")}));
    ASSERT_TRUE(rig.drop(root->viewport(), below, files.get()));
    // One drop at a time: a second is refused until the first one's work has ended.
    EXPECT_TRUE(rig.window->fileBrowser()->dropsDisabled());
    QDragEnterEvent again(below, Qt::CopyAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(root->viewport(), &again);
    EXPECT_FALSE(again.isAccepted());
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ(readLocal(rig.media("Fernlow/one.bin")), one);
    EXPECT_EQ(readLocal(rig.media("Fernlow/tree/two.bin")), two);
    ASSERT_TRUE(rig.waitForRow("/one.bin"));

    // A device item dropped on a folder row moves into that folder.
    const QRect docs = root->visualRect(rig.model().indexForPath("/docs"));
    std::unique_ptr<QMimeData> move(moveList({"/one.bin"}));
    ASSERT_TRUE(rig.drop(root->viewport(), docs.center(), move.get()));
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ(readLocal(rig.media("Fernlow/docs/one.bin")), one);
    EXPECT_FALSE(QFileInfo::exists(rig.media("Fernlow/one.bin")));

    // Into the folder that holds it, or a folder into itself: refused while dragging.
    std::unique_ptr<QMimeData> home(moveList({"/docs/a.txt"}));
    EXPECT_FALSE(rig.drop(root->viewport(), docs.center(), home.get()));
    std::unique_ptr<QMimeData> self(moveList({"/docs/"}));
    EXPECT_FALSE(rig.drop(root->viewport(), docs.center(), self.get()));
    EXPECT_TRUE(QFileInfo::exists(rig.media("Fernlow/docs/a.txt")));

    // Anything but local files is not taken.
    auto *web = new QMimeData;
    web->setUrls({QUrl("https://example.com/a.txt")});
    std::unique_ptr<QMimeData> remote(web);
    EXPECT_FALSE(rig.drop(root->viewport(), below, remote.get()));
}

TEST(FileBrowser, AFullDeviceRefusesAnUploadBeforeCopyingAnything)
{
    BrowserRig rig({{"TotalBytes", 1000000}});
    ASSERT_TRUE(rig.connected);
    ASSERT_TRUE(rig.waitForRow("/docs"));
    writePattern(rig.local("big.bin"), 4096, 3);
    EXPECT_TRUE(rig.window->uploadFromPasteboard({rig.local("big.bin")}, "/"));
    QMessageBox *sheet = rig.waitForSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->text(), "Copy To iPhone");
    EXPECT_EQ(sheet->informativeText(), "The iPhone has no space available for uploading.");
    EXPECT_FALSE(QFileInfo::exists(rig.media("Fernlow/big.bin")));
    EXPECT_FALSE(rig.window->fileBrowser()->dropsDisabled());
}
