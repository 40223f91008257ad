// The information panel, the backup progress bar, the shared list views (drag images, drop
// tests, length limits) and what the window installs for core.

#include "RecordingListController.h"
#include "TestHome.h"
#include "TestWait.h"
#include "device/AppController.h"
#include "device/QNSharableApp.h"
#include "interfaces/HTMLTextConverter.h"
#include "window/DisplayFiles.h"
#include "window/ErrorSheet.h"
#include "window/FRDragTableView.h"
#include "window/FRInfoPanel.h"
#include "window/FRTableView.h"
#include "window/FRWebView.h"
#include "window/FRWindow.h"
#include "window/GuiProviders.h"
#include "window/LengthFormatter.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(FRInfoPanel, PlacesButtonsFromTheRightAndReportsThePressedOne)
{
    QWidget window;
    window.setGeometry(100, 100, 800, 600);
    QObject delegate;
    int pressed = -1;
    auto *panel = FRInfoPanel::runOverWindow(&window, "Unable to Download", "Try again?", "OK", "Try Again", "Cancel",
                                             &delegate, [&](QAbstractButton *, int number) { pressed = number; });
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->title(), "Unable to Download");
    EXPECT_EQ(panel->message(), "Try again?");
    QPushButton *one = panel->button(1), *two = panel->button(2), *three = panel->button(3);
    ASSERT_TRUE(one && two && three);
    // Button 1 rightmost, 14 from the edge; 2 and 3 directly to its left; short titles keep
    // the layout's width.
    EXPECT_EQ(one->geometry().right() + 1, panel->width() - FRInfoPanel::kButtonRightMargin);
    EXPECT_EQ(two->geometry().right() + 1, one->geometry().left());
    EXPECT_EQ(three->geometry().right() + 1, two->geometry().left());
    EXPECT_GE(one->width(), FRInfoPanel::kButtonMinimumWidth);
    // Centres of odd and even sizes differ by a rounding pixel.
    EXPECT_LE((panel->geometry().center() - window.frameGeometry().center()).manhattanLength(), 2);
    QPointer<FRInfoPanel> alive(panel);
    two->click();
    EXPECT_EQ(pressed, 2);
    ASSERT_TRUE(waitUntil([&] { return alive.isNull(); }));

    // One button only; a delegate that has gone is not called, and the panel closes anyway.
    pressed = -1;
    auto gone = std::make_unique<QObject>();
    auto *single = FRInfoPanel::runOverWindow(nullptr, "Note", "Just so you know.", "OK", {}, {}, gone.get(),
                                              [&](QAbstractButton *, int number) { pressed = number; });
    EXPECT_EQ(single->button(2), nullptr);
    EXPECT_EQ(single->button(3), nullptr);
    gone.reset();
    QPointer<FRInfoPanel> singleAlive(single);
    single->button(1)->click();
    EXPECT_EQ(pressed, -1);
    ASSERT_TRUE(waitUntil([&] { return singleAlive.isNull(); }));
}

TEST(FRInfoPanel, OnlyTheErrorPanelClearsTheOneErrorPanelFlag)
{
    TestHome home;
    FRWindow window(nullptr, nullptr);
    gShowingError.store(false);
    window.showErrorOnMain();
    ASSERT_TRUE(gShowingError.load());
    // Another panel comes and goes while the error panel is up.
    int answered = 0;
    window.showInformationPanel("Apply", "Restart the device?", "OK", "Cancel", {}, [&](int number) { answered = number; });
    FRInfoPanel *info = nullptr, *error = nullptr;
    for (FRInfoPanel *panel : window.findChildren<FRInfoPanel *>())
        (panel->title() == "Apply" ? info : error) = panel;
    ASSERT_TRUE(info && error);
    info->button(2)->click();
    EXPECT_EQ(answered, 2);
    EXPECT_TRUE(gShowingError.load());
    window.showErrorOnMain(); // still only one error panel
    error->button(1)->click();
    EXPECT_FALSE(gShowingError.load());
}

