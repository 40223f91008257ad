#include "TelemetryTestSupport.h"

std::shared_ptr<VUDevice> makeDevice()
{
    auto device = std::make_shared<VUDevice>();
    device->sdkName = "vovudezir.macos";
    device->sdkVersion = "1.14.0";
    device->model = "ThinkPad X1";
    device->oemName = "LENOVO";
    device->osName = "Debian GNU/Linux";
    device->osVersion = "12.0.0";
    device->osBuild = "6.1.0-18-amd64";
    device->locale = "en_US";
    device->timeZoneOffset = 60;
    device->screenSize = "1800x2880";
    device->appVersion = "0.1.0";
    device->appBuild = "010";
    device->appNamespace = "org.quillon.Quillon";
    return device;
}

QDateTime sampleDate(int seconds)
{
    return QDateTime(QDate(2019, 3, 5), QTime(14, 7, 9, 500), Qt::UTC).addSecs(seconds);
}

std::shared_ptr<VUStartServiceLog> makeStartServiceLog(const QStringList &services)
{
    auto log = std::make_shared<VUStartServiceLog>();
    log->timestamp = sampleDate();
    log->device = makeDevice();
    log->sid = "6E0A5F4C-1B4B-4C8D-9F0E-2D7B1C3A4E5F";
    log->services = services;
    return log;
}

std::shared_ptr<VUCustomPropertiesLog> makeCustomPropertiesLog()
{
    auto log = std::make_shared<VUCustomPropertiesLog>();
    log->timestamp = sampleDate();
    log->device = makeDevice();
    log->properties = QVariantMap{{"color", "blue"}, {"count", qint64(3)}, {"on", true},
                                  {"since", sampleDate(60)}, {"gone", QVariant::fromValue(nullptr)}};
    return log;
}

std::shared_ptr<VULogWithProperties> makeLogWithProperties()
{
    auto log = std::make_shared<VULogWithProperties>();
    log->setType(QStringLiteral("event"));
    log->timestamp = sampleDate();
    log->device = makeDevice();
    log->userId = "alice";
    log->properties = QMap<QString, QString>{{"path", "a/b"}, {"name", "Zoë"}};
    return log;
}

std::shared_ptr<VUCommonSchemaLog> makeCommonSchemaLog(const QString &token)
{
    auto source = makeLogWithProperties();
    source->addTransmissionTargetToken(token);
    auto log = source->toCommonSchemaLogForTargetToken(token, 1);
    log->name = "viewed";
    log->data = std::make_shared<VUCSData>();
    log->data->properties = QVariantMap{{"screen", "Messages"}};
    return log;
}

RecordingLogHandler::RecordingLogHandler(unsigned level)
{
    VULogger::setCurrentLogLevel(level);
    VULogger::setLogHandler([this](const VULogMessageProvider &message, unsigned lvl, const QString &tag,
                                   const char *, const char *function, unsigned line) {
        if (auto text = VULogger::formatLine(message, lvl, tag, function, line)) {
            std::lock_guard guard(mLock);
            mLines.append(*text);
        }
    });
}

RecordingLogHandler::~RecordingLogHandler()
{
    VULogger::resetToDefaults();
}

QStringList RecordingLogHandler::lines() const
{
    std::lock_guard guard(mLock);
    return mLines;
}

bool RecordingLogHandler::contains(const QString &text) const
{
    for (const QString &line : lines())
        if (line.contains(text))
            return true;
    return false;
}
