#include "telemetry/crashes/VUErrorReport.h"

VUErrorReport::VUErrorReport(std::optional<QString> errorId, std::optional<QString> reporterKey,
                             std::optional<QString> signal, std::optional<QString> exceptionName,
                             std::optional<QString> exceptionReason, std::optional<QDateTime> appStartTime,
                             std::optional<QDateTime> appErrorTime, std::shared_ptr<VUDevice> device,
                             quint64 appProcessIdentifier)
    : mIncidentIdentifier(std::move(errorId)), mReporterKey(std::move(reporterKey)), mSignal(std::move(signal)),
      mExceptionName(std::move(exceptionName)), mExceptionReason(std::move(exceptionReason)),
      mAppStartTime(std::move(appStartTime)), mAppErrorTime(std::move(appErrorTime)), mDevice(std::move(device)),
      mAppProcessIdentifier(appProcessIdentifier)
{
}

bool VUErrorReport::isAppKill() const
{
    return mSignal && mSignal->toUpper() == QLatin1String("SIGKILL");
}

QString VUErrorReport::debugDescription() const
{
    return QStringLiteral("VUErrorReport(incidentIdentifier: %1, signal: %2, exceptionName: %3, processId: %4)")
        .arg(mIncidentIdentifier.value_or(QStringLiteral("(null)")), mSignal.value_or(QStringLiteral("(null)")),
             mExceptionName.value_or(QStringLiteral("(null)")))
        .arg(mAppProcessIdentifier);
}
