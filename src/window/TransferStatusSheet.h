#pragma once
// The status sheet of long work in the main window: a headline, a progress bar (determinate,
// counted in 64 KiB blocks, or indeterminate), the line naming the current file and one
// button (Cancel, or Skip for thumbnails). Window-modal; shown and closed by the window's
// progress poll. Main thread only.

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

class TransferStatusSheet : public QDialog
{
    Q_OBJECT

public:
    explicit TransferStatusSheet(QWidget *window);

    QLabel *statusSheetText = nullptr;
    QProgressBar *statusSheetIndicator = nullptr;
    QLabel *statusFile = nullptr;
    QPushButton *statusCancelButton = nullptr;

signals:
    void cancelClicked();

protected:
    // Escape and the window manager's close mean Cancel, never a silent close.
    void reject() override;
};
