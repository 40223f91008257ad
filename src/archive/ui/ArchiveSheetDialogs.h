#pragma once
// The archive actions' sheets as window-modal dialogs: confirmations and results as message
// boxes, long work as a progress dialog, all on the host window (the archive manager, or
// the main window until the manager exists).
//
// Ownership: owned by the window that installs it (QObject parent); the dialogs are children
// of the host and go with it. Threads: showSheet on the main thread; the progress calls from
// any thread (they are queued to the main thread).

#include "interfaces/ArchiveSheets.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>

class QWidget;

class ArchiveSheetDialogs : public QObject, public ArchiveSheets
{
    Q_OBJECT
public:
    explicit ArchiveSheetDialogs(QWidget *host);

    void setHost(QWidget *host);
    QWidget *host() const { return mHost; }

    void showSheet(const Sheet &sheet, std::function<void(bool defaultButton)> didEnd) override;
    void beginProgress(const QString &text) override;
    void setProgress(double value, double max) override;
    void endProgress() override;

    // The sheet on screen, if any (tests answer it).
    QMessageBox *currentSheet() const { return mSheet; }
    QProgressDialog *progressDialog() const { return mProgress; }

private:
    QPointer<QWidget> mHost;
    QPointer<QMessageBox> mSheet;
    QPointer<QProgressDialog> mProgress;
};
