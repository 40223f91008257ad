#include "telemetry/core/VUAbstractLog.h"

#include "telemetry/core/VUDevice.h"
#include "telemetry/core/VUUtility.h"

using VUJson::str;

VUAbstractLog::VUAbstractLog(const VUAbstractLog &other)
    : VUModel(other), timestamp(other.timestamp), sid(other.sid), distributionGroupId(other.distributionGroupId),
      userId(other.userId), device(other.device), tag(other.tag), mType(other.mType),
      mTransmissionTargetTokens(other.transmissionTargetTokens())
{
}

VUJsonObject VUAbstractLog::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (const auto logType = type())
        json["type"] = str(*logType);
    if (timestamp)
        json["timestamp"] = str(VUUtility::dateToISO8601(*timestamp));
    if (sid)
        json["sid"] = str(*sid);
    if (distributionGroupId)
        json["distributionGroupId"] = str(*distributionGroupId);
    if (userId)
        json["userId"] = str(*userId);
    if (device)
        json["device"] = device->serializeToDictionary();
    return json;
}

bool VUAbstractLog::isValid() const
{
    return type() && timestamp && VUUtility::isWritableDate(*timestamp) && device && device->isValid();
}

bool VUAbstractLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUAbstractLog *>(other);
    return log && tag == log->tag && type() == log->type() && timestamp == log->timestamp && sid == log->sid &&
           distributionGroupId == log->distributionGroupId && userId == log->userId &&
           vuEqualObjects(device, log->device);
}

void VUAbstractLog::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeString(QStringLiteral("type"), type());
    coder.encodeDate(QStringLiteral("timestamp"), timestamp);
    coder.encodeString(QStringLiteral("sid"), sid);
    coder.encodeString(QStringLiteral("distributionGroupId"), distributionGroupId);
    coder.encodeString(QStringLiteral("userId"), userId);
    coder.encodeObject(QStringLiteral("device"), device.get());
}

bool VUAbstractLog::initWithCoder(const VUCoder &coder)
{
    mType = coder.decodeString(QStringLiteral("type"));
    timestamp = coder.decodeDate(QStringLiteral("timestamp"));
    sid = coder.decodeString(QStringLiteral("sid"));
    distributionGroupId = coder.decodeString(QStringLiteral("distributionGroupId"));
    userId = coder.decodeString(QStringLiteral("userId"));
    device = coder.decodeObject<VUDevice>(QStringLiteral("device"));
    return !coder.failed();
}

std::optional<QString> VUAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const
{
    const VUJsonObject json = serializeToDictionary();
    if (json.is_null())
        return std::nullopt;
    // The writer never escapes "/", so paths travel with plain slashes.
    return VUJson::dump(json, prettyPrint);
}

std::optional<QSet<QString>> VUAbstractLog::transmissionTargetTokens() const
{
    std::lock_guard guard(mTokensLock);
    return mTransmissionTargetTokens;
}

void VUAbstractLog::setTransmissionTargetTokens(const std::optional<QSet<QString>> &tokens)
{
    std::lock_guard guard(mTokensLock);
    mTransmissionTargetTokens = tokens;
}

void VUAbstractLog::addTransmissionTargetToken(const QString &token)
{
    std::lock_guard guard(mTokensLock);
    if (!mTransmissionTargetTokens)
        mTransmissionTargetTokens = QSet<QString>();
    mTransmissionTargetTokens->insert(token);
}
