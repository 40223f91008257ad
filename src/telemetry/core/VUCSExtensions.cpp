#include "telemetry/core/VUCSExtensions.h"

QList<QPair<QString, const VUModel *>> VUCSExtensions::entries() const
{
    return {{QStringLiteral("metadata"), metadataExt.get()}, {QStringLiteral("protocol"), protocolExt.get()},
            {QStringLiteral("user"), userExt.get()},         {QStringLiteral("device"), deviceExt.get()},
            {QStringLiteral("os"), osExt.get()},             {QStringLiteral("app"), appExt.get()},
            {QStringLiteral("net"), netExt.get()},           {QStringLiteral("sdk"), sdkExt.get()},
            {QStringLiteral("loc"), locExt.get()}};
}

VUJsonObject VUCSExtensions::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    for (const auto &[key, extension] : entries()) {
        if (!extension)
            continue;
        VUJsonObject value = extension->serializeToDictionary();
        if (!value.is_null())
            json[VUJson::str(key)] = std::move(value);
    }
    return json;
}

bool VUCSExtensions::isValid() const
{
    for (const auto &entry : entries())
        if (entry.second && !entry.second->isValid())
            return false;
    return true;
}

bool VUCSExtensions::isEqual(const VUModel *other) const
{
    const auto *extensions = dynamic_cast<const VUCSExtensions *>(other);
    return extensions && vuEqualObjects(protocolExt, extensions->protocolExt) &&
           vuEqualObjects(metadataExt, extensions->metadataExt) && vuEqualObjects(userExt, extensions->userExt) &&
           vuEqualObjects(deviceExt, extensions->deviceExt) && vuEqualObjects(osExt, extensions->osExt) &&
           vuEqualObjects(appExt, extensions->appExt) && vuEqualObjects(netExt, extensions->netExt) &&
           vuEqualObjects(sdkExt, extensions->sdkExt) && vuEqualObjects(locExt, extensions->locExt);
}

void VUCSExtensions::encodeWithCoder(VUCoder &coder) const
{
    for (const auto &[key, extension] : entries())
        coder.encodeObject(key, extension);
}

bool VUCSExtensions::initWithCoder(const VUCoder &coder)
{
    metadataExt = coder.decodeObject<VUMetadataExtension>(QStringLiteral("metadata"));
    protocolExt = coder.decodeObject<VUProtocolExtension>(QStringLiteral("protocol"));
    userExt = coder.decodeObject<VUUserExtension>(QStringLiteral("user"));
    deviceExt = coder.decodeObject<VUDeviceExtension>(QStringLiteral("device"));
    osExt = coder.decodeObject<VUOSExtension>(QStringLiteral("os"));
    appExt = coder.decodeObject<VUAppExtension>(QStringLiteral("app"));
    netExt = coder.decodeObject<VUNetExtension>(QStringLiteral("net"));
    sdkExt = coder.decodeObject<VUSDKExtension>(QStringLiteral("sdk"));
    locExt = coder.decodeObject<VULocExtension>(QStringLiteral("loc"));
    return !coder.failed();
}