TEST(BackupProgress, ValuesFromAnyThreadDriveOneTimerAndAnIndeterminateBarWhenOutOfRange)
{
    TestHome home;
    AppController controller;
    FRWindow window(&controller, nullptr);
    QProgressBar *bar = window.backupProgress();
    // The session keeps reporting while the window's timer reads what it reported.
    std::atomic<bool> ended{false};
    std::atomic<int> reports{0};
    std::thread session([&] {
        window.setBackupProgressMax(1000);
        window.setBackupProgressValue(250);
        while (!ended.load()) {
            window.setBackupProgressValue(400);
            ++reports;
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(waitUntil([&] { return window.backupProgressTimerRunning(); }));
    const int timers = int(window.findChildren<QTimer *>().size());
    const bool shown = waitUntil([&] { return bar->value() == 400 && reports.load() > 100; });
    QCoreApplication::processEvents();
    ended.store(true);
    session.join();
    ASSERT_TRUE(shown);
    EXPECT_EQ(int(window.findChildren<QTimer *>().size()), timers); // one timer however many reports
    EXPECT_EQ(bar->maximum(), 1000);
    EXPECT_FALSE(bar->isHidden());

    struct Case
    {
        const char *name;
        double value;
        bool cancelling;
        bool indeterminate;
    };
    const Case cases[] = {
        {"negative", -1, false, true},
        {"above the maximum", 1001, false, true},
        {"in range", 999, false, false},
        {"in range while cancelling", 500, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        controller.mCancellingBackup.store(c.cancelling);
        window.setBackupProgressValue(c.value);
        window.doSetBackupProgressValue();
        EXPECT_EQ(bar->maximum() == 0, c.indeterminate);
        if (!c.indeterminate)
            EXPECT_EQ(bar->value(), int(c.value));
    }
    controller.mCancellingBackup.store(false);
}

TEST(SharedViews, DragImagesFollowTheKindOfListAndTheCount)
{
    using Kind = ListControllerInterface::Kind;
    auto picture = [](QColor colour) {
        QImage image(50, 50, QImage::Format_ARGB32);
        image.fill(colour);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return png;
    };
    QList<QVariantMap> contacts;
    for (QColor colour : {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue), QColor(Qt::yellow), QColor(Qt::cyan)})
        contacts << QVariantMap{{"picture", picture(colour)}};
    auto hueAt = [](const QPixmap &pixmap, int x, int y) { return pixmap.toImage().pixelColor(x, y); };

    // Five contacts: three pictures, the first on top at (20, 20).
    const DragImage five = composedDragImage(Kind::Contacts, 5, contacts);
    ASSERT_EQ(five.image.size(), QSize(80, 80));
    EXPECT_GT(hueAt(five.image, 65, 65).red(), 150);  // only the first reaches here
    EXPECT_GT(hueAt(five.image, 25, 25).red(), 150);  // the first covers the others
    EXPECT_GT(hueAt(five.image, 5, 5).blue(), 150);   // the third, at (0, 0)
    EXPECT_EQ(hueAt(five.image, 75, 5).alpha(), 0);
    const DragImage one = composedDragImage(Kind::Contacts, 1, contacts.mid(0, 1));
    EXPECT_EQ(hueAt(one.image, 5, 5).alpha(), 0);
    EXPECT_GT(hueAt(one.image, 45, 45).red(), 150);

    struct Case
    {
        Kind kind;
        int count;
        const char *name;
    };
    const Case cases[] = {
        {Kind::Notes, 1, "note_icon"},        {Kind::Notes, 2, "notes_icon"},   {Kind::Messages, 1, "log_icon"},
        {Kind::Messages, 4, "logs_icon"},     {Kind::Calls, 1, "log_icon"},     {Kind::Calls, 2, "logs_icon"},
        {Kind::Bookmarks, 1, "webloc"},       {Kind::Bookmarks, 3, "webloc_multi"},
        {Kind::Media, 1, "iTunes-generic"},   {Kind::Media, 9, "iTunes-generic_multi"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const DragImage image = composedDragImage(c.kind, c.count, {});
        EXPECT_EQ(image.name, c.name);
        EXPECT_FALSE(image.image.isNull());
    }
    EXPECT_TRUE(composedDragImage(Kind::Notes, 0, {}).image.isNull());
    // Drags copy out of the application and carry nothing inside it.
    EXPECT_EQ(FRTableView::draggingSourceOperationMaskForLocal(false), Qt::CopyAction);
    EXPECT_EQ(FRTableView::draggingSourceOperationMaskForLocal(true), Qt::IgnoreAction);
}

TEST(SharedViews, TablesAnswerCellFramesAndTellTheMessagesListWhenTheyBecomeKey)
{
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *table = new FRTableView;
    table->setObjectName("smsTable");
    layout->addWidget(table);
    QStandardItemModel model(3, 2);
    table->setModel(&model);
    RecordingListController messages(ListControllerInterface::Kind::Messages);
    table->setDataSource(&messages);
    window.resize(300, 200);
    window.show();
    EXPECT_FALSE(table->frameOfCellAtColumn(0, 0).isEmpty());
    EXPECT_TRUE(table->frameOfCellAtColumn(-1, 0).isEmpty());
    EXPECT_TRUE(table->frameOfCellAtColumn(2, 0).isEmpty());
    table->setNoHighlight(true);
    EXPECT_TRUE(table->noHighlight());
    window.activateWindow();
    table->setFocus();
    ASSERT_TRUE(waitUntil([&] { return !messages.names().isEmpty(); }));
    EXPECT_EQ(messages.argumentsOf("tableBecameKey"), QStringList{"smsTable"});
}

TEST(SharedViews, TheNotesListAndWebViewTakeOnlyTheDropsTheyShould)
{
    QWidget window;
    auto *notes = new FRDragTableView(&window);
    RecordingListController controller(ListControllerInterface::Kind::Notes);
    notes->setDataSource(&controller);
    auto files = [](const QString &path) {
        auto *data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile(path)});
        return std::unique_ptr<QMimeData>(data);
    };
    QMimeData text;
    text.setText("a note");
    EXPECT_TRUE(notes->canDrag(&text, nullptr));
    EXPECT_TRUE(notes->canDrag(files("/tmp/a.txt").get(), nullptr));
    EXPECT_FALSE(notes->canDrag(files("/tmp/a.mp3").get(), nullptr));
    EXPECT_FALSE(notes->canDrag(&text, notes)); // out of the list itself
    QMimeData nothing;
    EXPECT_FALSE(notes->canDrag(&nothing, nullptr));

    FRWebView plain;
    EXPECT_FALSE(plain.allowDrag(&text));
    QDialog sheet;
    sheet.setWindowModality(Qt::WindowModal);
    auto *inSheet = new FRWebView(&sheet);
    EXPECT_TRUE(inSheet->allowDrag(&text));
    EXPECT_FALSE(inSheet->allowDrag(files("/tmp/a.txt").get()));
}

TEST(SharedViews, TitleLengthsCountCharactersNotCodeUnits)
{
    LengthFormatter formatter(50, 1, "First title");
    const QString fifty(50, QLatin1Char('a'));
    EXPECT_TRUE(formatter.isPartialStringValid(fifty));
    EXPECT_FALSE(formatter.isPartialStringValid(fifty + "b")); // the 51st character is refused
    // A thumbs-up with a skin tone is four UTF-16 units but one character.
    const QString thumbs = QString::fromUtf8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
    ASSERT_EQ(thumbs.size(), 4);
    EXPECT_EQ(LengthFormatter::characterCount(thumbs), 1);
    EXPECT_TRUE(formatter.isPartialStringValid(QString(49, QLatin1Char('a')) + thumbs));
    EXPECT_EQ(LengthFormatter::characterCount(QString::fromUtf8("e\xCC\x81")), 1);

    QString value;
    EXPECT_TRUE(formatter.getObjectValue(&value, "Groceries"));
    EXPECT_EQ(value, "Groceries");
    EXPECT_TRUE(formatter.getObjectValue(&value, "")); // cleared: the last accepted title
    EXPECT_EQ(value, "Groceries");
    EXPECT_FALSE(formatter.getObjectValue(&value, fifty + "b"));
    EXPECT_FALSE(formatter.getObjectValue(nullptr, "x"));
    QString edited;
    formatter.fixup(edited);
    EXPECT_EQ(edited, "Groceries");
}

TEST(DisplayFiles, AttachmentsStayInsideTheFolderAndTheBaseIsAFileURL)
{
    QTemporaryDir root;
    // Every place a wrong name could reach lies inside `root`: whatever the names do, this
    // test writes nowhere else.
    const QString folder = root.filePath("attachments/temp folder #1");
    const QString elsewhere = root.filePath("elsewhere");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    struct Case
    {
        QString name;
        QString safe;
    };
    const Case cases[] = {
        {"photo.jpg", "photo.jpg"}, {"../../evil.txt", "evil.txt"}, {elsewhere + "/passwd", "passwd"},
        {"..", ""},                 {".", ""},                      {"dir/", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(DisplayFiles::safeAttachmentName(c.name), c.safe);
        EXPECT_EQ(DisplayFiles::writeAttachment(folder, c.name, "data"), !c.safe.isEmpty());
    }
    EXPECT_TRUE(QFileInfo::exists(folder + "/evil.txt"));
    EXPECT_FALSE(QFileInfo::exists(root.filePath("evil.txt")));
    EXPECT_FALSE(QFileInfo::exists(elsewhere + "/passwd"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 3);

    const QUrl base = DisplayFiles::baseURLForFolder(folder);
    EXPECT_TRUE(base.isLocalFile());
    EXPECT_EQ(base.resolved(QUrl("photo.jpg")).toLocalFile(), folder + "/photo.jpg");
}

TEST(GuiProviders, CoreGetsTheIconScalerTheScreenSizeAndTheHTMLConverter)
{
    TestHome home;
    GuiProviders::install();
    QImage big(100, 80, QImage::Format_ARGB32);
    big.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    big.save(&buffer, "PNG");
    QNSharableApp::storeIconData("com.example.app", png);
    QImage stored;
    ASSERT_TRUE(stored.loadFromData(QNSharableApp::iconData("com.example.app")));
    EXPECT_EQ(stored.size(), QSize(24, 24));
    EXPECT_EQ(HTMLTextConverter::converter()->plainTextFromHTML("<p>Fish &amp; chips</p>"), "Fish & chips");
}
