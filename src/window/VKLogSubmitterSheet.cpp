#include "VKLogSubmitterSheet.h"

#include "FRInfoPanel.h"
#include "shell/DesktopLauncher.h"
#include "shell/VarnekLogger.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <system_error>
#include <thread>

VKLogSubmitterSheet::VKLogSubmitterSheet(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("debugSheet"));
    setWindowTitle(tr("Send Logs"));
    setWindowModality(Qt::WindowModal);
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(tr("Send Quillon's recent log files to support. Enter your name and e-mail address so "
                                "that support can reply."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto *form = new QFormLayout;
    debugSheetName = new QLineEdit(this);
    debugSheetName->setObjectName(QStringLiteral("debugSheetName"));
    debugSheetEmail = new QLineEdit(this);
    debugSheetEmail->setObjectName(QStringLiteral("debugSheetEmail"));
    form->addRow(tr("Name:"), debugSheetName);
    form->addRow(tr("E-mail:"), debugSheetEmail);
    layout->addLayout(form);
    auto *buttons = new QDialogButtonBox(this);
    debugSheetSend = buttons->addButton(tr("Send"), QDialogButtonBox::AcceptRole);
    debugSheetSend->setObjectName(QStringLiteral("debugSheetSend"));
    debugSheetCancel = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    debugSheetCancel->setObjectName(QStringLiteral("debugSheetCancel"));
    layout->addWidget(buttons);

    connect(debugSheetName, &QLineEdit::textChanged, this, &VKLogSubmitterSheet::validateDebugEntries);
    connect(debugSheetEmail, &QLineEdit::textChanged, this, &VKLogSubmitterSheet::validateDebugEntries);
    connect(this, &VKLogSubmitterSheet::validDebugEntryChanged, debugSheetSend, &QPushButton::setEnabled);
    // The buttons act themselves: Return on a field must not close the sheet unsent.
    disconnect(buttons, nullptr, this, nullptr);
    connect(debugSheetSend, &QPushButton::clicked, this, &VKLogSubmitterSheet::debugSendClicked);
    connect(debugSheetCancel, &QPushButton::clicked, this, &QDialog::reject);
    debugSheetSend->setEnabled(false);
}

void VKLogSubmitterSheet::sendLogsModalForWindow(QWidget *window)
{
    if (window && window != parentWidget())
        setParent(window, windowFlags());
    debugSheetName->setEnabled(true);
    debugSheetEmail->setEnabled(true);
    debugSheetSend->setText(tr("Send"));
    validateDebugEntries();
    debugSheetSend->setEnabled(mValidDebugEntry);
    open();
}

void VKLogSubmitterSheet::validateDebugEntries()
{
    setValidDebugEntry(VKLogSubmitter::validDebugEntry(debugSheetName->text(), debugSheetEmail->text()));
}

void VKLogSubmitterSheet::setValidDebugEntry(bool valid)
{
    if (valid == mValidDebugEntry)
        return;
    mValidDebugEntry = valid;
    emit validDebugEntryChanged(valid);
}

void VKLogSubmitterSheet::debugSendClicked()
{
    if (!mValidDebugEntry)
        return;
    debugSheetName->setEnabled(false);
    debugSheetEmail->setEnabled(false);
    debugSheetSend->setEnabled(false);
    debugSheetSend->setText(tr("Sending..."));
    const QString name = debugSheetName->text();
    const QString email = debugSheetEmail->text();
    QPointer<VKLogSubmitterSheet> sheet(this);
    try {
        std::thread([submitter = mSubmitter, name, email, sheet] {
            const bool success = submitter.sendLogs(name, email);
            QMetaObject::invokeMethod(
                qApp, [sheet, success] {
                    if (sheet)
                        sheet->endSheetOnMain(success);
                },
                Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error &error) {
        VarnekLog("Error %s sending logs: %s", "no worker", error.what());
        endSheetOnMain(false);
    }
}

void VKLogSubmitterSheet::endSheetOnMain(bool success)
{
    done(QDialog::Accepted);
    QWidget *over = parentWidget() ? parentWidget() : this;
    if (!success) {
        FRInfoPanel::runOverWindow(over, tr("Error Sending Logs"),
                                   tr("There was an error sending your diagnostic information to Varnek."), tr("OK"),
                                   {}, {});
    } else {
        FRInfoPanel::runOverWindow(
            over, tr("Logs Successfully Sent"),
            tr("Your Quillon diagnostic information has been sent to Varnek. If you are not already working with "
               "support and would like a reply, be sure to contact us."),
            tr("OK"), tr("Contact Support"), {}, this, [](QAbstractButton *, int number) {
                const QString page = VKLogSubmitter::contactURL();
                if (number == 2 && !page.isEmpty())
                    DesktopLauncher::open(page);
            });
    }
    emit logsSent(success);
}
