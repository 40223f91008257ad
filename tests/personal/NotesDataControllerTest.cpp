// The headless notes list: new notes from text, the newest-first order, search on a thread,
// the drag's texts and file names, drops, edits kept in the shared list, and the model.

#include "TestWait.h"
#include "device/AppController.h"
#include "extract/CategoryState.h"
#include "personal/NotesDataController.h"
#include "shell/DataLocks.h"
#include "shell/RecordTableModel.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QTemporaryDir>

namespace {

FRNoteInfoPtr note(int id, const QString &title, const QString &body, qint64 date)
{
    return FRNoteInfo::infoWithInfo({{NoteKey::NoteID, QString::number(id)},
                                     {NoteKey::Title, title},
                                     {NoteKey::Body, body},
                                     {NoteKey::Date, QDateTime::fromSecsSinceEpoch(date, Qt::UTC)},
                                     {NoteKey::UniqueFileName, FRNoteInfo::fixFileName(title, body)}});
}

QStringList titles(const NotesDataController &list)
{
    QStringList out;
    for (const FRNoteInfoPtr &n : list.displayedNotes())
        out.append(n->noteTitle());
    return out;
}

struct ListRig
{
    ListRig()
    {
        tester = std::make_unique<QAbstractItemModelTester>(list.model(), QAbstractItemModelTester::FailureReportingMode::Warning);
        list.addNote(note(1, "Apple", "<html>red fruit</html>", 1000));
        list.addNote(note(2, "Banana", "yellow fruit", 3000));
        list.addNote(note(3, "Cherry", "<html>small <b>red</b></html>", 2000));
        list.addNote(note(4, "Date", "same time as banana", 3000));
        list.beginSearch(QString()); // the whole list, sorted
    }
    AppController controller;
    NotesDataController list{&controller};
    std::unique_ptr<QAbstractItemModelTester> tester;
};

} // namespace

TEST(NotesDataController, NewNotesFromText)
{
    AppController controller;
    NotesDataController list(&controller);
    struct Case {
        const char *name;
        QString text;
        bool html;
        QString title, summary, body;
    };
    const QString longLine(60, QLatin1Char('x'));
    const Case cases[] = {
        {"two lines", "  Hello\nworld  \n", false, "Hello", "world", "<div>Hello</div><div>world</div>"},
        {"CRLF is one separator", "Hello\r\nworld", false, "Hello", "world", "<div>Hello</div><div>world</div>"},
        {"a cut first line skips nothing", longLine + "\nnext", false, QString(49, 'x'),
         "xxxxxxxxxxx\nnext", "<div>" + longLine + "</div><div>next</div>"},
        {"escaped, tabs and blank lines", "a<b>&c\td\n\ne", false, "a<b>&c\td", "\ne",
         "<div>a&lt;b&gt;&amp;c     d</div><div><br class=\"webkit-block-placeholder\"></div><div>e</div>"},
        {"HTML takes its TITLE", "<html><title>Shop\nList</title>milk</html>", true, "Shop List",
         "List</title>milk</html>", "<html><title>Shop\nList</title>milk</html>"},
    };
    qint64 lastId = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const FRNoteInfoPtr made = list.createNewNote(c.text, c.html);
        EXPECT_EQ(made->noteTitle(), c.title);
        EXPECT_EQ(made->summary(), c.summary);
        EXPECT_EQ(made->rawNoteBody(), c.body);
        EXPECT_LT(made->noteId(), 0);
        if (lastId != 0) {
            EXPECT_EQ(made->noteId(), lastId - 1);
        }
        lastId = made->noteId();
    }
    EXPECT_EQ(list.createNewNote("text", false, "Given\ntitle")->noteTitle(), "Given title");
}

TEST(NotesDataController, NewestFirstWithTiesByIdThenByTitle)
{
    ListRig rig;
    EXPECT_EQ(titles(rig.list), (QStringList{"Date", "Banana", "Cherry", "Apple"}));
    EXPECT_EQ(rig.list.model()->rowCount(), 4);
    EXPECT_EQ(rig.list.model()->row(0).value(NotesDataController::kTitleColumn).toString(), "Date");
    rig.list.sortBy(NotesDataController::kDateColumn, Qt::AscendingOrder);
    EXPECT_EQ(titles(rig.list), (QStringList{"Apple", "Cherry", "Banana", "Date"}));
    rig.list.sortBy(NotesDataController::kTitleColumn, Qt::DescendingOrder);
    EXPECT_EQ(titles(rig.list), (QStringList{"Date", "Cherry", "Banana", "Apple"}));
}

