// The note record: file names, the HTML test, unique names, ids, edits and search.

#include "personal/FRNoteInfo.h"

#include <thread>

namespace {

FRNoteInfoPtr note(const QString &id, const QString &title, const QString &body)
{
    return FRNoteInfo::infoWithInfo({{NoteKey::NoteID, id},
                                     {NoteKey::Title, title},
                                     {NoteKey::Body, body},
                                     {NoteKey::UniqueFileName, FRNoteInfo::fixFileName(title, body)}});
}

} // namespace

TEST(FRNoteInfo, FileNamesFollowTitleAndBody)
{
    struct Case {
        QString title, body, name;
    };
    const Case cases[] = {
        {QString(60, 'a'), "plain", QString(50, 'a') + ".txt"},
        {"a/b:c", "plain", "a_b_c.txt"},
        {"two\r\nlines\rhere\nnow", "plain", "two lines here now.txt"},
        {"Shopping", "milk", "Shopping.txt"},
        {"Shopping.txt", "milk", "Shopping.txt"},
        {"Shopping", "<div>milk</div>", "Shopping.txt"}, // "<div>" alone is not the HTML test's
        {"Shopping", "<div class=x>milk</div>", "Shopping.rtf"},
        {"Shopping", "<html><MPhtmlnote/>milk", "Shopping.html"},
        {"Shopping.htm", "<html>milk</html>", "Shopping.htm"},
        {"", "<html><MPhtmlnote/>milk", ""},
        {"", "<html>milk", ""},
        {"", "milk", ""},
        {QString("nul") + QChar(0) + "and\x01" + "bell", "milk", "nulandbell.txt"},
        {"..", "milk", "...txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        EXPECT_EQ(FRNoteInfo::fixFileName(c.title, c.body), c.name);
    }
}

TEST(FRNoteInfo, TheHTMLTestLooksAtTheStart)
{
    const std::pair<const char *, bool> cases[] = {
        {"<html", false},          {"<html>", true},   {"<SPAN>x", true},     {"<font x", true},
        {"<div x", true},          {"<div>x", false},  {"<div><font>", true}, {"<DIV><SPAN>", true},
        {"<!DOCTYPE HTML>", true}, {"<!DOCTYPE html", false}, {" <html>", false}, {"", false},
    };
    for (const auto &[text, html] : cases)
        EXPECT_EQ(FRNoteInfo::stringLooksLikeHTML(text), html) << text;
}

TEST(FRNoteInfo, NamesInOneDragAreMadeUnique)
{
    QList<FRNoteInfoPtr> placed;
    QStringList names;
    for (const QString &title : {"Shopping", "shopping", "Shopping", "Other"}) {
        const FRNoteInfoPtr n = note("1", title, "x");
        n->makeUniqueFileName(placed);
        placed.append(n);
        names.append(n->uniqueFileName());
    }
    EXPECT_EQ(names, (QStringList{"Shopping.txt", "shopping-1.txt", "Shopping-2.txt", "Other.txt"}));
}

TEST(FRNoteInfo, IdsKeysAndMissingValues)
{
    const FRNoteInfoPtr unsynced = note("-3", "t", "b");
    EXPECT_TRUE(unsynced->unsyncedNote());
    EXPECT_EQ(unsynced->noteId(), -3);
    const FRNoteInfoPtr bare = FRNoteInfo::infoWithInfo({});
    EXPECT_EQ(bare->keyString(), "Unknown");
    EXPECT_EQ(bare->noteId(), 0);
    EXPECT_FALSE(bare->unsyncedNote());
    EXPECT_EQ(bare->noteTitle(), "Unknown");
    EXPECT_TRUE(bare->noteNSDate().isValid());
    bare->saveNoteId(12345678901LL);
    EXPECT_EQ(bare->keyString(), "12345678901");
}

TEST(FRNoteInfo, AnEditKeepsATitleAndIsFoundBySearch)
{
    const FRNoteInfoPtr n = note("5", "Old", "old words");
    EXPECT_TRUE(n->matchesSearchFor("WORDS"));
    n->saveNoteChanges("<html>new <b>caf\u00e9</b> text", "");
    EXPECT_EQ(n->noteTitle(), "Untitled");
    EXPECT_EQ(n->uniqueFileName(), "Untitled.rtf");
    EXPECT_FALSE(n->matchesSearchFor("words"));
    EXPECT_TRUE(n->matchesSearchFor(QString::fromUtf8("cafe\xcc\x81"))); // decomposed forms match
    EXPECT_TRUE(n->matchesSearchFor("new caf"));
    EXPECT_FALSE(n->matchesSearchFor(""));
}

TEST(FRNoteInfo, BodyFormsAsTheFileNameAsks)
{
    const FRNoteInfoPtr plain = note("1", "P", "line one\nline two");
    EXPECT_EQ(plain->noteBodyText(), "line one\nline two"); // not joined as HTML would
    EXPECT_FALSE(plain->noteBody().rich);

    const FRNoteInfoPtr marked = note("2", "M", "<html><MPhtmlnote/><b>bold</b></html>");
    EXPECT_EQ(marked->noteBody().text, "<html><b>bold</b></html>");
    EXPECT_FALSE(marked->noteBody().rich);

    const FRNoteInfoPtr device = note("3", "D", "<div class=\"a\">one &amp; two</div>");
    const FRNoteInfo::BodyData rich = device->noteBody();
    EXPECT_TRUE(rich.rich);
    EXPECT_TRUE(rich.rtf.startsWith("{\\rtf1"));
    EXPECT_EQ(rich.text.trimmed(), "one & two");
    EXPECT_EQ(device->noteBodyText().trimmed(), "one & two");
}

TEST(FRNoteInfo, SearchTextsAreMadeOnTheSearchingThreads)
{
    const FRNoteInfoPtr n = note("1", "Title", "<html>needle</html>");
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { found += n->matchesSearchFor("needle") ? 1 : 0; });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(found.load(), 4);
}
