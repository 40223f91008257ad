// The notes list's widget part and the note viewer: the table shows the controller's rows
// (checked under QAbstractItemModelTester), sorts through the controller, passes selection
// both ways, drags text, rich text and files written on request; the window shows a note.

#include "TestHome.h"
#include "TestWait.h"
#include "device/DownloadEngine.h"
#include "device/AppController.h"
#include "personal/NotesDataController.h"
#include "personal/ui/NotesListView.h"
#include "shell/AppDelegate.h"
#include "window/FRDragTableView.h"
#include "window/FRWebView.h"
#include "window/FRWindow.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

FRNoteInfoPtr note(int id, const QString &title, const QString &body, qint64 date)
{
    return FRNoteInfo::infoWithInfo({{NoteKey::NoteID, QString::number(id)},
                                     {NoteKey::Title, title},
                                     {NoteKey::Body, body},
                                     {NoteKey::Date, QDateTime::fromSecsSinceEpoch(date)},
                                     {NoteKey::UniqueFileName, FRNoteInfo::fixFileName(title, body)}});
}

QList<int> selectedRows(const QTableView &table)
{
    QList<int> rows;
    for (const QModelIndex &index : table.selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

} // namespace

TEST(NotesView, TheTableFollowsTheController)
{
    TestHome home;
    FRWindow::load();
    AppController controller;
    AppDelegate delegate;
    FRWindow window(&controller, &delegate);
    delegate.mainWindow = &window;
    NotesDataController notes(&controller);
    notes.setWindow(&window); // the window writes the files a drop asks for
    FRDragTableView table;
    new NotesListView(&notes, &table);
    QAbstractItemModelTester tester(table.model(), QAbstractItemModelTester::FailureReportingMode::Warning);
    notes.addNote(note(1, "Older", "plain older", 1000));
    notes.addNote(note(2, "Newer", "<div class=\"x\">rich <b>newer</b></div>", 2000));
    notes.addNote(note(3, "Rich", "<div class=\"x\"><i>rich</i> too</div>", 1500));
    notes.beginSearch(QString());
    ASSERT_EQ(table.model()->rowCount(), 3);
    EXPECT_EQ(table.model()->index(0, 1).data().toString(), "Newer");

    table.horizontalHeader()->setSortIndicator(1, Qt::AscendingOrder);
    EXPECT_EQ(table.model()->index(0, 1).data().toString(), "Newer");
    EXPECT_EQ(table.model()->index(2, 1).data().toString(), "Rich");

    table.selectRow(1);
    EXPECT_EQ(notes.getSelectedNotes().size(), 1);
    EXPECT_EQ(notes.getSelectedNotes().first()->noteTitle(), "Older");
    emit notes.rowsSelected({0, 2}, 2);
    EXPECT_EQ(selectedRows(table), (QList<int>{0, 2}));

    // Two HTML notes: text and RTF at once; the files only when the drop asks.
    std::unique_ptr<QMimeData> rich(table.model()->mimeData({table.model()->index(0, 0), table.model()->index(2, 1)}));
    EXPECT_TRUE(rich->text().contains("newer"));
    EXPECT_TRUE(rich->data("text/rtf").startsWith("{\\rtf1"));
    ASSERT_TRUE(rich->hasUrls());
    const QList<QUrl> urls = rich->urls();
    ASSERT_EQ(urls.size(), 2);
    EXPECT_TRUE(urls[0].toLocalFile().endsWith("/Newer.rtf"));
    // The rich-text file reads back as the note's text.
    QProcess unrtf;
    unrtf.start("unrtf", {"--text", urls[0].toLocalFile()});
    ASSERT_TRUE(unrtf.waitForFinished(30000));
    EXPECT_TRUE(QString::fromUtf8(unrtf.readAllStandardOutput()).contains("rich newer"));

    // Any plain note makes the whole drag plain.
    std::unique_ptr<QMimeData> plain(table.model()->mimeData({table.model()->index(1, 0)}));
    EXPECT_EQ(plain->text(), "plain older");
    EXPECT_FALSE(plain->hasFormat("text/rtf"));
}

TEST(NotesView, TheWindowShowsTheSelectedNote)
{
    TestHome home;
    FRWindow::load();
    AppController controller;
    AppDelegate delegate;
    FRWindow window(&controller, &delegate);
    delegate.mainWindow = &window;
    controller.awakeFromNib();
    window.awakeFromNib();
    auto *view = window.findChild<QWidget *>("noteArea")->findChild<FRWebView *>();
    ASSERT_TRUE(view);
    const FRNoteInfoPtr html = note(1, "Shown", "<div>shown <b>bold</b> &amp; <script>x</script></div>", 1);
    window.setNoteText(html.get());
    EXPECT_TRUE(view->toPlainText().contains("shown bold &"));
    const FRNoteInfoPtr text = note(2, "Text", "line one\nline two", 1);
    window.setNoteText(text.get());
    EXPECT_EQ(view->toPlainText(), "line one\nline two");
    window.setNoteText(nullptr);
    EXPECT_EQ(view->toPlainText(), "");
}

TEST(NotesView, DoubleClickedNotesAreExportedThroughTheWindowAndPassTheirValidators)
{
    TestHome home;
    FRWindow::load();
    AppController controller;
    AppDelegate delegate;
    FRWindow window(&controller, &delegate);
    delegate.mainWindow = &window;
    NotesDataController notes(&controller);
    notes.setWindow(&window);
    notes.addNote(note(1, "Made here", "<html><body><p>made &amp; <b>here</b></p></body></html><MPhtmlnote/>", 2000));
    notes.addNote(note(2, "From the device", "<div class=\"n\">device <i>note</i></div>", 1000));
    notes.beginSearch(QString());
    notes.setSelectedRows({0, 1});
    notes.notesDoubleClick();

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "/Notes From ";
    const QString html = folder + "/Made here.html", rtf = folder + "/From the device.rtf";
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(html).size() > 0 && QFileInfo(rtf).size() > 0; }, 20000))
        << QDir(folder).entryList().join(' ').toStdString();
    QProcess lint;
    lint.start("xmllint", {"--html", "--noout", html});
    ASSERT_TRUE(lint.waitForFinished(30000));
    EXPECT_EQ(lint.exitCode(), 0) << lint.readAllStandardError().toStdString();
    QProcess unrtf;
    unrtf.start("unrtf", {"--text", rtf});
    ASSERT_TRUE(unrtf.waitForFinished(30000));
    EXPECT_TRUE(QString::fromUtf8(unrtf.readAllStandardOutput()).contains("device note"));
    // The listed notes keep their names: the export worked on copies.
    EXPECT_EQ(notes.displayedNotes()[0]->finalFileName(), "Unknown");
}
