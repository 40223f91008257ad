#pragma once
// Builders shared by the telemetry tests: a valid device description, logs of each class,
// and a recording log handler.

#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VUCustomPropertiesLog.h"
#include "telemetry/core/VUDevice.h"
#include "telemetry/core/VULogWithProperties.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUStartServiceLog.h"

#include <QStringList>

#include <mutex>

std::shared_ptr<VUDevice> makeDevice();
// 2019-03-05 14:07:09.500 UTC plus `seconds`.
QDateTime sampleDate(int seconds = 0);
std::shared_ptr<VUStartServiceLog> makeStartServiceLog(const QStringList &services = {"Crashes", "Analytics"});
std::shared_ptr<VUCustomPropertiesLog> makeCustomPropertiesLog();
std::shared_ptr<VULogWithProperties> makeLogWithProperties();
std::shared_ptr<VUCommonSchemaLog> makeCommonSchemaLog(const QString &token);

// Collects the lines the logger would print while it is alive; restores the defaults after.
class RecordingLogHandler
{
public:
    explicit RecordingLogHandler(unsigned level = VULogLevelVerbose);
    ~RecordingLogHandler();
    QStringList lines() const;
    bool contains(const QString &text) const;

private:
    mutable std::mutex mLock;
    QStringList mLines;
};
