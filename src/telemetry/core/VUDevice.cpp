#include "telemetry/core/VUDevice.h"

#include <variant>

namespace {

using DeviceStringField = std::optional<QString> VUDevice::*;
using DeviceNumberField = std::optional<qint64> VUDevice::*;
using DeviceField = std::variant<DeviceStringField, DeviceNumberField>;

// The fields in declaration order: JSON and archive keep this order.
const QList<QPair<QString, DeviceField>> &deviceFields()
{
    static const QList<QPair<QString, DeviceField>> fields = {
        {QStringLiteral("sdkName"), &VUDevice::sdkName},
        {QStringLiteral("sdkVersion"), &VUDevice::sdkVersion},
        {QStringLiteral("model"), &VUDevice::model},
        {QStringLiteral("oemName"), &VUDevice::oemName},
        {QStringLiteral("osName"), &VUDevice::osName},
        {QStringLiteral("osVersion"), &VUDevice::osVersion},
        {QStringLiteral("osBuild"), &VUDevice::osBuild},
        {QStringLiteral("osApiLevel"), &VUDevice::osApiLevel},
        {QStringLiteral("locale"), &VUDevice::locale},
        {QStringLiteral("timeZoneOffset"), &VUDevice::timeZoneOffset},
        {QStringLiteral("screenSize"), &VUDevice::screenSize},
        {QStringLiteral("appVersion"), &VUDevice::appVersion},
        {QStringLiteral("carrierName"), &VUDevice::carrierName},
        {QStringLiteral("carrierCountry"), &VUDevice::carrierCountry},
        {QStringLiteral("appBuild"), &VUDevice::appBuild},
        {QStringLiteral("appNamespace"), &VUDevice::appNamespace},
    };
    return fields;
}

} // namespace

VUJsonObject VUDevice::serializeToDictionary() const
{
    VUJsonObject json = VUWrapperSdk::serializeToDictionary();
    for (const auto &[key, field] : deviceFields()) {
        if (const auto *text = std::get_if<DeviceStringField>(&field)) {
            if (const auto &value = this->**text)
                json[VUJson::str(key)] = VUJson::str(*value);
        } else if (const auto &value = this->*std::get<DeviceNumberField>(field)) {
            json[VUJson::str(key)] = static_cast<std::int64_t>(*value);
        }
    }
    return json;
}

bool VUDevice::isValid() const
{
    return VUWrapperSdk::isValid() && sdkName && sdkVersion && osName && osVersion && locale && timeZoneOffset &&
           appVersion && appBuild;
}

bool VUDevice::isEqual(const VUModel *other) const
{
    const auto *device = dynamic_cast<const VUDevice *>(other);
    if (!device || !VUWrapperSdk::isEqual(other))
        return false;
    for (const auto &entry : deviceFields()) {
        if (const auto *text = std::get_if<DeviceStringField>(&entry.second)) {
            if (this->**text != device->**text)
                return false;
        } else if (this->*std::get<DeviceNumberField>(entry.second) != device->*std::get<DeviceNumberField>(entry.second)) {
            return false;
        }
    }
    return true;
}

void VUDevice::encodeWithCoder(VUCoder &coder) const
{
    VUWrapperSdk::encodeWithCoder(coder);
    for (const auto &[key, field] : deviceFields()) {
        if (const auto *text = std::get_if<DeviceStringField>(&field))
            coder.encodeString(key, this->**text);
        else
            coder.encodeNumber(key, this->*std::get<DeviceNumberField>(field));
    }
}

bool VUDevice::initWithCoder(const VUCoder &coder)
{
    VUWrapperSdk::initWithCoder(coder);
    for (const auto &[key, field] : deviceFields()) {
        if (const auto *text = std::get_if<DeviceStringField>(&field))
            this->**text = coder.decodeString(key);
        else
            this->*std::get<DeviceNumberField>(field) = coder.decodeNumber(key);
    }
    return !coder.failed();
}