TEST(NotesDataController, SearchRunsOnAThreadAndClearingShowsAll)
{
    ListRig rig;
    rig.list.beginSearch("RED");
    ASSERT_TRUE(waitUntil([&] { return !rig.list.isFinding(); }));
    EXPECT_EQ(titles(rig.list), (QStringList{"Cherry", "Apple"}));
    rig.list.beginSearch("nothing like this");
    ASSERT_TRUE(waitUntil([&] { return !rig.list.isFinding(); }));
    EXPECT_TRUE(titles(rig.list).isEmpty());
    EXPECT_EQ(rig.list.model()->rowCount(), 0);
    rig.list.beginSearch(QString());
    EXPECT_EQ(rig.list.displayedNotes().size(), 4);
}

TEST(NotesDataController, DragsCarryTextRichTextAndUniqueFiles)
{
    AppController controller;
    NotesDataController list(&controller);
    list.addNote(note(1, "Title", "first body", 2000));
    list.addNote(note(2, "Title", "second body", 1000));
    list.addNote(note(3, "Rich", "<html><body><b>bold</b></body></html>", 500));
    list.addNote(note(4, "Rich", "<html><body><i>it</i></body></html>", 400));
    list.beginSearch(QString());

    const auto plain = list.writeRows({1, 0});
    EXPECT_EQ(plain.promisedFiles, (QStringList{"Title.txt", "Title-1.txt"}));
    EXPECT_EQ(plain.text, "first body\n\nsecond body");
    EXPECT_TRUE(plain.rtf.isEmpty());
    EXPECT_EQ(list.numDragging(), 2);

    const auto rich = list.writeRows({2, 3});
    EXPECT_EQ(rich.promisedFiles, (QStringList{"Rich.rtf", "Rich-1.rtf"}));
    EXPECT_TRUE(rich.rtf.startsWith("{\\rtf1"));
    EXPECT_TRUE(rich.text.contains("bold") && rich.text.contains("it"));
    // The drag works on copies: the listed notes keep their names.
    EXPECT_EQ(list.displayedNotes()[3]->uniqueFileName(), "Rich.rtf");
}

TEST(NotesDataController, DropsOfNoteFilesAreAccepted)
{
    AppController controller;
    NotesDataController list(&controller);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("folder");
    QDir(dir.path()).mkpath("doc.rtfd");
    const QString folder = dir.filePath("folder"), rtfd = dir.filePath("doc.rtfd");
    EXPECT_FALSE(list.acceptFiles({}));
    EXPECT_TRUE(list.acceptFiles({"/x/a.TXT"}));
    EXPECT_TRUE(list.acceptFiles({rtfd}));
    EXPECT_FALSE(list.acceptFiles({"/x/a.png"}));
    EXPECT_TRUE(list.acceptFiles({"/x/a.png", "/x/b.pdf"}));
    EXPECT_FALSE(list.acceptFiles({"/x/a.txt", folder})); // a folder later refuses the whole drop
    EXPECT_TRUE(list.acceptFilesTypes({"png", "docx"}));
    EXPECT_FALSE(list.acceptFilesTypes({"png"}));
}

TEST(NotesDataController, EditsReplaceTheSharedListSoARefreshKeepsThem)
{
    AppController controller;
    NotesDataController list(&controller);
    list.addNote(note(1, "Kept", "x", 1000));
    const FRNoteInfoPtr pending = list.createNewNote("Pending note", false);
    list.addNote(pending);
    RecordSnapshot<FRNoteInfo> before;
    {
        std::lock_guard lock(notesLock);
        before = gNotes;
    }
    ASSERT_TRUE(before);
    EXPECT_EQ(before->size(), 2);

    const FRNoteInfoPtr changed = FRNoteInfo::copyNote(*before->at(0));
    changed->saveNoteChanges("changed", "Changed");
    list.updateNote(changed);
    list.deleteNotes({pending});
    std::lock_guard lock(notesLock);
    ASSERT_EQ(gNotes->size(), 1);
    EXPECT_EQ(gNotes->at(0)->noteTitle(), "Changed");
    EXPECT_EQ(before->size(), 2); // a list handed out earlier never changes
    EXPECT_EQ(list.numNotes(), 1);
}

TEST(NotesDataController, WrittenBackNotesTakeTheirRowIds)
{
    AppController controller;
    NotesDataController list(&controller);
    const FRNoteInfoPtr made = list.createNewNote("Made here", false);
    list.addNote(made);
    list.updateNoteId(made->noteId(), 17);
    EXPECT_EQ(made->keyString(), "17");
    EXPECT_FALSE(made->unsyncedNote());
}
