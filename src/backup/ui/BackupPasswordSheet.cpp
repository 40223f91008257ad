#include "backup/ui/BackupPasswordSheet.h"

#include "backup/BackupKeychain.h"
#include "platform/QueuedCall.h"
#include "shell/VarnekLogger.h"

#include <QCheckBox>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

BackupPasswordSheet::BackupPasswordSheet(QWidget *mainWindow, BackupPasswordReceiver *deviceController)
    : QObject(mainWindow), mMainWindow(mainWindow), mDeviceController(deviceController)
{
}

BackupPasswordSheet::~BackupPasswordSheet()
{
    if (mSheet) {
        disconnect(mSheet, nullptr, this, nullptr);
        delete mSheet;
    }
}

bool BackupPasswordSheet::promptingForPassword() const
{
    return mWaitingForSheet.load();
}

void BackupPasswordSheet::requestBackupPassword(const QString &deviceID)
{
    // Raised here, on the caller's thread, so a session that polls right after asking
    // never sees "not prompting" before the sheet is up.
    mWaitingForSheet = true;
    if (QThread::currentThread() == thread()) {
        showSheet(deviceID, mMainWindow, mDeviceController, QString());
        return;
    }
    QMetaObject::invokeMethod(
        this, QueuedCall([this, deviceID] { showSheet(deviceID, mMainWindow, mDeviceController, QString()); }),
        Qt::QueuedConnection);
}

void BackupPasswordSheet::requestBackupPassword(const QString &deviceID, QWidget *window,
                                                BackupPasswordReceiver *receiver, const QString &prefill)
{
    if (window == mMainWindow)
        mWaitingForSheet = true;
    showSheet(deviceID, window, window == mMainWindow ? mDeviceController : receiver, prefill);
}

