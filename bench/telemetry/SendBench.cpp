// 10,000 logs enqueued on a channel unit, stored, batched by 50, gzip-compressed and posted
// to a loopback server, against posting the same 200 bodies with plain libcurl in a loop.
// Each run works in a throw-away HOME; the server answers every request with 200.

#include "LoopbackHttpServer.h"
#include "TelemetryTestSupport.h"
#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VUCompression.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VU_Reachability.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

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

class ScratchHome
{
public:
    ScratchHome() : mPrevious(qgetenv("HOME")) { qputenv("HOME", mDir.path().toUtf8()); }
    ~ScratchHome() { qputenv("HOME", mPrevious); }

private:
    QTemporaryDir mDir;
    QByteArray mPrevious;
};

bool waitFor(const std::function<bool()> &done, int timeoutMs = 900000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QThread::usleep(200);
    }
    return true;
}

int loggedCount(const LoopbackHttpServer &server)
{
    // Each request carries one batch; the last may be short.
    return server.requestCount();
}

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
        QList<std::shared_ptr<VUStartServiceLog>> logs;
        for (int i = 0; i < kLogCount; ++i)
            logs.append(makeLog(i));
        state.ResumeTiming();

        for (const auto &log : logs)
            unit->enqueueItem(log, 1);
        if (!waitFor([&] { return loggedCount(server) >= kLogCount / kBatchSize
                                  && group->storage()->countLogsWithGroupId("Bench") == 0; })) {
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
