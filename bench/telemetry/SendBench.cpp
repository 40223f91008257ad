// 10,000 logs enqueued on a channel unit, stored, batched by 50, gzip-compressed and posted
// to a loopback server, against posting the same 200 bodies with plain libcurl in a loop.
// Each run works in a throw-away HOME; the server answers every request with 200. The unit's
// time runs from the first enqueue to its handling of the answer for the last batch.
//
// A unit keeps every log in "Logs.sqlite" from its enqueue until its batch is answered, so a
// third figure is the least any unit can take: the same 10,000 archived rows inserted into the
// store's own file (its schema and settings) 50 to a commit, then read back 50 at a time and
// deleted, with bare prepared statements — no archiving, decoding, JSON, gzip or HTTP.
// A fourth is the sending alone: the same 200 batches, already in memory, through the log
// ingestion (JSON, gzip, headers, the HTTP client) with at most three in flight, as a unit
// keeps them.

#include "LoopbackHttpServer.h"
#include "TelemetryTestSupport.h"
#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VUCompression.h"
#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/core/VUVovUdezirIngestion.h"
#include "telemetry/core/VU_Reachability.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sqlite3.h>

#include <condition_variable>
#include <mutex>

namespace {

constexpr int kLogCount = 10000;
constexpr int kBatchSize = 50;

std::shared_ptr<VUStartServiceLog> makeLog(int i)
{
    auto log = std::make_shared<VUStartServiceLog>();
    log->timestamp = QDateTime::currentDateTimeUtc();
    log->device = makeDevice();
    log->sid = QStringLiteral("session-%1").arg(i);
    log->services = QStringList{"Crashes", "Analytics"};
    return log;
}

// A fresh home and data folder for each run: the benchmarks' entry point fixes one data
// folder for the whole process, where every run would share one store.
class ScratchHome
{
public:
    ScratchHome() : mPreviousHome(qgetenv("HOME")), mPreviousData(qgetenv("XDG_DATA_HOME"))
    {
        qputenv("HOME", mDir.path().toUtf8());
        qputenv("XDG_DATA_HOME", (mDir.path() + QStringLiteral("/.local/share")).toUtf8());
    }
    ~ScratchHome()
    {
        qputenv("HOME", mPreviousHome);
        qputenv("XDG_DATA_HOME", mPreviousData);
    }

private:
    QTemporaryDir mDir;
    QByteArray mPreviousHome;
    QByteArray mPreviousData;
};

// Counts the logs the unit reports sent, so a run ends on the unit's own answer for its
// last batch: polling the store instead would compete with the unit for the store's lock.
// The waiter is woken only once the count it waits for is reached: waking it at every log
// made it contend with the unit's queue for the counter's lock 10,000 times a run.
class SentCounter : public VUChannelDelegate
{
public:
    explicit SentCounter(int expected) : mExpected(expected) {}

    void channelDidSucceedSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &) override
    {
        std::lock_guard guard(mLock);
        if (++mSucceeded == mExpected)
            mChanged.notify_all();
    }
    void channelDidFailSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &,
                                  const std::optional<VUError> &) override
    {
        std::lock_guard guard(mLock);
        ++mFailed;
        mChanged.notify_all();
    }
    // False when a log failed or the time ran out first.
    bool waitForAllSucceeded()
    {
        std::unique_lock guard(mLock);
        return mChanged.wait_for(guard, std::chrono::minutes(15), [&] { return mSucceeded >= mExpected || mFailed > 0; })
               && mFailed == 0;
    }

private:
    const int mExpected;
    std::mutex mLock;
    std::condition_variable mChanged;
    int mSucceeded = 0;
    int mFailed = 0;
};

