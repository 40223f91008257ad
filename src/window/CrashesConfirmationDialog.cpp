#include "CrashesConfirmationDialog.h"

#include "telemetry/crashes/VUCrashes.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

CrashesConfirmationDialog::CrashesConfirmationDialog(std::function<void(quint64)> answer) : mAnswer(std::move(answer))
{
    if (!mAnswer)
        mAnswer = [](quint64 value) { VUCrashes::notifyWithUserConfirmation(value); };
}

bool CrashesConfirmationDialog::askUser(const QList<std::shared_ptr<VUErrorReport>> &reports)
{
    QWidget *parent = QApplication::activeWindow();
    auto *box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box->setIcon(QMessageBox::Question);
    box->setText(QCoreApplication::translate("CrashesConfirmationDialog",
                                             "Quillon quit unexpectedly the last time it ran."));
    box->setInformativeText(
        QCoreApplication::translate("CrashesConfirmationDialog",
                                    "Send a crash report (%n report(s)) to help fix the problem?", nullptr,
                                    int(reports.size())));
    QPushButton *send = box->addButton(QCoreApplication::translate("CrashesConfirmationDialog", "Send"),
                                       QMessageBox::AcceptRole);
    QPushButton *always = box->addButton(QCoreApplication::translate("CrashesConfirmationDialog", "Always Send"),
                                         QMessageBox::AcceptRole);
    QPushButton *dontSend = box->addButton(QCoreApplication::translate("CrashesConfirmationDialog", "Don't Send"),
                                           QMessageBox::RejectRole);
    box->setDefaultButton(send);
    box->setEscapeButton(dontSend);
    const auto answer = mAnswer;
    QObject::connect(box, &QMessageBox::buttonClicked, box, [=](QAbstractButton *clicked) {
        if (clicked == always)
            answer(VUUserConfirmationAlways);
        else if (clicked == send)
            answer(VUUserConfirmationSend);
        else
            answer(VUUserConfirmationDontSend);
    });
    box->open();
    return true;
}
