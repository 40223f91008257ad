// Service connections of real devices: starting services by name, their property-list
// messages, app containers through house_arrest, and the app list through the installation
// proxy.

#include "RealHandles.h"

#include "Backend.h"

#include <libimobiledevice/installation_proxy.h>

#include <cstdlib>
#include <cstring>

namespace mobiledevice::real {

HandleSet<RealService> &services()
{
    static HandleSet<RealService> set;
    return set;
}

RealService::~RealService()
{
    if (messages)
        property_list_service_client_free(messages);
    if (houseArrest)
        house_arrest_client_free(houseArrest);
    if (idevice)
        idevice_free(idevice);
}

lockdownd_service_descriptor RealService::descriptor()
{
    lockdownd_service_descriptor d{};
    d.port = port;
    d.ssl_enabled = ssl ? 1 : 0;
    d.identifier = name.data();
    return d;
}

AMDError startLockdownService(RealDevice *device, const char *name, uint16_t &port, bool &ssl)
{
    std::lock_guard lock(device->mutex);
    if (!device->lockdown)
        return kAMDNotConnectedError;
    if (!device->sessionOpen)
        return kAMDSessionInactiveError;
    lockdownd_service_descriptor_t descriptor = nullptr;
    const lockdownd_error_t answer = lockdownd_start_service(device->lockdown, name, &descriptor);
    if (answer == LOCKDOWN_E_SUCCESS && descriptor && descriptor->port) {
        port = descriptor->port;
        ssl = descriptor->ssl_enabled;
        lockdownd_service_descriptor_free(descriptor);
        return kAMDSuccess;
    }
    if (descriptor)
        lockdownd_service_descriptor_free(descriptor);
    if (answer == LOCKDOWN_E_PASSWORD_PROTECTED)
        return kAMDDeviceLockedError; // a locked device refuses its file services
    if (answer == LOCKDOWN_E_SUCCESS)
        return kAMDInvalidServiceError; // no port: nothing to connect to
    return codeForLockdown(answer, name);
}

namespace {

bool isBackupService(const char *name)
{
    return !std::strcmp(name, "com.apple.mobilebackup2") || !std::strcmp(name, "com.apple.mobilebackup");
}

AMDError startService(AMDeviceRef ref, const char *name, bool secure, AMDServiceConnectionRef *out)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    if (error)
        return error;
    if (!name || !*name || !out)
        return kAMDInvalidArgumentError;
    if (isBackupService(name))
        return kAMDUnsupportedError; // reached through the device link
    auto service = std::make_unique<RealService>();
    service->device = device;
    service->name = name;
    service->secure = secure;
    error = startLockdownService(device, name, service->port, service->ssl);
    if (error)
        return error;
    service->idevice = newIdevice(device);
    if (!service->idevice)
        return kAMDNotConnectedError;
    services().add(service.get());
    *out = reinterpret_cast<AMDServiceConnectionRef>(service.release());
    return kAMDSuccess;
}

RealService *enterService(AMDServiceConnectionRef ref)
{
    auto *service = reinterpret_cast<RealService *>(ref);
    return services().contains(service) ? service : nullptr;
}

// The service's plist connection, opened at the first use; service->mutex held.
property_list_service_client_t messagesLocked(RealService *service)
{
    if (!service->messages && !service->houseArrest) {
        lockdownd_service_descriptor d = service->descriptor();
        if (property_list_service_client_new(service->idevice, &d, &service->messages) != PROPERTY_LIST_SERVICE_E_SUCCESS)
            service->messages = nullptr;
    }
    return service->messages;
}

AMDError sendMessage(AMDServiceConnectionRef ref, plist_t message, bool xml)
{
    RealService *service = enterService(ref);
    if (!service || !message)
        return kAMDInvalidArgumentError;
    if (service->device->gone.load())
        return kAMDNotConnectedError;
    std::lock_guard lock(service->mutex);
    property_list_service_client_t client = messagesLocked(service);
    if (!client)
        return kAMDNotConnectedError;
    const auto sent = xml ? property_list_service_send_xml_plist(client, message)
                          : property_list_service_send_binary_plist(client, message);
    return sent == PROPERTY_LIST_SERVICE_E_SUCCESS ? kAMDSuccess : kAMDNotConnectedError;
}

AMDError receiveMessage(AMDServiceConnectionRef ref, plist_t *message)
{
    RealService *service = enterService(ref);
    if (!service || !message)
        return kAMDInvalidArgumentError;
    *message = nullptr;
    if (service->device->gone.load())
        return kAMDNotConnectedError;
    std::lock_guard lock(service->mutex);
    property_list_service_client_t client = messagesLocked(service);
    if (!client)
        return kAMDNotConnectedError;
    plist_t reply = nullptr;
    const auto received = property_list_service_receive_plist_with_timeout(client, &reply, kReplyTimeoutMs);
    if (received == PROPERTY_LIST_SERVICE_E_SUCCESS && reply) {
        *message = reply;
        return kAMDSuccess;
    }
    plist_free(reply);
    if (received == PROPERTY_LIST_SERVICE_E_RECEIVE_TIMEOUT)
        return kAMDNoMessageError;
    if (received == PROPERTY_LIST_SERVICE_E_PLIST_ERROR)
        return kAMDUndefinedError; // garbage from the device: the connection stays usable
    return kAMDNotConnectedError;
}

std::string stringItem(plist_t dict, const char *key)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    std::string text;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        char *value = nullptr;
        plist_get_string_val(node, &value);
        if (value)
            text = value;
        free(value);
    }
    return text;
}

} // namespace

