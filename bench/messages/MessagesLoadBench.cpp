// Loading archived messages into the messages list: the archive read, conversations, order,
// bubble parts and the table model's rows, end to end through the controller, against a plain
// prepared read of the same rows into structs. 100,000 messages in 2,000 conversations should
// stay within 8 times the plain read, and 100,000 within 12 times 10,000 (nothing quadratic).

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"
#include "messages/SMSDataController.h"
#include "platform/UserDefaults.h"
#include "shell/RecordTableModel.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace {

const QString kKey = QStringLiteral("uid-bench");

struct Archive
{
    QTemporaryDir folder;
    AppController controller;
    explicit Archive(int messages)
    {
        setArchiveLocation(folder.path());
        {
            std::lock_guard lock(controller.mDeviceValuesLock);
            controller.mDeviceNumber = kKey;
            controller.mDeviceName = QStringLiteral("Bench");
        }
        int error = 0;
        const ArchiveDBPtr db = controller.getBackupDB(QString(), &error);
        const int conversations = std::max(1, messages / 50);
        const QByteArray sql =
            QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                           "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, sendername, "
                           "recipientnames) SELECT i, 1400000000 + i, '+1555' || printf('%07d', i % %2), "
                           "'Message number ' || i || ' with a few words of text', i % 2, "
                           "'<p>Message number ' || i || '</p>', '', '', '', '' FROM n")
                .arg(messages)
                .arg(conversations)
                .toUtf8();
        ArchiveSql::exec(db->handle(), "BEGIN");
        ArchiveSql::exec(db->handle(), sql.constData());
        ArchiveSql::exec(db->handle(), "COMMIT");
    }
};

void BM_LoadIntoTheList(benchmark::State &state)
{
    const int messages = int(state.range(0));
    Archive archive(messages);
    for (auto _ : state) {
        SMSDataController controller(&archive.controller);
        controller.loadBackup(kKey);
        while (controller.isLoading() || controller.isFinding())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (controller.tableModel()->rowCount() != messages)
            state.SkipWithError("not every message became a row");
    }
    state.SetItemsProcessed(state.iterations() * messages);
}

struct Row
{
    qint64 rowid, id, date;
    QString address, text, html;
    int flags;
};

void BM_PlainPreparedRead(benchmark::State &state)
{
    const int messages = int(state.range(0));
    Archive archive(messages);
    int error = 0;
    const ArchiveDBPtr db = archive.controller.getBackupDB(kKey, &error);
    for (auto _ : state) {
        std::vector<Row> read;
        read.reserve(messages);
        SqlStatement select(db->handle(), "SELECT ROWID, id, date, address, text, flags, html FROM message");
        while (select.step() == SQLITE_ROW)
            read.push_back({sqlite3_column_int64(select.get(), 0), sqlite3_column_int64(select.get(), 1),
                            sqlite3_column_int64(select.get(), 2), ArchiveSql::text(select.get(), 3),
                            ArchiveSql::text(select.get(), 4), ArchiveSql::text(select.get(), 6),
                            sqlite3_column_int(select.get(), 5)});
        if (read.size() != size_t(messages))
            state.SkipWithError("not every message was read");
        benchmark::DoNotOptimize(read);
    }
    state.SetItemsProcessed(state.iterations() * messages);
}

BENCHMARK(BM_LoadIntoTheList)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainPreparedRead)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_SMS"));
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_WA"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
