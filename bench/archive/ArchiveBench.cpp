// Archiving 100,000 messages in one transaction and reading them back, against a plain
// prepared-statement copy of the same rows into the same schema and a plain read of them.
// The archive's own path (duplicate check, record accessors, kept statements, records made
// on reading) should stay within twice the plain copy.

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"
#include "messages/FRSMSInfo.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <vector>

namespace {

constexpr int kMessages = 100000;

std::vector<QVariantMap> makeRows()
{
    std::vector<QVariantMap> rows;
    rows.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i) {
        const QString text = QStringLiteral("Message number %1 with a few words of text").arg(i);
        rows.push_back({{SMSKey::Date, QDateTime::fromSecsSinceEpoch(1400000000 + i)},
                        {SMSKey::Text, text},
                        {SMSKey::HTML, QStringLiteral("<p>%1</p>").arg(text)},
                        {SMSKey::Address, QStringLiteral("+1555%1").arg(i % 50, 7, 10, QLatin1Char('0'))},
                        {SMSKey::Flags, i % 2},
                        {SMSKey::RemoteID, qint64(i + 1)}});
    }
    return rows;
}

const std::vector<QVariantMap> &rows()
{
    static const std::vector<QVariantMap> made = makeRows();
    return made;
}

// A fresh archive folder and a controller that believes a device is connected.
struct Archive
{
    QTemporaryDir folder;
    AppController controller;
    Archive()
    {
        setArchiveLocation(folder.path());
        std::lock_guard lock(controller.mDeviceValuesLock);
        controller.mDeviceNumber = QStringLiteral("uid-bench");
        controller.mDeviceName = QStringLiteral("Bench");
    }
};

void BM_ArchiveAndReadBack(benchmark::State &state)
{
    const auto &source = rows();
    for (auto _ : state) {
        state.PauseTiming();
        Archive archive;
        int error = 0;
        const ArchiveDBPtr db = archive.controller.getBackupDB(QString(), &error);
        std::vector<FRSMSInfoPtr> records;
        records.reserve(source.size());
        for (const QVariantMap &row : source)
            records.push_back(FRSMSInfo::infoWithInfo(row, nullptr));
        state.ResumeTiming();

        {
            std::lock_guard local(localLock);
            ArchiveSql::exec(db->handle(), "BEGIN");
            for (const FRSMSInfoPtr &sms : records) {
                if (!archive.controller.checkForItem(sms->SMSFullHTML(), sms->SMSNSDate().toSecsSinceEpoch(), {},
                                                     QStringLiteral("message"), QString(), &error))
                    archive.controller.addSMSToBackup(*sms, QString(), false, &error, nullptr, true);
            }
            ArchiveSql::exec(db->handle(), "COMMIT");
        }
        const auto read = archive.controller.getSMSFromBackupFile(QString(), QString(), nullptr, &error);
        if (!read || read->size() != kMessages)
            state.SkipWithError("not every message was read back");
        benchmark::DoNotOptimize(read);
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_PlainPreparedCopy(benchmark::State &state)
{
    const auto &source = rows();
    for (auto _ : state) {
        state.PauseTiming();
        Archive archive;
        int error = 0;
        const ArchiveDBPtr db = archive.controller.getBackupDB(QString(), &error);
        sqlite3 *handle = db->handle();
        state.ResumeTiming();

        ArchiveSql::exec(handle, "BEGIN");
        {
            SqlStatement insert(handle, "INSERT INTO message (id, date, address, text, flags, html) "
                                        "VALUES (?, ?, ?, ?, ?, ?)");
            for (const QVariantMap &row : source) {
                insert.bind(1, row.value(SMSKey::RemoteID).toLongLong());
                insert.bind(2, row.value(SMSKey::Date).toDateTime().toSecsSinceEpoch());
                insert.bind(3, row.value(SMSKey::Address).toString());
                insert.bind(4, row.value(SMSKey::Text).toString());
                insert.bindInt(5, row.value(SMSKey::Flags).toInt());
                insert.bind(6, row.value(SMSKey::HTML).toString());
                insert.step();
                insert.reset();
            }
        }
        ArchiveSql::exec(handle, "COMMIT");
        std::vector<QVariantMap> read;
        read.reserve(source.size());
        SqlStatement select(handle, "SELECT ROWID, id, date, address, text, flags, html FROM message ORDER BY date DESC");
        while (select.step() == SQLITE_ROW) {
            read.push_back({{SMSKey::SMSID, sqlite3_column_int64(select.get(), 0)},
                            {SMSKey::RemoteID, sqlite3_column_int64(select.get(), 1)},
                            {SMSKey::Date, QDateTime::fromSecsSinceEpoch(sqlite3_column_int64(select.get(), 2))},
                            {SMSKey::Address, ArchiveSql::text(select.get(), 3)},
                            {SMSKey::Text, ArchiveSql::text(select.get(), 4)},
                            {SMSKey::Flags, sqlite3_column_int(select.get(), 5)},
                            {SMSKey::HTML, ArchiveSql::text(select.get(), 6)}});
        }
        if (read.size() != size_t(kMessages))
            state.SkipWithError("not every message was read back");
        benchmark::DoNotOptimize(read);
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

BENCHMARK(BM_ArchiveAndReadBack)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainPreparedCopy)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_SMS"));
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_WA"));
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_FB1"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
