#include "device/FrameworkValues.h"

#include "device/MobileDeviceFramework.h"
#include "platform/PropertyList.h"

#include <cstdlib>

QString copyDeviceString(AMDeviceRef device, const char *key)
{
    if (!AMDeviceCopyValue || !device)
        return {};
    plist_t value = AMDeviceCopyValue(device, nullptr, key);
    if (!value)
        return {};
    QString text;
    if (plist_get_node_type(value) == PLIST_STRING) {
        char *raw = nullptr;
        plist_get_string_val(value, &raw);
        if (raw)
            text = QString::fromUtf8(raw);
        std::free(raw);
    }
    plist_free(value);
    return text;
}

int deviceInterfaceType(AMDeviceRef device)
{
    if (!AMDeviceGetInterfaceType)
        return 1;
    return AMDeviceGetInterfaceType(device) == kAMDInterfaceWiFi ? 2 : 1;
}

QString deviceIdentity(AMDeviceRef device)
{
    if (AMDeviceCopyDeviceIdentifier) {
        if (char *identifier = AMDeviceCopyDeviceIdentifier(device)) {
            const QString identity = QString::fromUtf8(identifier);
            std::free(identifier);
            if (!identity.isEmpty())
                return identity;
        }
    }
    return QStringLiteral("device-%1").arg(quintptr(device), 0, 16);
}

QVariant variantFromPlist(plist_t node)
{
    if (!node)
        return {};
    char *data = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &data, &length);
    if (!data)
        return {};
    const auto value = PropertyList::fromData(QByteArray(data, int(length)));
    std::free(data);
    return value.value_or(QVariant());
}

plist_t plistFromVariant(const QVariant &value)
{
    const QByteArray data = PropertyList::toData(value, PropertyList::Format::Binary);
    if (data.isEmpty())
        return nullptr;
    plist_t node = nullptr;
    plist_from_bin(data.constData(), uint32_t(data.size()), &node);
    return node;
}
