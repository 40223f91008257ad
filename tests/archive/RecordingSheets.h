#pragma once
// A stand-in for the archive actions' sheets: records every sheet (main thread) and answers
// it at once with the next queued answer (the default button when none is queued); records
// the progress calls, which come from workers.

#include "interfaces/ArchiveSheets.h"

#include <QList>
#include <QString>

#include <atomic>
#include <mutex>

class RecordingSheets : public ArchiveSheets
{
public:
    RecordingSheets() { install(this); }
    ~RecordingSheets() override { install(nullptr); }

    void showSheet(const Sheet &sheet, std::function<void(bool)> didEnd) override
    {
        shown.append(sheet);
        const bool answer = answers.isEmpty() ? true : answers.takeFirst();
        didEnd(answer);
    }
    void setRemoveButtonTitle(const QString &title) override { removeButtonTitle = title; }
    void beginProgress(const QString &) override { ++begun; }
    void setProgress(double value, double max) override
    {
        std::lock_guard lock(mLock);
        lastProgress = max > 0 ? value / max : 0;
        ++progressCalls;
    }
    void endProgress() override { ++ended; }

    QStringList titles() const
    {
        QStringList list;
        for (const Sheet &sheet : shown)
            list << sheet.title;
        return list;
    }

    QList<Sheet> shown;
    QList<bool> answers;
    QString removeButtonTitle;
    std::atomic<int> begun{0}, ended{0}, progressCalls{0};
    double lastProgress = 0;

private:
    std::mutex mLock;
};
