// 10,000 logs enqueued on a channel unit, stored, batched by 50, gzip-compressed and posted
// to a loopback server, against posting the same 200 bodies with plain libcurl in a loop.
// Each run works in a throw-away HOME; the server answers every request with 200. The unit's
// time runs from the first enqueue to its handling of the answer for the last batch.

#include "LoopbackHttpServer.h"
#include "TelemetryTestSupport.h"
#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VUCompression.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VU_Reachability.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

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
class SentCounter : public VUChannelDelegate
{
public:
    void channelDidSucceedSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &) override
    {
        std::lock_guard guard(mLock);
        ++mSucceeded;
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
    bool waitForSucceeded(int count)
    {
        std::unique_lock guard(mLock);
        return mChanged.wait_for(guard, std::chrono::minutes(15), [&] { return mSucceeded >= count || mFailed > 0; })
               && mFailed == 0;
    }

private:
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
        const auto counter = std::make_shared<SentCounter>();
        group->addDelegate(counter);
        QList<std::shared_ptr<VUStartServiceLog>> logs;
        for (int i = 0; i < kLogCount; ++i)
            logs.append(makeLog(i));
        state.ResumeTiming();

        for (const auto &log : logs)
            unit->enqueueItem(log, 1);
        // The last batch is deleted on the queue right after its logs are reported sent.
        const bool sent = counter->waitForSucceeded(kLogCount);
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

} // namespace

BENCHMARK(BM_ChannelUnitSendsToLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainCurlPostsTheSameBodies)->Unit(benchmark::kMillisecond)->UseRealTime();
