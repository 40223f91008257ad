#pragma once
// What the archive actions (delete, detach, merge, export, duplicate removal) ask of the
// window that hosts them: window-modal confirmation and result sheets, and a progress
// display for work that runs on a worker. The window library implements it on the archive
// manager (on the main window until that exists) and installs it at start-up; core tests
// install a recording one that answers the sheets.
//
// Threads: showSheet and setRemoveButtonTitle on the main thread; the progress calls from
// any thread. Order: a sheet's didEnd runs exactly once, on the main thread, after the user
// (or the test) answered; beginProgress, then setProgress*, then endProgress once.

#include <QString>

#include <functional>

class ArchiveSheets
{
public:
    enum class Style { Informational, Critical };

    struct Sheet
    {
        Style style = Style::Informational;
        QString title;
        QString message;
        QString defaultButton; // e.g. "Delete", "OK"
        QString otherButton;   // empty: the sheet has one button
    };

    virtual ~ArchiveSheets() = default;

    // Shows the sheet; `didEnd` receives true for the default button, false for the other.
    virtual void showSheet(const Sheet &sheet, std::function<void(bool defaultButton)> didEnd) = 0;
    // The remove button's title (the archive manager's; nothing where there is none).
    virtual void setRemoveButtonTitle(const QString &title) { (void)title; }

    // Long archive work: `text` says what runs; the value goes from 0 to `max`.
    virtual void beginProgress(const QString &text) = 0;
    virtual void setProgress(double value, double max) = 0;
    virtual void endProgress() = 0;

    // The installed implementation, or null (then sheets are answered with the other
    // button and progress is not shown).
    static ArchiveSheets *installed();
    static void install(ArchiveSheets *sheets);
};
