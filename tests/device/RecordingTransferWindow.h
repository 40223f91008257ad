#pragma once
// A TransferWindow for core tests: records the error sheets and progress calls, and keeps
// the replace sheet's question and answer function so a test can press a button. The
// running flag is an atomic, as workers clear it.

#include "interfaces/TransferWindow.h"

#include <QList>
#include <QStringList>

#include <atomic>
#include <mutex>

class RecordingTransferWindow : public TransferWindow
{
public:
    struct Error
    {
        QString title;
        QString message;
        long code;
    };

    DeviceFilesWindow::Mode windowMode() const override { return mode.load(); }
    void reportError(const QString &title, const QString &message, long code) override
    {
        std::lock_guard lock(mErrorsLock);
        mErrors.append({title, message, code});
    }
    void setThreadRunning(bool running) override { threadRunning.store(running); }
    bool running() const override { return threadRunning.load() || bool(replaceAnswer); }
    void startTransferProgress(const QString &headline) override { headlines << headline; }
    void askReplace(const QString &title, const QString &text, const QStringList &buttons,
                    std::function<void(int)> answer) override
    {
        replaceTitle = title;
        replaceText = text;
        replaceButtons = buttons;
        replaceAnswer = std::move(answer);
        ++replaceAsked;
    }
    // Presses a button of the open replace sheet.
    void press(int button)
    {
        auto answer = std::move(replaceAnswer);
        replaceAnswer = nullptr;
        if (answer)
            answer(button);
    }
    QList<Error> errors() const
    {
        std::lock_guard lock(mErrorsLock);
        return mErrors;
    }

    std::atomic<DeviceFilesWindow::Mode> mode{DeviceFilesWindow::Mode::Files};
    std::atomic<bool> threadRunning{false};
    QStringList headlines;
    QString replaceTitle, replaceText;
    QStringList replaceButtons;
    std::function<void(int)> replaceAnswer;
    int replaceAsked = 0;

private:
    mutable std::mutex mErrorsLock;
    QList<Error> mErrors;
};
