// The writer the write-back kill test kills: adds notes with bodies long enough to continue
// in two more notes to the copy "notes.db" in its temporary folder, reporting "committed N"
// after the Nth add returned. It never stops by itself.
//
// Usage: notes_writeback_kill_child

#include "device/AppController.h"
#include "extract/Notes.h"
#include "personal/FRNoteInfo.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    AppController controller;
    const QString body(2500000, QLatin1Char('k'));
    for (int n = 1;; ++n) {
        const auto note = FRNoteInfo::infoWithInfo({{NoteKey::NoteID, QString::number(-n)},
                                                    {NoteKey::Title, QStringLiteral("Kill %1").arg(n)},
                                                    {NoteKey::Summary, QStringLiteral("s")},
                                                    {NoteKey::Body, body},
                                                    {NoteKey::Date, QDateTime::currentDateTimeUtc()}});
        if (Notes::addUpdateNote(controller, *note) != 0)
            return 1;
        std::printf("committed %d\n", n);
        std::fflush(stdout);
    }
}
