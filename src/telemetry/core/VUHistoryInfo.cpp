#include "telemetry/core/VUHistoryInfo.h"

#include "telemetry/core/VUDevice.h"

void VUHistoryInfo::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeDate(QStringLiteral("timestampKey"), timestamp);
}

bool VUHistoryInfo::initWithCoder(const VUCoder &coder)
{
    timestamp = coder.decodeDate(QStringLiteral("timestampKey"));
    return !coder.failed();
}

void VUSessionHistoryInfo::encodeWithCoder(VUCoder &coder) const
{
    VUHistoryInfo::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("sessionIdKey"), sessionId);
}

bool VUSessionHistoryInfo::initWithCoder(const VUCoder &coder)
{
    VUHistoryInfo::initWithCoder(coder);
    sessionId = coder.decodeString(QStringLiteral("sessionIdKey"));
    return !coder.failed();
}

void VUDeviceHistoryInfo::encodeWithCoder(VUCoder &coder) const
{
    VUHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(QStringLiteral("deviceKey"), device.get());
}

bool VUDeviceHistoryInfo::initWithCoder(const VUCoder &coder)
{
    VUHistoryInfo::initWithCoder(coder);
    device = coder.decodeObject<VUDevice>(QStringLiteral("deviceKey"));
    return !coder.failed();
}

void VUUserIdHistoryInfo::encodeWithCoder(VUCoder &coder) const
{
    VUHistoryInfo::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("userIdKey"), userId);
}

bool VUUserIdHistoryInfo::initWithCoder(const VUCoder &coder)
{
    VUHistoryInfo::initWithCoder(coder);
    userId = coder.decodeString(QStringLiteral("userIdKey"));
    return !coder.failed();
}