AMDError AMDeviceStartService(AMDeviceRef ref, const char *serviceName, AMDServiceConnectionRef *service)
{
    return startService(ref, serviceName, false, service);
}

AMDError AMDeviceSecureStartService(AMDeviceRef ref, const char *serviceName, plist_t, AMDServiceConnectionRef *service)
{
    return startService(ref, serviceName, true, service);
}

AMDError AMDeviceStartHouseArrestService(AMDeviceRef ref, const char *bundleId, plist_t options,
                                         AMDServiceConnectionRef *out)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    if (error)
        return error;
    if (!bundleId || !*bundleId || !out)
        return kAMDInvalidArgumentError;
    std::string command = stringItem(options, "Command");
    if (command.empty())
        command = "VendContainer";
    if (command != "VendContainer" && command != "VendDocuments")
        return kAMDCommandRefusedError;

    auto service = std::make_unique<RealService>();
    service->device = device;
    service->name = "com.apple.mobile.house_arrest";
    service->secure = true;
    error = startLockdownService(device, service->name.c_str(), service->port, service->ssl);
    if (error)
        return error;
    service->idevice = newIdevice(device);
    if (!service->idevice)
        return kAMDNotConnectedError;
    lockdownd_service_descriptor d = service->descriptor();
    if (house_arrest_client_new(service->idevice, &d, &service->houseArrest) != HOUSE_ARREST_E_SUCCESS) {
        service->houseArrest = nullptr;
        return kAMDNotConnectedError;
    }
    if (house_arrest_send_command(service->houseArrest, command.c_str(), bundleId) != HOUSE_ARREST_E_SUCCESS)
        return kAMDNotConnectedError;
    plist_t result = nullptr;
    if (house_arrest_get_result(service->houseArrest, &result) != HOUSE_ARREST_E_SUCCESS || !result) {
        plist_free(result);
        return kAMDNotConnectedError;
    }
    const std::string status = stringItem(result, "Status");
    const std::string failure = stringItem(result, "Error");
    plist_free(result);
    if (status != "Complete") {
        if (failure == "ApplicationLookupFailed")
            return kAMDApplicationNotFoundError;
        if (failure.empty())
            logLine("AMDeviceStartHouseArrestService: the device answered neither done nor an error");
        return kAMDCommandRefusedError;
    }
    services().add(service.get());
    *out = reinterpret_cast<AMDServiceConnectionRef>(service.release());
    return kAMDSuccess;
}

