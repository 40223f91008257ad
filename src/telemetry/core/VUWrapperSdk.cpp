#include "telemetry/core/VUWrapperSdk.h"

VUWrapperSdk::VUWrapperSdk(std::optional<QString> sdkVersion, std::optional<QString> sdkName,
                           std::optional<QString> runtimeVersion, std::optional<QString> releaseLabel,
                           std::optional<QString> deploymentKey, std::optional<QString> packageHash)
    : wrapperSdkVersion(std::move(sdkVersion)), wrapperSdkName(std::move(sdkName)),
      wrapperRuntimeVersion(std::move(runtimeVersion)), liveUpdateReleaseLabel(std::move(releaseLabel)),
      liveUpdateDeploymentKey(std::move(deploymentKey)), liveUpdatePackageHash(std::move(packageHash))
{
}

const QList<QPair<QString, VUWrapperSdk::StringField>> &VUWrapperSdk::wrapperFields()
{
    static const QList<QPair<QString, StringField>> fields = {
        {QStringLiteral("wrapperSdkVersion"), &VUWrapperSdk::wrapperSdkVersion},
        {QStringLiteral("wrapperSdkName"), &VUWrapperSdk::wrapperSdkName},
        {QStringLiteral("wrapperRuntimeVersion"), &VUWrapperSdk::wrapperRuntimeVersion},
        {QStringLiteral("liveUpdateReleaseLabel"), &VUWrapperSdk::liveUpdateReleaseLabel},
        {QStringLiteral("liveUpdateDeploymentKey"), &VUWrapperSdk::liveUpdateDeploymentKey},
        {QStringLiteral("liveUpdatePackageHash"), &VUWrapperSdk::liveUpdatePackageHash},
    };
    return fields;
}

VUJsonObject VUWrapperSdk::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    for (const auto &[key, field] : wrapperFields())
        if (const auto &value = this->*field)
            json[VUJson::str(key)] = VUJson::str(*value);
    return json;
}

bool VUWrapperSdk::isEqual(const VUModel *other) const
{
    const auto *sdk = dynamic_cast<const VUWrapperSdk *>(other);
    if (!sdk)
        return false;
    for (const auto &entry : wrapperFields())
        if (this->*entry.second != sdk->*entry.second)
            return false;
    return true;
}

void VUWrapperSdk::encodeWithCoder(VUCoder &coder) const
{
    for (const auto &[key, field] : wrapperFields())
        coder.encodeString(key, this->*field);
}

bool VUWrapperSdk::initWithCoder(const VUCoder &coder)
{
    for (const auto &[key, field] : wrapperFields())
        this->*field = coder.decodeString(key);
    return !coder.failed();
}
