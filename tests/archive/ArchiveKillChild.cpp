// The writer the kill test kills: archives messages with one attachment file each, in
// transactions of `batch` messages, into the archive folder given, and reports on standard
// output "writing N" half-way through transaction N and "committed N" after it. It never
// stops by itself.
//
// Usage: archive_kill_child <archive folder> <batch>

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"
#include "messages/FRSMSInfo.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    setArchiveLocation(QString::fromLocal8Bit(argv[1]));
    const int batch = QByteArray(argv[2]).toInt();
    AppController controller;
    {
        std::lock_guard lock(controller.mDeviceValuesLock);
        controller.mDeviceNumber = QStringLiteral("uid-kill");
        controller.mDeviceName = QStringLiteral("Kill Phone");
    }
    for (int transaction = 0;; ++transaction) {
        std::lock_guard local(localLock);
        int error = 0;
        const ArchiveDBPtr db = controller.getBackupDB(QString(), &error);
        if (!db || ArchiveSql::exec(db->handle(), "BEGIN") != SQLITE_OK)
            return 1;
        for (int i = 0; i < batch; ++i) {
            const QString name = QStringLiteral("piece-%1-%2.bin").arg(transaction).arg(i);
            const QString staged = getTempDir() + name;
            QFile file(staged);
            if (!file.open(QIODevice::WriteOnly))
                return 1;
            file.write(QByteArray(2048, char('a' + i % 26)) + name.toUtf8());
            file.close();
            const QString text = QStringLiteral("message %1 of %2").arg(i).arg(transaction);
            const QVariantMap info = {{SMSKey::Date, QDateTime::fromSecsSinceEpoch(1400000000 + transaction * batch + i)},
                                      {SMSKey::Text, text},
                                      {SMSKey::HTML, text},
                                      {SMSKey::Address, QStringLiteral("+15550100")},
                                      {SMSKey::Flags, 1}};
            const FRSMSInfoPtr sms = FRSMSInfo::infoWithInfo(info, nullptr);
            sms->setFiles({{name, staged}});
            if (controller.checkForItem(text, 1400000000 + transaction * batch + i, {}, QStringLiteral("message"),
                                        QString(), &error)
                || !controller.addSMSToBackup(*sms, QString(), false, &error, nullptr, true))
                return 1;
            QFile::remove(staged);
            if (i == batch / 2) {
                std::printf("writing %d\n", transaction);
                std::fflush(stdout);
            }
        }
        if (ArchiveSql::exec(db->handle(), "COMMIT") != SQLITE_OK)
            return 1;
        std::printf("committed %d\n", transaction);
        std::fflush(stdout);
    }
}
