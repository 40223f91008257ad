// Filtering the rows by the selected conversations and the search text, on a worker, with a
// generation number: a newer pass or a cancel ends the running one at its next row.

#include "messages/SMSDataController.h"

#include "messages/FRMMSInfo.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"

#include <QTimer>

#include <system_error>

namespace {

// Rows found are handed over in batches, so the redraw timer has something to show while a
// long pass runs, without taking the result lock at every row.
constexpr int kBatch = 512;

QVariantList selectionList(const QList<QVariantMap> &threads)
{
    QVariantList list;
    for (const QVariantMap &thread : threads)
        list.append(thread);
    return list;
}

bool passes(const FRSMSInfoPtr &row, const QVariantList &threads, const QString &search)
{
    if (!search.isEmpty() && !row->matchesSearchFor(search))
        return false;
    return threads.isEmpty() || row->isInThreads(threads);
}

} // namespace

QList<FRSMSInfoPtr> SMSDataController::createSMSListing(const QList<QVariantMap> &threads, bool matchSearch) const
{
    QList<FRSMSInfoPtr> out;
    const MessageSnapshotPtr current = snapshot();
    if (!current)
        return out;
    QString search;
    if (matchSearch) {
        std::lock_guard lock(mLock);
        search = mCurrentSearchString;
    }
    const QVariantList selection = selectionList(threads);
    for (const FRSMSInfoPtr &row : current->parts)
        if (passes(row, selection, search))
            out.append(row);
    return out;
}

QList<FRSMSInfoPtr> SMSDataController::displayedRows() const { return mDisplayed; }

void SMSDataController::setCurrentThreads(const QList<QVariantMap> &threads)
{
    const auto isAll = [](const QList<QVariantMap> &list) {
        return list.isEmpty() || (list.size() == 1 && list.first().value(QStringLiteral("name")) == QLatin1String("All"));
    };
    const bool both = isAll(mCurrentThreads) && isAll(threads);
    mCurrentThreads = threads;
    setIndividualThread(threads.size() == 1 && !isAllMode(threads.first().value(QStringLiteral("name")).toString()));
    mSelectedRows.clear();
    if (!both)
        rebuildDisplayed();
}

void SMSDataController::beginSearch(const QString &text)
{
    {
        std::lock_guard lock(mLock);
        mCurrentSearchString = text;
    }
    rebuildDisplayed();
}

void SMSDataController::cancelFindString()
{
    mSearching.store(false);
    {
        std::lock_guard lock(mLock);
        mCurrentSearchString.clear();
    }
    // Ends the running pass at its next row; its rows so far stay shown.
    mSearchGeneration.fetch_add(1);
    mSearchTimer->stop();
}

void SMSDataController::rebuildDisplayed()
{
    startPass();
}

void SMSDataController::startPass()
{
    const uint64_t generation = mSearchGeneration.fetch_add(1) + 1;
    const MessageSnapshotPtr current = snapshot();
    QString search;
    {
        std::lock_guard lock(mLock);
        search = mCurrentSearchString;
    }
    {
        std::lock_guard lock(mResultLock);
        mResultGeneration = generation;
        mResultRows.clear();
        mResultFinal = false;
    }
    if (!current) {
        takeRows(generation, true);
        return;
    }
    mSearching.store(true);
    mPassesRunning.fetch_add(1);
    const QVariantList threads = selectionList(mCurrentThreads);
    auto pass = [this, generation, current, threads, search] {
        QList<FRSMSInfoPtr> batch;
        bool cancelled = false;
        for (const FRSMSInfoPtr &row : current->parts) {
            if (mSearchGeneration.load(std::memory_order_relaxed) != generation) {
                cancelled = true;
                break;
            }
            mRowsExamined.fetch_add(1, std::memory_order_relaxed);
            if (passes(row, threads, search))
                batch.append(row);
            if (batch.size() >= kBatch) {
                std::lock_guard lock(mResultLock);
                if (mResultGeneration != generation) {
                    cancelled = true;
                    break;
                }
                mResultRows += batch;
                batch.clear();
            }
        }
        {
            std::lock_guard lock(mResultLock);
            if (mResultGeneration == generation) {
                mResultRows += batch;
                mResultFinal = !cancelled;
            }
        }
        if (!cancelled) {
            QMetaObject::invokeMethod(
                this, [this, generation] { takeRows(generation, true); }, Qt::QueuedConnection);
        }
        mPassesRunning.fetch_sub(1);
    };
    try {
        startWorker(std::move(pass));
        mSearchTimer->start();
    } catch (const std::system_error &) {
        mPassesRunning.fetch_sub(1);
        mSearching.store(false);
    }
}

void SMSDataController::takeRows(uint64_t generation, bool final)
{
    if (generation != mSearchGeneration.load())
        return; // a newer pass owns the table (and its timer)
    QList<FRSMSInfoPtr> rows;
    bool done = false;
    {
        std::lock_guard lock(mResultLock);
        if (mResultGeneration != generation)
            return;
        rows = mResultRows;
        done = mResultFinal;
    }
    if (final || done) {
        mSearching.store(false);
        mSearchTimer->stop();
    }
    if (rows.size() == mDisplayed.size() && !final && !done)
        return;
    mDisplayed = rows;
    QList<QVariantMap> tableRows;
    tableRows.reserve(rows.size());
    for (const FRSMSInfoPtr &row : std::as_const(rows))
        tableRows.append({{kRowColumn, QVariant::fromValue(row)}});
    mTableModel->setRows(tableRows);
    if (onRowsChanged)
        onRowsChanged();
}
