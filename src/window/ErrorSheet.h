#pragma once
// How the main window tells the user about failures: the error sheet and the information
// panel.
//
// Error sheet: reportError() may be called from any thread. The report hops to the main
// thread and its sheet opens 0.25 s after it arrived there, so a sheet that is just closing
// has gone first. The message gets a line break and " (Error: <code>)" when the code is not
// 0. The window carries one sheet at a time: a report arriving while one is open waits and
// opens (again 0.25 s later) once that one has closed.
//
// Information panel: showPanel() (main thread) opens an FRInfoPanel over the window with a
// title, a message and "OK"; it does not block and several may be open. gShowingError marks
// that an error panel is up, for callers that want at most one (they test and set it
// themselves and open the panel as the error panel); only that panel clears it on closing.
//
// Owned by the window (a QObject child of it).

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>

class QMessageBox;
class QWidget;

class ErrorSheet : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDelayMs = 250;

    explicit ErrorSheet(QWidget *window);

    // Any thread.
    void reportError(const QString &title, const QString &message, long code);
    // The message as the sheet shows it.
    static QString messageWithCode(const QString &message, long code);

    void showPanel(const QString &title, const QString &message, bool errorPanel = false);

    // The sheet on the window, or null.
    QMessageBox *attachedSheet() const;
    // Closes the sheet on the window (its "OK"); a waiting report follows.
    void endAttachedSheet();
    // Reports that wait for the sheet on the window to close.
    int waitingReports() const { return int(mWaiting.size()); }

private:
    struct Report
    {
        QString title;
        QString message;
        long code;
    };

    void doReportError(const Report &report);
    void _doReportError();

    QWidget *mWindow;
    QPointer<QMessageBox> mSheet;
    QList<Report> mWaiting;
    bool mOpening = false; // a sheet is due within 0.25 s
};

// An error panel is on screen.
extern std::atomic<bool> gShowingError;