AMDError AMDeviceLookupApplications(AMDeviceRef ref, plist_t options, plist_t *apps)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    if (error)
        return error;
    if (!apps)
        return kAMDInvalidArgumentError;
    *apps = nullptr;
    uint16_t port = 0;
    bool ssl = false;
    error = startLockdownService(device, "com.apple.mobile.installation_proxy", port, ssl);
    if (error)
        return error;
    idevice_t idevice = newIdevice(device);
    if (!idevice)
        return kAMDNotConnectedError;
    std::string name = "com.apple.mobile.installation_proxy";
    lockdownd_service_descriptor d{port, uint8_t(ssl), name.data()};
    instproxy_client_t client = nullptr;
    plist_t result = nullptr;
    instproxy_error_t answer = instproxy_client_new(idevice, &d, &client);
    if (answer == INSTPROXY_E_SUCCESS) {
        plist_t clientOptions = plist_new_dict();
        for (const char *key : {"ApplicationType", "ReturnAttributes"}) {
            plist_t item = options && plist_get_node_type(options) == PLIST_DICT ? plist_dict_get_item(options, key) : nullptr;
            if (item)
                plist_dict_set_item(clientOptions, key, plist_copy(item));
        }
        answer = instproxy_browse(client, clientOptions, &result);
        plist_free(clientOptions);
        instproxy_client_free(client);
    }
    idevice_free(idevice);
    if (answer != INSTPROXY_E_SUCCESS || !result || plist_get_node_type(result) != PLIST_ARRAY) {
        plist_free(result);
        return answer == INSTPROXY_E_CONN_FAILED || answer == INSTPROXY_E_RECEIVE_TIMEOUT ? kAMDNotConnectedError
                                                                                           : kAMDUndefinedError;
    }
    plist_t byId = plist_new_dict();
    for (uint32_t i = 0; i < plist_array_get_size(result); ++i) {
        plist_t app = plist_array_get_item(result, i);
        const std::string id = stringItem(app, "CFBundleIdentifier");
        if (!id.empty())
            plist_dict_set_item(byId, id.c_str(), plist_copy(app));
    }
    plist_free(result);
    *apps = byId;
    return kAMDSuccess;
}

AMDSecureIOContextRef AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef ref)
{
    RealService *service = enterService(ref);
    return service && service->secure ? reinterpret_cast<AMDSecureIOContextRef>(&service->secureContext) : nullptr;
}

AMDError AMDServiceConnectionSendMessage(AMDServiceConnectionRef ref, plist_t message, uint32_t format)
{
    return sendMessage(ref, message, format == kAMDPropertyListXML);
}

AMDError AMDServiceConnectionReceiveMessage(AMDServiceConnectionRef ref, plist_t *message, uint32_t *format)
{
    if (format)
        *format = kAMDPropertyListBinary;
    return receiveMessage(ref, message);
}

AMDError AMDServiceConnectionInvalidate(AMDServiceConnectionRef ref)
{
    auto *service = reinterpret_cast<RealService *>(ref);
    if (service && service->ownedByFileConnection.load())
        return kAMDInvalidArgumentError; // AFCConnectionClose ends it
    if (!services().remove(service))
        return kAMDInvalidArgumentError;
    delete service;
    return kAMDSuccess;
}

AMDError AMDeviceSendMessage(AMDServiceConnectionRef ref, plist_t message)
{
    return sendMessage(ref, message, false);
}

AMDError AMDeviceReceiveMessage(AMDServiceConnectionRef ref, plist_t *message)
{
    return receiveMessage(ref, message);
}

} // namespace mobiledevice::real
