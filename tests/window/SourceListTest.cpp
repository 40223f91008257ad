// The source list: its tree under Qt's model checker, choosing modes by row (group rows
// choose nothing, a collapsed group changes no mode's number), and which drops it takes.

#include "RecordingListController.h"
#include "TestHome.h"
#include "platform/UserDefaults.h"
#include "window/FRWindow.h"
#include "window/LNSSourceListView.h"
#include "window/SourceListModel.h"

#include <QAbstractItemModelTester>
#include <QDialog>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

TEST(SourceList, TheTreeHasTwoGroupsOfModesAndPassesTheModelChecker)
{
    SourceListModel model(FRWindow::generateSourceList());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.index(0, 0).data().toString(), "DATA");
    EXPECT_EQ(model.index(1, 0).data().toString(), "MEDIA");
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 8);
    EXPECT_EQ(model.rowCount(model.index(1, 0)), 7);
    EXPECT_FALSE(model.flags(model.index(0, 0)) & Qt::ItemIsSelectable);
    EXPECT_EQ(model.indexOfMode("RECORDINGS").data().toString(), "Voice Memos");

    // Row numbers with both groups expanded, as "LAST_SOURCE_INDEX" keeps them.
    const QList<std::pair<QString, int>> rows{{"SMS", 1}, {"NOTES", 5}, {"FILESHARING", 7}, {"FILE", 8},
                                              {"MUSIC", 10}, {"RECORDINGS", 16}, {"TVSHOW", -1}};
    for (const auto &[mode, row] : rows) {
        SCOPED_TRACE(mode.toStdString());
        EXPECT_EQ(model.flatRowOfMode(mode), row);
        if (row > 0)
            EXPECT_EQ(model.modeAtFlatRow(row), mode);
    }
    EXPECT_EQ(model.modeAtFlatRow(9), ""); // the Media header
    model.setSpinning("NOTES", true);
    EXPECT_TRUE(model.indexOfMode("NOTES").data(SourceListModel::SpinningRole).toBool());
    model.setSpinning("NOTES", false);
    EXPECT_FALSE(model.anySpinning());
}

TEST(SourceList, ChoosingARowSwitchesModeAndRemembersItByMode)
{
    TestHome home;
    FRWindow window(nullptr, nullptr);
    window.awakeFromNib();
    LNSSourceListView *list = window.sourceListView();
    UserDefaults::standard().setInteger(99, "LAST_SOURCE_INDEX");

    // A group header chooses nothing.
    list->selectionModel()->select(list->model()->index(1, 0), QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(window.currentMode(), "SMS");
    EXPECT_EQ(UserDefaults::standard().integerForKey("LAST_SOURCE_INDEX"), 99);

    ASSERT_TRUE(window.selectSourceListMode("PHOTOS"));
    EXPECT_EQ(window.currentMode(), "PHOTOS");
    EXPECT_EQ(window.currentModeView()->objectName(), "photoBrowser");
    EXPECT_EQ(UserDefaults::standard().integerForKey("LAST_SOURCE_INDEX"), 15);

    // With the Data group collapsed the Media rows move up on screen, but Music is still Music.
    list->collapse(list->model()->index(0, 0));
    const QModelIndex music = list->sourceModel()->indexOfMode("MUSIC");
    list->selectionModel()->select(music, QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(window.currentMode(), "MUSIC");
    EXPECT_EQ(UserDefaults::standard().integerForKey("LAST_SOURCE_INDEX"), 10);
    EXPECT_EQ(list->sourceModel()->modeAtFlatRow(10), "MUSIC");
}

TEST(SourceList, TakesNoteDropsOnNotesAndFileDropsOnDiskOnly)
{
    TestHome home;
    FRWindow window(nullptr, nullptr);
    RecordingControllers controllers;
    controllers.setOn(window);
    window.awakeFromNib();
    window.setWindowSize(true, false);
    window.show();
    LNSSourceListView *list = window.sourceListView();
    auto pointAt = [&](const QString &mode) { return list->visualRect(list->sourceModel()->indexOfMode(mode)).center(); };

    auto files = [](const QStringList &paths) {
        auto *data = new QMimeData;
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls << QUrl::fromLocalFile(path);
        data->setUrls(urls);
        return data;
    };
    auto text = [](const QString &t) {
        auto *data = new QMimeData;
        data->setText(t);
        return data;
    };
    QObject inside;
    struct Case
    {
        const char *name;
        QString row;
        QMimeData *data;
        const QObject *source;
        bool accepted;
    };
    const Case cases[] = {
        {"text on Notes", "NOTES", text("a note"), nullptr, true},
        {"a note file on Notes", "NOTES", files({"/tmp/a.txt"}), nullptr, true},
        {"a file notes refuse", "NOTES", files({"/tmp/a.mp3"}), nullptr, false},
        {"files on Disk", "FILE", files({"/tmp/a.mp3", "/tmp/b"}), nullptr, true},
        {"text on Disk", "FILE", text("x"), nullptr, false},
        {"files on Apps", "FILESHARING", files({"/tmp/a.txt"}), nullptr, false},
        {"files on Music", "MUSIC", files({"/tmp/a.mp3"}), nullptr, false},
        {"a row of our own on Disk", "FILE", files({"/tmp/a"}), &inside, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(list->canDrag(c.data, pointAt(c.row), c.source), c.accepted);
        EXPECT_EQ(list->dropRow(), c.accepted ? c.row : QString());
        delete c.data;
    }

    // Nothing while a sheet is up.
    std::unique_ptr<QMimeData> some(files({"/tmp/a"}));
    QDialog sheet(&window);
    sheet.setWindowModality(Qt::WindowModal);
    sheet.show();
    EXPECT_FALSE(list->canDrag(some.get(), pointAt("FILE"), nullptr));
    sheet.hide();
    EXPECT_TRUE(list->canDrag(some.get(), pointAt("FILE"), nullptr));
    // Nor into a collapsed Data group.
    list->collapse(list->model()->index(0, 0));
    EXPECT_FALSE(list->canDrag(some.get(), QPoint(5, 5), nullptr));
}