void BM_ChannelUnitSendsToLoopback(benchmark::State &state)
{
    VU_Reachability::setSimulatedStatus(VU_Reachability::Reachable);
    for (auto _ : state) {
        state.PauseTiming();
        ScratchHome home;
        LoopbackHttpServer server;
        server.start();
        auto group = VUChannelGroupDefault::create(QStringLiteral("1C9D3E2A-4B5F-4A6B-8C7D-9E0F1A2B3C4D"), server.baseUrl());
        group->setAppSecret(QStringLiteral("0d3c8a1e-5b7f-4e2a-9c6d-1f8b4a7e2c5d"));
        auto unit = group->addChannelUnitWithConfiguration(VUChannelUnitConfiguration("Bench", 1, 0.05f, kBatchSize, 3));
        group->setMaxStorageSize(256LL * 1024 * 1024, {});
        const auto counter = std::make_shared<SentCounter>(kLogCount);
        group->addDelegate(counter);
        QList<std::shared_ptr<VUStartServiceLog>> logs;
        for (int i = 0; i < kLogCount; ++i)
            logs.append(makeLog(i));
        state.ResumeTiming();

        for (const auto &log : logs)
            unit->enqueueItem(log, 1);
        // The last batch is deleted on the queue right after its logs are reported sent.
        const bool sent = counter->waitForAllSucceeded();
        group->logsDispatchQueue()->sync([] {});
        if (!sent || group->storage()->countLogsWithGroupId("Bench") != 0) {
            state.SkipWithError(qPrintable(QStringLiteral("not every log was sent: %1 requests, %2 stored")
                                               .arg(server.requestCount())
                                               .arg(group->storage()->countLogsWithGroupId("Bench"))));
            break;
        }

        state.PauseTiming();
        group.reset();
        server.stop();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kLogCount);
}

void BM_PlainCurlPostsTheSameBodies(benchmark::State &state)
{
    QList<QByteArray> bodies;
    for (int batch = 0; batch < kLogCount / kBatchSize; ++batch) {
        QList<std::shared_ptr<VUAbstractLog>> logs;
        for (int i = 0; i < kBatchSize; ++i)
            logs.append(makeLog(batch * kBatchSize + i));
        bodies.append(VUCompression::compressData(VULogContainer("B", logs).serializeLog()->toUtf8()).value());
    }
    LoopbackHttpServer server;
    server.start();
    const QByteArray url = (server.baseUrl() + "/logs?api-version=1.0.0").toUtf8();
    CURL *curl = curl_easy_init();
    curl_slist *headers = nullptr;
    for (const char *header : {"Content-Type: application/json", "Install-ID: 1C9D3E2A-4B5F-4A6B-8C7D-9E0F1A2B3C4D",
                               "App-Secret: 0d3c8a1e-5b7f-4e2a-9c6d-1f8b4a7e2c5d", "Content-Encoding: gzip", "Expect:"})
        headers = curl_slist_append(headers, header);
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char *, size_t size, size_t count, void *) { return size * count; });
    for (auto _ : state) {
        for (const QByteArray &body : bodies) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
            if (curl_easy_perform(curl) != CURLE_OK)
                state.SkipWithError("post failed");
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    state.SetItemsProcessed(state.iterations() * kLogCount);
}

