// The archive actions' sheets as the window shows them: window-modal on their host, each
// answered exactly once, and the progress dialog of work on a worker.

#include "archive/ui/ArchiveSheetDialogs.h"
#include "TestWait.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QWidget>

#include <thread>

TEST(ArchiveSheetDialogs, SheetsAreWindowModalAndAnsweredOnce)
{
    QWidget host;
    host.show();
    ArchiveSheetDialogs dialogs(&host);

    QList<bool> answers;
    dialogs.showSheet({ArchiveSheets::Style::Critical, "Delete Archive?", "Delete the archive?", "Delete", "Cancel"},
                      [&](bool confirmed) { answers << confirmed; });
    QMessageBox *box = dialogs.currentSheet();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->parentWidget(), &host);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->buttons().size(), 2);
    EXPECT_EQ(box->defaultButton()->text(), "Delete");
    box->defaultButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !answers.isEmpty(); }));
    EXPECT_EQ(answers, QList<bool>{true});

    dialogs.showSheet({ArchiveSheets::Style::Informational, "Merge Archive Data?", "Copy?", "Copy", "Cancel"},
                      [&](bool confirmed) { answers << confirmed; });
    ASSERT_TRUE(dialogs.currentSheet());
    dialogs.currentSheet()->reject(); // Escape, or the window closing
    ASSERT_TRUE(waitUntil([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers, (QList<bool>{true, false}));
    EXPECT_TRUE(waitUntil([&] { return !dialogs.currentSheet(); }));
}

TEST(ArchiveSheetDialogs, ProgressFromAWorkerShowsOnTheHost)
{
    QWidget host;
    host.show();
    ArchiveSheetDialogs dialogs(&host);
    dialogs.beginProgress("Copying archive data");
    std::thread worker([&] { dialogs.setProgress(5, 10); });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return dialogs.progressDialog() && dialogs.progressDialog()->value() == 500; }));
    EXPECT_EQ(dialogs.progressDialog()->parentWidget(), &host);
    EXPECT_EQ(dialogs.progressDialog()->labelText(), "Copying archive data");
    dialogs.endProgress();
    EXPECT_TRUE(waitUntil([&] { return !dialogs.progressDialog(); }));
}
