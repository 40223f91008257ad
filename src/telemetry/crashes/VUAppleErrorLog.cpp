#include "telemetry/crashes/VUAppleErrorLog.h"

#include "telemetry/crashes/VUCrashesCoding.h"

using VUJson::str;

QStringList VUAppleErrorLog::superclasses() const
{
    return QStringList{QStringLiteral("VUAbstractErrorLog")} + VUAbstractErrorLog::superclasses();
}

VUJsonObject VUAppleErrorLog::serializeToDictionary() const
{
    VUJsonObject json = VUAbstractErrorLog::serializeToDictionary();
    if (primaryArchitectureId)
        json["primaryArchitectureId"] = *primaryArchitectureId;
    if (architectureVariantId)
        json["architectureVariantId"] = *architectureVariantId;
    const std::pair<const char *, const std::optional<QString> *> texts[] = {
        {"applicationPath", &applicationPath},   {"osExceptionType", &osExceptionType},
        {"osExceptionCode", &osExceptionCode},   {"osExceptionAddress", &osExceptionAddress},
        {"exceptionType", &exceptionType},       {"exceptionReason", &exceptionReason},
        {"selectorRegisterValue", &selectorRegisterValue},
    };
    for (const auto &[key, value] : texts)
        if (*value)
            json[key] = str(**value);
    if (threads)
        json["threads"] = VUCrashesCoding::jsonList(*threads);
    if (binaries)
        json["binaries"] = VUCrashesCoding::jsonList(*binaries);
    if (registers) {
        VUJsonObject object = VUJsonObject::object();
        for (auto it = registers->cbegin(); it != registers->cend(); ++it)
            object[str(it.key())] = str(it.value());
        json["registers"] = std::move(object);
    }
    if (exception)
        json["exception"] = exception->serializeToDictionary();
    return json;
}

bool VUAppleErrorLog::isValid() const
{
    return VUAbstractErrorLog::isValid() && primaryArchitectureId && applicationPath && osExceptionType &&
           osExceptionCode && osExceptionAddress;
}

bool VUAppleErrorLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUAppleErrorLog *>(other);
    return log && VUAbstractErrorLog::isEqual(other) && primaryArchitectureId == log->primaryArchitectureId &&
           architectureVariantId == log->architectureVariantId && applicationPath == log->applicationPath &&
           osExceptionType == log->osExceptionType && osExceptionCode == log->osExceptionCode &&
           osExceptionAddress == log->osExceptionAddress && exceptionType == log->exceptionType &&
           exceptionReason == log->exceptionReason && selectorRegisterValue == log->selectorRegisterValue &&
           VUCrashesCoding::equalLists(threads, log->threads) && VUCrashesCoding::equalLists(binaries, log->binaries) &&
           registers == log->registers && vuEqualObjects(exception, log->exception);
}

void VUAppleErrorLog::encodeWithCoder(VUCoder &coder) const
{
    VUAbstractErrorLog::encodeWithCoder(coder);
    VUCrashesCoding::encodeUnsigned(coder, QStringLiteral("primaryArchitectureId"), primaryArchitectureId);
    VUCrashesCoding::encodeUnsigned(coder, QStringLiteral("architectureVariantId"), architectureVariantId);
    coder.encodeString(QStringLiteral("applicationPath"), applicationPath);
    coder.encodeString(QStringLiteral("osExceptionType"), osExceptionType);
    coder.encodeString(QStringLiteral("osExceptionCode"), osExceptionCode);
    coder.encodeString(QStringLiteral("osExceptionAddress"), osExceptionAddress);
    coder.encodeString(QStringLiteral("exceptionType"), exceptionType);
    coder.encodeString(QStringLiteral("exceptionReason"), exceptionReason);
    coder.encodeString(QStringLiteral("selectorRegisterValue"), selectorRegisterValue);
    VUCrashesCoding::encodeList(coder, QStringLiteral("threads"), threads);
    VUCrashesCoding::encodeList(coder, QStringLiteral("binaries"), binaries);
    if (registers) {
        QVariantMap map;
        for (auto it = registers->cbegin(); it != registers->cend(); ++it)
            map.insert(it.key(), it.value());
        coder.encodeValue(QStringLiteral("registers"), map);
    }
    coder.encodeObject(QStringLiteral("exception"), exception.get());
}

bool VUAppleErrorLog::initWithCoder(const VUCoder &coder)
{
    VUAbstractErrorLog::initWithCoder(coder);
    primaryArchitectureId = VUCrashesCoding::decodeUnsigned(coder, QStringLiteral("primaryArchitectureId"));
    architectureVariantId = VUCrashesCoding::decodeUnsigned(coder, QStringLiteral("architectureVariantId"));
    applicationPath = coder.decodeString(QStringLiteral("applicationPath"));
    osExceptionType = coder.decodeString(QStringLiteral("osExceptionType"));
    osExceptionCode = coder.decodeString(QStringLiteral("osExceptionCode"));
    osExceptionAddress = coder.decodeString(QStringLiteral("osExceptionAddress"));
    exceptionType = coder.decodeString(QStringLiteral("exceptionType"));
    exceptionReason = coder.decodeString(QStringLiteral("exceptionReason"));
    selectorRegisterValue = coder.decodeString(QStringLiteral("selectorRegisterValue"));
    threads = VUCrashesCoding::decodeList<VUThread>(coder, QStringLiteral("threads"));
    binaries = VUCrashesCoding::decodeList<VUBinary>(coder, QStringLiteral("binaries"));
    registers.reset();
    const QVariant value = coder.decodeValue(QStringLiteral("registers"));
    if (value.isValid()) {
        if (value.metaType().id() != QMetaType::QVariantMap) {
            coder.fail();
        } else {
            QMap<QString, QString> map;
            const QVariantMap raw = value.toMap();
            for (auto it = raw.cbegin(); it != raw.cend(); ++it) {
                if (it.value().metaType().id() != QMetaType::QString)
                    coder.fail();
                map.insert(it.key(), it.value().toString());
            }
            registers = map;
        }
    }
    exception = coder.decodeObject<VUException>(QStringLiteral("exception"));
    return !coder.failed();
}