void BM_BareStoreKeepsTheSameRows(benchmark::State &state)
{
    QList<QByteArray> rows;
    for (int i = 0; i < kLogCount; ++i)
        rows.append(VUKeyedCoding::archive(*makeLog(i)).toBase64());
    QByteArray deletion = "DELETE FROM \"logs\" WHERE \"id\" IN (?";
    for (int i = 1; i < kBatchSize; ++i)
        deletion += ", ?";
    deletion += ")";
    for (auto _ : state) {
        state.PauseTiming();
        ScratchHome home;
        qint64 maxPages = 0;
        {
            VULogDBStorage store;
            store.setMaxStorageSize(256LL * 1024 * 1024, {});
            maxPages = store.maxSizeInBytes() / store.pageSize();
        }
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(*VUUtility::fullURLForPathComponent("Logs.sqlite")).constData(), &db);
        sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 1048576",
                     nullptr, nullptr, nullptr);
        sqlite3_exec(db, QStringLiteral("PRAGMA max_page_count = %1;").arg(maxPages).toUtf8().constData(), nullptr,
                     nullptr, nullptr);
        sqlite3_stmt *insert = nullptr;
        sqlite3_stmt *select = nullptr;
        sqlite3_stmt *remove = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO \"logs\" (\"groupId\", \"log\", \"targetToken\", \"targetKey\", \"priority\") "
                               "VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
        sqlite3_prepare_v2(db, "SELECT \"id\", \"groupId\", \"log\", \"targetToken\" FROM \"logs\" "
                               "WHERE \"groupId\" = ? AND \"priority\" IS ? ORDER BY \"id\" ASC LIMIT ?", -1, &select, nullptr);
        sqlite3_prepare_v2(db, deletion.constData(), -1, &remove, nullptr);
        state.ResumeTiming();

        bool failed = false;
        for (int first = 0; first < kLogCount && !failed; first += kBatchSize) {
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            for (int i = first; i < first + kBatchSize; ++i) {
                sqlite3_bind_text(insert, 1, "Bench", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 2, rows.at(i).constData(), int(rows.at(i).size()), SQLITE_STATIC);
                sqlite3_bind_null(insert, 3);
                sqlite3_bind_null(insert, 4);
                sqlite3_bind_int64(insert, 5, 1);
                failed = failed || sqlite3_step(insert) != SQLITE_DONE;
                sqlite3_reset(insert);
            }
            failed = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK || failed;
        }
        qint64 bytesRead = 0;
        int loaded = 0;
        while (!failed) {
            sqlite3_bind_text(select, 1, "Bench", -1, SQLITE_STATIC);
            sqlite3_bind_int64(select, 2, 1);
            sqlite3_bind_int64(select, 3, kBatchSize + 1);
            QList<qint64> ids;
            while (sqlite3_step(select) == SQLITE_ROW && ids.size() < kBatchSize) {
                ids.append(sqlite3_column_int64(select, 0));
                bytesRead += sqlite3_column_bytes(select, 2);
            }
            sqlite3_reset(select);
            if (ids.isEmpty())
                break;
            for (int i = 0; i < kBatchSize; ++i) {
                if (i < ids.size())
                    sqlite3_bind_int64(remove, i + 1, ids.at(i));
                else
                    sqlite3_bind_null(remove, i + 1);
            }
            failed = sqlite3_step(remove) != SQLITE_DONE;
            sqlite3_reset(remove);
            loaded += int(ids.size());
        }
        benchmark::DoNotOptimize(bytesRead);

        state.PauseTiming();
        sqlite3_finalize(insert);
        sqlite3_finalize(select);
        sqlite3_finalize(remove);
        sqlite3_close(db);
        state.ResumeTiming();
        if (failed || loaded != kLogCount) {
            state.SkipWithError("the bare store lost or refused rows");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kLogCount);
}

void BM_IngestionPostsTheSameBatches(benchmark::State &state)
{
    constexpr int kInFlight = 3;
    QList<std::shared_ptr<VULogContainer>> batches;
    for (int batch = 0; batch < kLogCount / kBatchSize; ++batch) {
        QList<std::shared_ptr<VUAbstractLog>> logs;
        for (int i = 0; i < kBatchSize; ++i)
            logs.append(makeLog(batch * kBatchSize + i));
        batches.append(std::make_shared<VULogContainer>(QStringLiteral("B%1").arg(batch), logs));
    }
    VU_Reachability::setSimulatedStatus(VU_Reachability::Reachable);
    LoopbackHttpServer server;
    server.start();
    auto ingestion = VUVovUdezirIngestion::create(server.baseUrl(), QStringLiteral("1C9D3E2A-4B5F-4A6B-8C7D-9E0F1A2B3C4D"));
    ingestion->setAppSecret(QStringLiteral("0d3c8a1e-5b7f-4e2a-9c6d-1f8b4a7e2c5d"));
    for (auto _ : state) {
        std::mutex lock;
        std::condition_variable answered;
        int inFlight = 0;
        int succeeded = 0;
        for (const auto &batch : batches) {
            {
                std::unique_lock guard(lock);
                answered.wait(guard, [&] { return inFlight < kInFlight; });
                ++inFlight;
            }
            ingestion->sendAsync(batch, [&](const QString &, qint64 statusCode, const QByteArray &,
                                            const std::optional<VUError> &error) {
                std::lock_guard guard(lock);
                --inFlight;
                if (statusCode == 200 && !error)
                    ++succeeded;
                answered.notify_all();
            });
        }
        std::unique_lock guard(lock);
        answered.wait(guard, [&] { return inFlight == 0; });
        if (succeeded != int(batches.size())) {
            state.SkipWithError("not every batch was answered with success");
            break;
        }
    }
    ingestion.reset();
    server.stop();
    state.SetItemsProcessed(state.iterations() * kLogCount);
}

} // namespace

BENCHMARK(BM_ChannelUnitSendsToLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainCurlPostsTheSameBodies)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareStoreKeepsTheSameRows)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IngestionPostsTheSameBatches)->Unit(benchmark::kMillisecond)->UseRealTime();
