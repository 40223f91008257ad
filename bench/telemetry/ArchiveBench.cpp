// Archiving one stored log (a start-service log with its device, as the store keeps every
// log) through the direct writer, against the reference encoder that builds the archiver's
// object graph as property-list values first.

#include "TelemetryTestSupport.h"
#include "platform/KeyedArchiveReference.h"
#include "telemetry/core/VUStartServiceLog.h"

#include <benchmark/benchmark.h>

namespace {

std::shared_ptr<VUStartServiceLog> makeLog()
{
    auto log = std::make_shared<VUStartServiceLog>();
    log->timestamp = QDateTime::currentDateTimeUtc();
    log->device = makeDevice();
    log->sid = QStringLiteral("session-1");
    log->services = QStringList{"Crashes", "Analytics"};
    return log;
}

void BM_ArchiveLog(benchmark::State &state)
{
    const auto log = makeLog();
    for (auto _ : state)
        benchmark::DoNotOptimize(VUKeyedCoding::archive(*log));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArchiveLog);

void BM_ArchiveLogThroughTheObjectGraph(benchmark::State &state)
{
    const auto log = makeLog();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            KeyedArchiveReference::encode(VUKeyedCoding::toVariant(*log), nullptr, QStringLiteral("root")));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArchiveLogThroughTheObjectGraph);

// The writer alone, on the model's tree made once.
void BM_EncodeLogTree(benchmark::State &state)
{
    const QVariant tree = VUKeyedCoding::toVariant(*makeLog());
    for (auto _ : state)
        benchmark::DoNotOptimize(KeyedArchive::encode(tree));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeLogTree);

void BM_EncodeLogTreeThroughTheObjectGraph(benchmark::State &state)
{
    const QVariant tree = VUKeyedCoding::toVariant(*makeLog());
    for (auto _ : state)
        benchmark::DoNotOptimize(KeyedArchiveReference::encode(tree, nullptr, QStringLiteral("root")));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeLogTreeThroughTheObjectGraph);

} // namespace
