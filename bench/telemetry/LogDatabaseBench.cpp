// Storing 10,000 logs in "Logs.sqlite" and loading them in batches of 50, against plain
// prepared-statement inserts of the same rows into the same table with the same settings.
// Each run works in a throw-away HOME. Also one stored log decoded from its archive, the way
// every archive was read before against the direct reader.

#include "TelemetryTestSupport.h"
#include "platform/KeyedArchiveDetail.h"
#include "telemetry/core/VUCustomPropertiesLog.h"
#include "telemetry/core/VUDevice.h"
#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VUUtility.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

namespace {

constexpr int kLogCount = 10000;
constexpr int kBatchSize = 50;
// Room for every log, so no run measures eviction.
constexpr qint64 kStorageSize = 256LL * 1024 * 1024;

std::shared_ptr<VUStartServiceLog> makeLog(int i)
{
    auto log = std::make_shared<VUStartServiceLog>();
    log->timestamp = QDateTime::currentDateTimeUtc();
    log->device = makeDevice();
    log->sid = QStringLiteral("session-%1").arg(i);
    log->services = QStringList{"Crashes", "Analytics"};
    return log;
}

// Where the database lies: on disk (the build folder), where syncing dominates, or on tmpfs
// (/dev/shm), where the store's own work shows.
enum Place { kDisk = 0, kTmpfs = 1 };

QString parentFolder(int place)
{
    return place == kTmpfs ? QStringLiteral("/dev/shm") : QStringLiteral(QUILLON_BINARY_DIR);
}

// A fresh home for each measured run, in the given place. The data folder is set too: the
// benchmarks' entry point fixes one for the whole process, where every run would share one
// store.
class ScratchHome
{
public:
    explicit ScratchHome(int place)
        : mDir(parentFolder(place) + QStringLiteral("/quillon-bench-XXXXXX")), mPreviousHome(qgetenv("HOME")),
          mPreviousData(qgetenv("XDG_DATA_HOME"))
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

QList<std::shared_ptr<VUAbstractLog>> &logs()
{
    static QList<std::shared_ptr<VUAbstractLog>> list = [] {
        QList<std::shared_ptr<VUAbstractLog>> made;
        for (int i = 0; i < kLogCount; ++i)
            made.append(makeLog(i));
        return made;
    }();
    return list;
}

void BM_StoreSaveOnly(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        ScratchHome home(int(state.range(0)));
        VULogDBStorage store;
        store.setMaxStorageSize(kStorageSize, {});
        state.ResumeTiming();
        for (const auto &log : logs())
            benchmark::DoNotOptimize(store.saveLog(log, "Analytics", 1));
    }
    state.counters["logs/s"] = benchmark::Counter(double(kLogCount) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_StoreSaveAndLoadBatches(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        ScratchHome home(int(state.range(0)));
        VULogDBStorage store;
        store.setMaxStorageSize(kStorageSize, {});
        state.ResumeTiming();
        for (const auto &log : logs())
            store.saveLog(log, "Analytics", 1);
        int loaded = 0;
        bool more = true;
        while (more) {
            std::optional<QString> batch;
            more = store.loadLogsWithGroupId("Analytics", kBatchSize, {}, [&](const auto &batchLogs, const auto &id) {
                loaded += int(batchLogs.size());
                batch = id;
            });
            if (!batch)
                break;
            store.deleteLogsWithBatchId(*batch, "Analytics");
        }
        if (loaded != kLogCount) {
            state.SkipWithError("not every log came back");
            break;
        }
    }
    state.counters["logs/s"] = benchmark::Counter(double(kLogCount) * state.iterations(), benchmark::Counter::kIsRate);
}

// The baseline: one connection, one prepared statement, one insert per log (each its own
// transaction, as each save is), into the table the store made, with its size limit.
void BM_PlainPreparedInserts(benchmark::State &state)
{
    QStringList rows;
    for (const auto &log : logs())
        rows.append(QString::fromLatin1(VUKeyedCoding::archive(*log).toBase64()));
    for (auto _ : state) {
        state.PauseTiming();
        ScratchHome home(int(state.range(0)));
        qint64 maxPages = 0;
        {
            VULogDBStorage store;
            store.setMaxStorageSize(kStorageSize, {});
            maxPages = store.maxSizeInBytes() / store.pageSize();
        }
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(*VUUtility::fullURLForPathComponent("Logs.sqlite")).constData(), &db);
        sqlite3_exec(db, QStringLiteral("PRAGMA max_page_count = %1;").arg(maxPages).toUtf8().constData(), nullptr,
                     nullptr, nullptr);
        sqlite3_stmt *insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO \"logs\" (\"groupId\", \"log\", \"targetToken\", \"targetKey\", \"priority\") "
                               "VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
        state.ResumeTiming();
        for (const QString &row : rows) {
            const QByteArray text = row.toLatin1();
            sqlite3_bind_text(insert, 1, "Analytics", -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 2, text.constData(), int(text.size()), SQLITE_TRANSIENT);
            sqlite3_bind_null(insert, 3);
            sqlite3_bind_null(insert, 4);
            sqlite3_bind_int64(insert, 5, 1);
            if (sqlite3_step(insert) != SQLITE_DONE) {
                state.SkipWithError("insert failed");
                break;
            }
            sqlite3_reset(insert);
        }
        state.PauseTiming();
        sqlite3_finalize(insert);
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.counters["logs/s"] = benchmark::Counter(double(kLogCount) * state.iterations(), benchmark::Counter::kIsRate);
}

// A log with many properties, archived (as saveLog does) and read back (as a load does):
// the time should grow linearly with the number of properties.
void BM_ArchiveLargeLog(benchmark::State &state)
{
    auto log = std::make_shared<VUCustomPropertiesLog>();
    log->timestamp = QDateTime::currentDateTimeUtc();
    log->device = makeDevice();
    QVariantMap properties;
    for (int i = 0; i < state.range(0); ++i)
        properties.insert(QStringLiteral("property %1").arg(i), QStringLiteral("value %1").arg(i));
    log->properties = properties;
    for (auto _ : state) {
        const QByteArray archive = VUKeyedCoding::archive(*log);
        const auto back = VUKeyedCoding::unarchiveAs<VUCustomPropertiesLog>(archive);
        if (!back || back->properties->size() != properties.size()) {
            state.SkipWithError("the log did not come back");
            break;
        }
    }
    state.counters["properties/s"] =
        benchmark::Counter(double(state.range(0)) * state.iterations(), benchmark::Counter::kIsRate);
}

// One stored log read back as a send does, through the whole property-list tree (argument 0,
// the way every archive was read before) or straight from its bytes (argument 1).
void BM_UnarchiveLog(benchmark::State &state)
{
    const QByteArray archive = VUKeyedCoding::archive(*makeLog(1));
    const bool direct = state.range(0) == 1;
    for (auto _ : state) {
        std::shared_ptr<VUModel> log;
        if (direct) {
            log = VUKeyedCoding::unarchive(archive);
        } else if (const auto root = KeyedArchiveDetail::decodeThroughTree(archive, nullptr, QStringLiteral("root"))) {
            log = VUKeyedCoding::fromVariant(*root);
        }
        if (!log) {
            state.SkipWithError("the log did not come back");
            break;
        }
        benchmark::DoNotOptimize(log);
    }
    state.counters["bytes"] = double(archive.size());
}

} // namespace

BENCHMARK(BM_UnarchiveLog)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ArchiveLargeLog)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
// Argument 0: on disk; 1: on tmpfs.
BENCHMARK(BM_StoreSaveOnly)->Arg(kDisk)->Arg(kTmpfs)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_StoreSaveAndLoadBatches)->Arg(kDisk)->Arg(kTmpfs)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PlainPreparedInserts)->Arg(kDisk)->Arg(kTmpfs)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
