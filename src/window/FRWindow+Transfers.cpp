// The window's side of transfers: the export engine every list calls through, the status
// sheet with its 0.05 s poll, the delayed indeterminate variant, Cancel, and the replace sheet.
//
// The poll runs on the main thread and does no device work: it reads the byte counter and
// the current file name from the controller and the bar's maximum from the engine. Only the
// worker ends a run (it clears the running flag); the stop flag a Cancel sets stays until the
// next transfer clears it, so a worker that is still unwinding never sees it cleared.

#include "FRWindow.h"

#include "device/AppController.h"
#include "device/DownloadEngine.h"
#include "shell/VarnekLogger.h"
#include "window/ErrorSheet.h"
#include "window/TransferStatusSheet.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kIndeterminate = 4294967295.0;
const char *const kDatabaseHeadline = "Please wait while the database is updated...";
const char *const kPDFHeadline = "Generating PDF...";
const char *const kThumbnailsHeadline = "Generating Image Thumbnails...";

} // namespace

QStringList FRWindow::downloadFiles(const QList<DownloadItem> &items, const QString &path, bool makeUnique, bool atRoot)
{
    if (!mDownloadEngine)
        return {};
    return mDownloadEngine->downloadFiles(items, path, makeUnique, atRoot);
}

bool FRWindow::running() const
{
    const bool sheetShown = (mStatusSheet && mStatusSheet->isVisible()) || (mErrorSheet && mErrorSheet->attachedSheet());
    return mThreadRunning.load() || sheetShown;
}

void FRWindow::startTransferProgress(const QString &headline)
{
    if (!mStatusSheet) {
        mStatusSheet = new TransferStatusSheet(this);
        connect(mStatusSheet, &TransferStatusSheet::cancelClicked, this, &FRWindow::cancelClicked);
    }
    mIndeterminate = false;
    mStatusSheet->statusSheetText->setText(headline);
    mStatusSheet->statusCancelButton->setText(tr("Cancel"));
    mStatusSheet->statusCancelButton->setEnabled(true);
    mStatusSheet->statusSheetIndicator->setRange(0, 0);
    mStatusSheet->statusSheetIndicator->setValue(0);
    waitForThreadToFinish(QString());
}

void FRWindow::waitForThreadToFinish(const QString &headline)
{
    mTimerTimes = 0;
    mPollHeadline = headline;
    if (!mPollTimer) {
        mPollTimer = new QTimer(this);
        mPollTimer->setInterval(50);
        connect(mPollTimer, &QTimer::timeout, this, &FRWindow::checkForFinished);
    }
    mPollTimer->start();
}

void FRWindow::checkForFinished()
{
    if (mIndeterminate && mDevice && mDevice->operationCancelled())
        mThreadRunning.store(false);
    if (mThreadRunning.load()) {
        mTimerTimes += 0.05;
        const double delay = mPollHeadline == QLatin1String(kDatabaseHeadline) ? 2.0 : 0.5;
        if (mTimerTimes <= delay || !mStatusSheet)
            return;
        QProgressBar *bar = mStatusSheet->statusSheetIndicator;
        if (!mIndeterminate && mDevice) {
            const double maximum = mDownloadEngine && mDownloadEngine->threadRunning() ? mDownloadEngine->maximumBlocks()
                                                                                         : mTransferMaximum;
            // Unknown until the worker sized the items: the bar runs meanwhile.
            const int max = int(std::min(maximum, double(std::numeric_limits<int>::max())));
            if (bar->maximum() != max)
                bar->setRange(0, max);
            const double blocks = double(mDevice->bytesTransferred() / 65536);
            if (mBarWidth == 0)
                mBarWidth = std::max(1, bar->width());
            const double step = std::floor(maximum / mBarWidth * 2);
            if (max > 0 && bar->value() + step < blocks)
                bar->setValue(int(std::min(blocks, maximum)));
            const QString file = mDevice->currentFile();
            mStatusSheet->statusFile->setText(file.isEmpty() ? tr("Copying...") : tr("Copying \"%1\"...").arg(file));
        } else {
            mStatusSheet->statusFile->clear();
        }
        if (!mStatusSheet->isVisible())
            mStatusSheet->open();
        return;
    }
    if (mStatusSheet && mStatusSheet->isVisible())
        mStatusSheet->done(0);
    if (mPollTimer)
        mPollTimer->stop();
    mIndeterminate = false;
    mTransferMaximum = 0;
    if (mDownloadEngine)
        mDownloadEngine->finishTransfer();
}

void FRWindow::initiateIndeterminateProgressAfterAFewSeconds(const QString &headline)
{
    if (mThreadRunning.load())
        return;
    mThreadRunning.store(true);
    if (mIndeterminatePending)
        return;
    mIndeterminatePending = true;
    QTimer::singleShot(0, this, [this, headline] { doInitiateIndeterminateProgress(headline); });
}

void FRWindow::doInitiateIndeterminateProgress(const QString &headline)
{
    mIndeterminatePending = false;
    if (!mStatusSheet) {
        mStatusSheet = new TransferStatusSheet(this);
        connect(mStatusSheet, &TransferStatusSheet::cancelClicked, this, &FRWindow::cancelClicked);
    }
    mStatusSheet->statusCancelButton->setEnabled(headline != QLatin1String(kPDFHeadline)
                                                 && headline != QLatin1String(kDatabaseHeadline));
    mStatusSheet->statusCancelButton->setText(headline == QLatin1String(kThumbnailsHeadline) ? tr("Skip") : tr("Cancel"));
    mStatusSheet->statusSheetText->setText(headline);
    mStatusSheet->statusSheetIndicator->setRange(0, 0);
    mIndeterminate = true;
    waitForThreadToFinish(headline);
}

void FRWindow::updateProgressAfterAFewSeconds(const QString &headline)
{
    if (!mStatusSheet)
        return;
    mStatusSheet->statusSheetText->setText(headline);
    mStatusSheet->statusCancelButton->setEnabled(headline != QLatin1String(kPDFHeadline));
    mStatusSheet->statusCancelButton->setText(headline == QLatin1String(kThumbnailsHeadline) ? tr("Skip") : tr("Cancel"));
}

void FRWindow::cancelClicked()
{
    if (mStatusSheet)
        mStatusSheet->statusCancelButton->setEnabled(false);
    VarnekLog("cancelClicked");
    if (mDevice)
        mDevice->cancelOperation();
}

void FRWindow::askReplace(const QString &title, const QString &text, const QStringList &buttons,
                          std::function<void(int button)> answer)
{
    auto *sheet = new QMessageBox(QMessageBox::Warning, title.isEmpty() ? tr("Replace") : title, text, QMessageBox::NoButton, this);
    sheet->setObjectName(QStringLiteral("replaceSheet"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    QList<QAbstractButton *> made;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        QPushButton *button = sheet->addButton(buttons.at(i), i == 0 ? QMessageBox::RejectRole : QMessageBox::ActionRole);
        made << button;
        if (i == 0)
            sheet->setDefaultButton(button);
    }
    auto answered = std::make_shared<bool>(false);
    connect(sheet, &QMessageBox::buttonClicked, this, [made, answer, answered](QAbstractButton *clicked) {
        if (*answered)
            return;
        *answered = true;
        answer(int(made.indexOf(clicked)));
    });
    // Closed without a button (Escape, the window manager): the first button's answer.
    connect(sheet, &QDialog::finished, this, [answer, answered] {
        if (!*answered) {
            *answered = true;
            answer(0);
        }
    });
    sheet->open();
}
