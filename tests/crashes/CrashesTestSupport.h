#pragma once
// The crashes service's tests: each gets a fresh home, a loopback ingestion server, short
// waits and a fresh telemetry component; helpers plant pending and stored reports and read
// what reached the server.

#include "TelemetryNetworkSupport.h"
#include "TestHome.h"

#include "telemetry/crashes/VUCrashes.h"

#include <QJsonObject>

class CrashesServiceTest : public ShortTimingsTest
{
protected:
    static inline const QString kSecret = QStringLiteral("3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953");

    void SetUp() override;
    void TearDown() override;

    // A fresh component and service (as at a new launch), not yet started.
    static void resetSingletons();
    // Starts the component with the crashes service, sending to the loopback server.
    std::shared_ptr<VUCrashes> startService();
    // Waits until the stored reports of this launch were processed.
    static bool waitForProcessing(const std::shared_ptr<VUCrashes> &crashes);

    // A report file as a crash leaves it, waiting for the next start.
    static void plantPendingReport(const QByteArray &bytes);
    static bool hasPendingReport();
    // A report already taken up into "crashes" under `name`.
    static QString storeReport(const QString &name, const QByteArray &bytes);
    static QStringList storedReportNames();
    static QString dataPath(const QString &component);

    // Logs of the given type the server received, in order.
    QList<QJsonObject> logsOfType(const QString &type) const;

    std::unique_ptr<TestHome> home;
    // The service of the last start, whose processing TearDown waits for.
    std::weak_ptr<VUCrashes> started;
};
