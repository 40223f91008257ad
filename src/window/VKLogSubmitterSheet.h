#pragma once
// The sheet that sends the logs to support: a name, an e-mail address, Send and Cancel. Send
// is enabled while the entries are valid (VKLogSubmitter::validDebugEntry); pressed, both
// fields and Send are disabled, Send reads "Sending...", and a worker zips and posts the logs
// (VKLogSubmitter::sendLogs). The sheet closes when the worker is done and an alert tells the
// outcome; "Contact Support" opens the support page in the browser.
//
// The main window makes one on first use of its diagnostics command. Main thread only; the
// worker works on its own copy of the submitter and reports back through a queued call,
// dropped when the sheet is gone.

#include "shell/VKLogSubmitter.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

class VKLogSubmitterSheet : public QDialog
{
    Q_OBJECT

public:
    explicit VKLogSubmitterSheet(QWidget *parent = nullptr);

    // Shows the sheet over `window` (the parent when null).
    void sendLogsModalForWindow(QWidget *window);
    bool validDebugEntry() const { return mValidDebugEntry; }
    VKLogSubmitter &submitter() { return mSubmitter; }

    QLineEdit *debugSheetName = nullptr;
    QLineEdit *debugSheetEmail = nullptr;
    QPushButton *debugSheetSend = nullptr;
    QPushButton *debugSheetCancel = nullptr;

signals:
    void validDebugEntryChanged(bool valid);
    // The worker's result, once the sheet has closed and the alert is up.
    void logsSent(bool success);

private:
    void validateDebugEntries();
    void setValidDebugEntry(bool valid);
    void debugSendClicked();
    void endSheetOnMain(bool success);

    VKLogSubmitter mSubmitter;
    bool mValidDebugEntry = false;
};
