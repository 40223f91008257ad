#include "archive/ui/ArchiveSheetDialogs.h"

#include "platform/QueuedCall.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QWidget>

#include <limits>

ArchiveSheetDialogs::ArchiveSheetDialogs(QWidget *host) : QObject(host), mHost(host) {}

void ArchiveSheetDialogs::setHost(QWidget *host)
{
    mHost = host;
}

void ArchiveSheetDialogs::showSheet(const Sheet &sheet, std::function<void(bool)> didEnd)
{
    auto *box = new QMessageBox(sheet.style == Style::Critical ? QMessageBox::Warning : QMessageBox::Question,
                                sheet.title, sheet.message, QMessageBox::NoButton, mHost);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(mHost ? Qt::WindowModal : Qt::ApplicationModal);
    QPushButton *defaultButton = box->addButton(sheet.defaultButton, QMessageBox::AcceptRole);
    if (!sheet.otherButton.isEmpty())
        box->addButton(sheet.otherButton, QMessageBox::RejectRole);
    box->setDefaultButton(defaultButton);
    // Exactly once, whichever way the box goes (a button, Escape, its window closing).
    auto ended = std::make_shared<bool>(false);
    auto finish = [box, defaultButton, ended, didEnd = std::move(didEnd)] {
        if (*ended)
            return;
        *ended = true;
        const bool accepted = box->clickedButton() == defaultButton;
        if (didEnd)
            didEnd(accepted);
    };
    connect(box, &QMessageBox::finished, this, finish);
    mSheet = box;
    box->open();
}

void ArchiveSheetDialogs::beginProgress(const QString &text)
{
    QMetaObject::invokeMethod(this, QueuedCall([this, text] {
        if (!mProgress) {
            mProgress = new QProgressDialog(mHost);
            mProgress->setWindowModality(mHost ? Qt::WindowModal : Qt::ApplicationModal);
            mProgress->setCancelButton(nullptr);
            mProgress->setMinimumDuration(500);
            mProgress->setAutoClose(false);
            mProgress->setAutoReset(false);
        }
        mProgress->setLabelText(text);
        mProgress->setRange(0, 0); // busy until the first value
        mProgress->setValue(0);
    }), Qt::QueuedConnection);
}

void ArchiveSheetDialogs::setProgress(double value, double max)
{
    QMetaObject::invokeMethod(this, QueuedCall([this, value, max] {
        if (!mProgress)
            return;
        constexpr double kSteps = 1000; // the dialog counts in ints; the fraction is what shows
        const double fraction = max > 0 ? qBound(0.0, value / max, 1.0) : 0.0;
        mProgress->setRange(0, int(kSteps));
        mProgress->setValue(int(fraction * kSteps));
    }), Qt::QueuedConnection);
}

void ArchiveSheetDialogs::endProgress()
{
    QMetaObject::invokeMethod(this, QueuedCall([this] {
        if (mProgress)
            mProgress->deleteLater();
        mProgress = nullptr;
    }), Qt::QueuedConnection);
}