void BackupPasswordSheet::buildSheet()
{
    mSheet = new QDialog;
    mSheet->setObjectName("passwordSheet");
    mPasswordTopText = new QLabel;
    mPasswordTopText->setObjectName("passwordTopText");
    mPasswordTopText->setWordWrap(true);
    mPasswordBottomText = new QLabel;
    mPasswordBottomText->setObjectName("passwordBottomText");
    mPasswordBottomText->setWordWrap(true);
    mPasswordFieldLabel = new QLabel;
    mPasswordFieldLabel->setObjectName("passwordFieldLabel");
    mPasswordField = new QLineEdit;
    mPasswordField->setObjectName("passwordField");
    mPasswordField->setEchoMode(QLineEdit::Password);
    mPasswordFieldLabel->setBuddy(mPasswordField);
    mPasswordKeychainCheckbox = new QCheckBox;
    mPasswordKeychainCheckbox->setObjectName("passwordKeychainCheckbox");
    mPasswordOK = new QPushButton;
    mPasswordOK->setObjectName("passwordOK");
    mPasswordOK->setDefault(true);
    mPasswordCancel = new QPushButton;
    mPasswordCancel->setObjectName("passwordCancel");

    auto *field = new QHBoxLayout;
    field->addWidget(mPasswordFieldLabel);
    field->addWidget(mPasswordField, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(mPasswordCancel);
    buttons->addWidget(mPasswordOK);
    auto *layout = new QVBoxLayout(mSheet);
    layout->addWidget(mPasswordTopText);
    layout->addLayout(field);
    layout->addWidget(mPasswordKeychainCheckbox);
    layout->addWidget(mPasswordBottomText);
    layout->addLayout(buttons);
    mSheet->setMinimumWidth(440);

    connect(mPasswordOK, &QPushButton::clicked, this, &BackupPasswordSheet::passwordOkButton);
    connect(mPasswordCancel, &QPushButton::clicked, this, &BackupPasswordSheet::passwordCancelButton);
    connect(mSheet, &QDialog::finished, this, &BackupPasswordSheet::passwordSheetDidEnd);
    connect(mSheet, &QObject::destroyed, this, &BackupPasswordSheet::sheetDestroyed);
}

// The window that held the sheet was closed and took the dialog with it, without the dialog
// finishing: its controls are gone, and a session waiting on the main window's sheet gets
// the cancel answer.
void BackupPasswordSheet::sheetDestroyed()
{
    mPasswordTopText = nullptr;
    mPasswordBottomText = nullptr;
    mPasswordFieldLabel = nullptr;
    mPasswordField = nullptr;
    mPasswordKeychainCheckbox = nullptr;
    mPasswordOK = nullptr;
    mPasswordCancel = nullptr;
    if (!mSheetUp)
        return;
    mSheetUp = false;
    const bool forMain = mContextWindow == mMainWindow;
    BackupPasswordReceiver *receiver = mContextReceiver;
    mContextReceiver = nullptr;
    mContextWindow = nullptr;
    if (forMain && receiver)
        receiver->setBackupPassword(QString::fromLatin1(kFailedToGetAPassword), false);
    if (forMain)
        mWaitingForSheet = false;
}

void BackupPasswordSheet::showSheet(const QString &deviceID, QWidget *window, BackupPasswordReceiver *receiver,
                                    const QString &prefill)
{
    if (!mSheet)
        buildSheet();
    const bool forMain = window == mMainWindow;
    if (mSheetUp) {
        // One sheet at a time. A waiting session must not hang on a request that never
        // showed: it gets the cancel answer at once.
        VarnekLog("password sheet already up; request for %s not shown", qUtf8Printable(deviceID));
        if (forMain && mDeviceController) {
            mDeviceController->setBackupPassword(QString::fromLatin1(kFailedToGetAPassword), false);
            mWaitingForSheet = false;
        }
        return;
    }
    mContextWindow = window;
    mContextReceiver = receiver;
    mContextTarget = deviceID;

    QString fill = prefill;
    if (fill.isNull())
        fill = BackupKeychain::getiTunesBackupPasswordForDevice(deviceID.section('-', 0, 0));

    mPasswordTopText->setText(tr("Enter the password used for encrypted backups."));
    // The sentence's placeholder named the host's old backup program on systems that had
    // one; here it is always empty.
    mPasswordBottomText->setText(
        tr("The encryption password may be different than your Apple ID password, PIN code or Mac admin "
           "password. It would have been created when originally turning on backup encryption%1.")
            .arg(QString()));
    mPasswordFieldLabel->setText(tr("Password:"));
    mPasswordKeychainCheckbox->setText(tr("Remember this password in my keychain"));
    mPasswordKeychainCheckbox->setChecked(true);
    mPasswordOK->setText(tr("OK"));
    mPasswordCancel->setText(tr("Cancel"));
    mSheet->setWindowTitle(tr("Backup Encryption Password Required"));
    mPasswordField->setText(fill.isNull() ? QString() : fill);

    mSheet->setParent(window, Qt::Dialog);
    mSheet->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    mSheetUp = true;
    mSheet->open();
    mPasswordField->setFocus();
}

void BackupPasswordSheet::passwordOkButton()
{
    if (mSheet)
        mSheet->done(1);
}

void BackupPasswordSheet::passwordCancelButton()
{
    if (mSheet)
        mSheet->done(0);
}

void BackupPasswordSheet::passwordSheetDidEnd(int returnCode)
{
    if (!mSheetUp)
        return;
    mSheetUp = false;
    const QString password = mPasswordField->text();
    const bool remember = mPasswordKeychainCheckbox->isChecked();
    // The typed password does not stay in the dialog after it has been handed over.
    mPasswordField->clear();
    const bool forMain = mContextWindow == mMainWindow;
    BackupPasswordReceiver *receiver = mContextReceiver;
    mContextReceiver = nullptr;
    mContextWindow = nullptr;

    if (returnCode == 1) {
        if (receiver)
            receiver->setBackupPassword(password, remember);
    } else if (forMain && receiver) {
        receiver->setBackupPassword(QString::fromLatin1(kFailedToGetAPassword), false);
    }
    if (forMain)
        mWaitingForSheet = false;
}
