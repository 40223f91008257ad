#pragma once
// The summary of one crash of an earlier run that the crash delegate and the confirmation
// handler see: incident identifier (the crash log's error id), install id, signal,
// exception, start and crash time, device and process id. A plain value built from a crash
// log; only the signal can change afterwards. Never archived or sent.

#include "telemetry/core/VUDevice.h"

#include <QDateTime>

#include <memory>
#include <optional>

class VUErrorReport
{
public:
    VUErrorReport(std::optional<QString> errorId, std::optional<QString> reporterKey, std::optional<QString> signal,
                  std::optional<QString> exceptionName, std::optional<QString> exceptionReason,
                  std::optional<QDateTime> appStartTime, std::optional<QDateTime> appErrorTime,
                  std::shared_ptr<VUDevice> device, quint64 appProcessIdentifier);

    const std::optional<QString> &incidentIdentifier() const { return mIncidentIdentifier; }
    const std::optional<QString> &reporterKey() const { return mReporterKey; }
    const std::optional<QString> &signal() const { return mSignal; }
    void setSignal(const std::optional<QString> &signal) { mSignal = signal; }
    const std::optional<QString> &exceptionName() const { return mExceptionName; }
    const std::optional<QString> &exceptionReason() const { return mExceptionReason; }
    const std::optional<QDateTime> &appStartTime() const { return mAppStartTime; }
    const std::optional<QDateTime> &appErrorTime() const { return mAppErrorTime; }
    const std::shared_ptr<VUDevice> &device() const { return mDevice; }
    quint64 appProcessIdentifier() const { return mAppProcessIdentifier; }

    // Killed by the system: the signal is SIGKILL in any letter case.
    bool isAppKill() const;
    QString debugDescription() const;

private:
    std::optional<QString> mIncidentIdentifier;
    std::optional<QString> mReporterKey;
    std::optional<QString> mSignal;
    std::optional<QString> mExceptionName;
    std::optional<QString> mExceptionReason;
    std::optional<QDateTime> mAppStartTime;
    std::optional<QDateTime> mAppErrorTime;
    std::shared_ptr<VUDevice> mDevice;
    quint64 mAppProcessIdentifier = 0;
};
