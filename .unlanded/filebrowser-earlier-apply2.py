W='/work/wt-filebrowser/'
def edit(p, pairs):
    s=open(W+p).read()
    for a,b in pairs:
        assert a in s, (p,a)
        s=s.replace(a,b,1)
    open(W+p,'w').write(s)
edit('src/device/CMakeLists.txt',[("  DownloadEngine.cpp\n","  DownloadEngine.cpp\n  DropTargets.cpp\n")])
edit('src/window/CMakeLists.txt',[("  FRWindow+Toolbar.cpp\n","  FRWindow+Browser.cpp\n  FRWindow+Toolbar.cpp\n"),
  ("  FRWindow+Transfers.cpp\n","  FRWindow+Transfers.cpp\n  FRWindow+Uploads.cpp\n"),
  ("  FRWebView.cpp\n","  FRWebView.cpp\n  FSBrowserCell.cpp\n"),
  ("  GuiProviders.cpp\n","  GuiProviders.cpp\n  ICDragDropBrowser.cpp\n")])
edit('tests/device/CMakeLists.txt',[("    DownloadEngineTest.cpp\n","    DownloadEngineTest.cpp\n    DropTargetsTest.cpp\n")])
edit('src/window/FRWindow.h',[
 ("class DownloadEngine;\n","class DownloadEngine;\nclass DeviceFilesModel;\nclass ICDragDropBrowser;\n"),
 ("""    // A drop on the Notes or Disk row; the note import and the upload come with those
    // features and answer NO until then.
    bool addNotesFromPasteboard(const QStringList &files, const QString &text);
    bool uploadFromPasteboard(const QStringList &files, const QString &destPath);
""","""    // A drop on the Notes or Disk row; the note import comes with that feature and answers NO
    // until then. The upload (FRWindow+Uploads.cpp) posts "DragMoveFinished" on every path.
    bool addNotesFromPasteboard(const QStringList &files, const QString &text);
    bool uploadFromPasteboard(const QStringList &files, const QString &destPath);
    // Checks and starts an upload of local files into a device folder (browser path).
    int uploadFiles(const QStringList &files, const QString &folder);
"""),
 ("""    // There is no file browser yet, so nothing lies outside the user area.
    bool selectionIsInUserArea() const override { return true; }""","""    bool selectionIsInUserArea() const override { return mSelectionInUserArea.load(); }"""),
 ("""    // The file browser and the app list do not exist yet: nothing to reload or redraw.
    void reloadData() override {}""","""    // The app list does not exist yet: nothing to redraw.
    void reloadData() override;"""),
 ("""    TransferStatusSheet *statusSheet() const { return mStatusSheet; }
""","""    TransferStatusSheet *statusSheet() const { return mStatusSheet; }

    // --- The file browser and its commands (FRWindow+Browser.cpp) ------------------------------
    void setupFileBrowser(ICDragDropBrowser *browser);
    ICDragDropBrowser *fileBrowser() const { return fsBrowser; }
    DeviceFilesModel *filesModel() const { return mFilesModel; }
    // Lists `folder` (browser path) again and selects `selectFile` once it is listed.
    void refreshPath(const QString &folder, const QString &selectFile);
    void browserSelectionChanged();
    QStringList getSelectedElements() const;
    QString getSelectedDir() const;
    void newFolder();
    void makeNewFolder(const QString &typed);
    void rename();
    void doRename(const QString &oldPath, const QString &newPath);
    void trash();
    // The delete question's answer (1: Delete).
    void askEraseSelected(int returnCode, const QStringList &items);
    void doEraseSelected(const QStringList &items);
    // A move dropped inside the browser; posts "DragMoveFinished" when handled.
    void doMoveFiles(const QStringList &paths, const QString &folder);
    int moveFiles(const QStringList &paths, const QString &folder);
"""),
 ("    int mBarWidth = 0;\n","""    int mBarWidth = 0;
    ICDragDropBrowser *fsBrowser = nullptr;
    DeviceFilesModel *mFilesModel = nullptr;
    std::atomic<bool> mSelectionInUserArea{true}; // read by the free-space thread
    QString mRenamingFile;
    QString mPendingSelectFolder, mPendingSelectFile;
"""),
])
edit('src/window/FRWindow+Layout.cpp',[
 ("""    auto *fsBrowser = new QColumnView;
    fsBrowser->setObjectName(QStringLiteral("fsBrowser"));
""","""    auto *browser = new ICDragDropBrowser(this);
    setupFileBrowser(browser);
"""),
 ("pane(QStringLiteral(\"appsRightSide\"), appsView, fsBrowser)","pane(QStringLiteral(\"appsRightSide\"), appsView, browser)"),
 ("""bool FRWindow::uploadFromPasteboard(const QStringList &, const QString &)
{
    // Uploads come with the upload engine.
    return false;
}""",""),
 ("#include <QColumnView>\n","#include <QColumnView>\n#include \"window/ICDragDropBrowser.h\"\n"),
])
edit('src/window/FRWindow+Modes.cpp',[
 ("    // Deselecting the file browser's columns comes with the file browser.\n","    // A selection left in the browser would be acted on in the new mode.\n    if (fsBrowser && fsBrowser->selectionModel())\n        fsBrowser->selectionModel()->clearSelection();\n"),
])
edit('src/window/FRWindow+Modes.cpp',[('#include "LNSSourceListView.h"\n','#include "LNSSourceListView.h"\n#include "window/ICDragDropBrowser.h"\n'),
 ("#include <QLineEdit>\n","#include <QItemSelectionModel>\n#include <QLineEdit>\n")])
