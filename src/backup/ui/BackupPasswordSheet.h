#pragma once
// The "Backup Encryption Password Required" sheet: a window-modal dialog on the main window
// or on an archive window that asks for an encrypted backup's password and hands the answer
// to whoever asked. The prefill comes from the host backup application's keychain item.
//
// Ownership: one BackupPasswordSheet per main window, owned by it (QObject parent); it owns
// the one dialog, which moves to whichever window it is shown on.
//
// Threads: requestBackupPassword(deviceID) may be called from any thread (a session thread
// then polls promptingForPassword(), which is true from the moment of the request until the
// answer has been delivered). Everything else runs on the main thread. Order per request:
// the sheet opens, then exactly one of: the receiver gets the password (OK), the main
// window's receiver gets kFailedToGetAPassword (Cancel on the main window), or nothing
// (Cancel on another window).

#include "interfaces/BackupPasswordPrompt.h"

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

class BackupPasswordSheet : public QObject, public BackupPasswordPrompt
{
    Q_OBJECT
public:
    // `mainWindow` hosts the sheet by default; `deviceController` receives its answers.
    BackupPasswordSheet(QWidget *mainWindow, BackupPasswordReceiver *deviceController);
    ~BackupPasswordSheet() override;

    bool promptingForPassword() const override;
    void requestBackupPassword(const QString &deviceID) override;
    // Shows the sheet on `window`. For a window other than the main window, `receiver`
    // gets the answer (and nothing on Cancel). `prefill` null: the host application's item
    // for the part of `deviceID` before its first "-".
    void requestBackupPassword(const QString &deviceID, QWidget *window, BackupPasswordReceiver *receiver,
                               const QString &prefill = QString());

    // The dialog and its controls (named as the window layout names them).
    QDialog *passwordSheet() const { return mSheet; }
    QLineEdit *passwordField() const { return mPasswordField; }
    QCheckBox *passwordKeychainCheckbox() const { return mPasswordKeychainCheckbox; }
    QPushButton *passwordOK() const { return mPasswordOK; }
    QPushButton *passwordCancel() const { return mPasswordCancel; }

public slots:
    void passwordOkButton();
    void passwordCancelButton();

private:
    void buildSheet();
    void showSheet(const QString &deviceID, QWidget *window, BackupPasswordReceiver *receiver,
                   const QString &prefill);
    void passwordSheetDidEnd(int returnCode);
    void sheetDestroyed();

    QPointer<QWidget> mMainWindow;
    BackupPasswordReceiver *mDeviceController = nullptr;
    std::atomic<bool> mWaitingForSheet{false};

    // The sheet's context while it is up.
    QPointer<QWidget> mContextWindow;
    BackupPasswordReceiver *mContextReceiver = nullptr;
    QString mContextTarget;
    bool mSheetUp = false;

    // The dialog lives on whichever window shows it and goes when that window goes; it is
    // made again on the next request.
    QPointer<QDialog> mSheet;
    QLabel *mPasswordTopText = nullptr;
    QLabel *mPasswordBottomText = nullptr;
    QLabel *mPasswordFieldLabel = nullptr;
    QLineEdit *mPasswordField = nullptr;
    QCheckBox *mPasswordKeychainCheckbox = nullptr;
    QPushButton *mPasswordOK = nullptr;
    QPushButton *mPasswordCancel = nullptr;
};
