#include "ErrorSheet.h"

#include "FRInfoPanel.h"
#include "platform/QueuedCall.h"
#include "shell/VarnekLogger.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

std::atomic<bool> gShowingError{false};

ErrorSheet::ErrorSheet(QWidget *window)
    : QObject(window)
    , mWindow(window)
{
}

QString ErrorSheet::messageWithCode(const QString &message, long code)
{
    if (code == 0)
        return message;
    return message + QStringLiteral("\n (Error: %1)").arg(code);
}

void ErrorSheet::reportError(const QString &title, const QString &message, long code)
{
    const Report report{title, message, code};
    QMetaObject::invokeMethod(this, QueuedCall([this, report] { doReportError(report); }), Qt::QueuedConnection);
}

void ErrorSheet::doReportError(const Report &report)
{
    VarnekLog("Error: %s: %s (%ld)", qUtf8Printable(report.title), qUtf8Printable(report.message), report.code);
    mWaiting.append(report);
    if (mSheet || mOpening)
        return; // it follows when the open sheet closes
    mOpening = true;
    QTimer::singleShot(kDelayMs, this, [this] { _doReportError(); });
}

void ErrorSheet::_doReportError()
{
    mOpening = false;
    if (mSheet || mWaiting.isEmpty())
        return;
    const Report report = mWaiting.takeFirst();
    auto *sheet = new QMessageBox(QMessageBox::Warning, report.title, report.title, QMessageBox::Ok, mWindow);
    sheet->setInformativeText(messageWithCode(report.message, report.code));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    mSheet = sheet;
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (mSheet == sheet)
            mSheet = nullptr;
        if (!mWaiting.isEmpty() && !mOpening) {
            mOpening = true;
            QTimer::singleShot(kDelayMs, this, [this] { _doReportError(); });
        }
    });
    sheet->open();
}

QMessageBox *ErrorSheet::attachedSheet() const
{
    return mSheet;
}

void ErrorSheet::endAttachedSheet()
{
    if (mSheet)
        mSheet->done(0);
}

void ErrorSheet::showPanel(const QString &title, const QString &message, bool errorPanel)
{
    FRInfoPanel::runOverWindow(mWindow, title, message, tr("OK"), QString(), QString(), nullptr, {}, errorPanel);
}
