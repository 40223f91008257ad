// Service start and the service-connection entry points (property-list messages).

#include "Backend.h"
#include "EntryPointSupport.h"
#include "ServiceStart.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace mobiledevice {

HandleSet<AMDServiceConnectionOpaque> &serviceConnections()
{
    static auto *set = new HandleSet<AMDServiceConnectionOpaque>();
    return *set;
}

AMDError requireSession(SimDevice *device)
{
    std::lock_guard lock(device->mutex());
    if (!device->connected)
        return kAMDNotConnectedError;
    if (!device->sessionOpen)
        return kAMDSessionInactiveError;
    return kAMDSuccess;
}

AMDServiceConnectionRef newFileService(SimDevice *device, std::shared_ptr<FileArea> area, bool secure, bool wholeFilesystem)
{
    auto *service = new AMDServiceConnectionOpaque();
    service->device = device;
    service->kind = AMDServiceConnectionOpaque::Kind::FileService;
    service->secure = secure;
    service->wholeFilesystem = wholeFilesystem;
    service->area = std::move(area);
    serviceConnections().add(service);
    return service;
}

AMDError startService(SimDevice *device, const char *serviceName, bool secure, AMDServiceConnectionRef *service)
{
    if (!service || !serviceName)
        return kAMDInvalidArgumentError;
    *service = nullptr;
    if (const AMDError error = requireSession(device))
        return error;
    const std::string name = serviceName;
    if (name == kAMDFileService) {
        if (device->passcodeLocked())
            return kAMDDeviceLockedError;
        *service = newFileService(device, std::make_shared<FileArea>(device->path("media")), secure, false);
        return kAMDSuccess;
    }
    if (name == kAMDWholeFileSystemService) {
        if (!device->offersWholeFilesystem())
            return kAMDInvalidServiceError;
        if (device->passcodeLocked())
            return kAMDDeviceLockedError;
        const std::string media = device->path("media");
        std::vector<FileArea::Mount> mounts = {
            {"/private/var/mobile/Media", media}, {"/var/mobile/Media", media}, {"/User/Media", media}};
        *service = newFileService(device, std::make_shared<FileArea>(device->path("filesystem"), std::move(mounts)), secure, true);
        return kAMDSuccess;
    }
    if (name == kAMDSpringBoardService) {
        auto *connection = new AMDServiceConnectionOpaque();
        connection->device = device;
        connection->kind = AMDServiceConnectionOpaque::Kind::SpringBoard;
        connection->secure = secure;
        serviceConnections().add(connection);
        *service = connection;
        return kAMDSuccess;
    }
    if (name == "com.apple.mobilebackup" || name == "com.apple.mobilebackup2")
        return kAMDUnsupportedError;
    return kAMDInvalidServiceError;
}

} // namespace mobiledevice

using namespace mobiledevice;

namespace mobiledevice::sim {

namespace {

// The service connection behind `ref` when the call may go on; `error` says why not.
AMDServiceConnectionOpaque *enterService(AMDServiceConnectionRef ref, const char *entryPoint, AMDError &error)
{
    error = kAMDSuccess;
    if (!serviceConnections().contains(ref)) {
        error = kAMDInvalidArgumentError;
        return nullptr;
    }
    if (auto fault = ref->device->fault(entryPoint))
        error = *fault;
    else if (ref->device->gone())
        error = kAMDNotConnectedError;
    return ref;
}

// An app icon is a small picture; anything larger is not one.
constexpr size_t kMaxIconSize = 16u * 1024 * 1024;

// The springboard service's answer to one request.
plist_t springBoardReply(SimDevice *device, plist_t request)
{
    plist_t reply = plist_new_dict();
    const std::string command = plistString(request, "command");
    if (command != "getIconPNGData") {
        plist_dict_set_item(reply, "Error", plist_new_string("UnknownCommand"));
        return reply;
    }
    const std::string bundleId = plistString(request, "bundleId");
    if (bundleId.empty() || bundleId.find('/') != std::string::npos || bundleId == "." || bundleId == "..")
        return reply;
    std::string png;
    if (readRegularFile(device->path("apps") + "/" + bundleId + "/icon.png", kMaxIconSize, png))
        plist_dict_set_item(reply, "pngData", plist_new_data(png.data(), png.size()));
    return reply;
}

AMDError sendMessage(AMDServiceConnectionRef ref, plist_t message, const char *entryPoint)
{
    AMDError error;
    AMDServiceConnectionOpaque *service = enterService(ref, entryPoint, error);
    if (error)
        return error;
    if (!message)
        return kAMDInvalidArgumentError;
    if (service->kind != AMDServiceConnectionOpaque::Kind::SpringBoard)
        return kAMDUnsupportedError;
    plist_t reply = springBoardReply(service->device, message);
    std::lock_guard lock(service->mutex);
    service->replies.emplace_back(reply);
    return kAMDSuccess;
}

AMDError receiveMessage(AMDServiceConnectionRef ref, plist_t *message, const char *entryPoint)
{
    AMDError error;
    AMDServiceConnectionOpaque *service = enterService(ref, entryPoint, error);
    if (error)
        return error;
    if (!message)
        return kAMDInvalidArgumentError;
    *message = nullptr;
    std::lock_guard lock(service->mutex);
    if (service->replies.empty())
        return kAMDNoMessageError;
    *message = service->replies.front().release();
    service->replies.pop_front();
    return kAMDSuccess;
}

} // namespace

AMDSecureIOContextRef AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef ref)
{
    if (!serviceConnections().contains(ref) || !ref->secure)
        return nullptr;
    return &ref->context;
}

AMDError AMDServiceConnectionSendMessage(AMDServiceConnectionRef ref, plist_t message, uint32_t)
{
    return sendMessage(ref, message, "AMDServiceConnectionSendMessage");
}

AMDError AMDServiceConnectionReceiveMessage(AMDServiceConnectionRef ref, plist_t *message, uint32_t *format)
{
    if (format)
        *format = kAMDPropertyListBinary;
    return receiveMessage(ref, message, "AMDServiceConnectionReceiveMessage");
}

AMDError AMDServiceConnectionInvalidate(AMDServiceConnectionRef ref)
{
    if (!serviceConnections().contains(ref) || ref->ownedByFileConnection)
        return kAMDInvalidArgumentError;
    if (!serviceConnections().remove(ref))
        return kAMDInvalidArgumentError;
    delete ref;
    return kAMDSuccess;
}

AMDError AMDeviceSendMessage(AMDServiceConnectionRef ref, plist_t message)
{
    return sendMessage(ref, message, "AMDeviceSendMessage");
}

AMDError AMDeviceReceiveMessage(AMDServiceConnectionRef ref, plist_t *message)
{
    return receiveMessage(ref, message, "AMDeviceReceiveMessage");
}

} // namespace mobiledevice::sim
