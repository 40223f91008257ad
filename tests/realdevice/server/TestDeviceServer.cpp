// The test device server: usbmuxd's socket protocol and lockdown.

#include "TestDeviceServer.h"

#include "Wire.h"

#include <openssl/encoder.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace testdevice {

namespace {

constexpr uint16_t kLockdownPort = 62078;
constexpr const char *kHostId = "5A6B7C8D-QUILLON-TEST-HOST";
constexpr const char *kSystemBUID = "QUILLON-TEST-SYSTEM-BUID";

Server *gServer = nullptr;

void onNotification(const AMDeviceNotificationCallbackInfo *info, void *)
{
    if (info->message == kAMDeviceAttached)
        gServer->deviceAttached(info->device);
    else if (info->message == kAMDeviceDetached)
        gServer->deviceDetached(info->device);
}

// The lockdown error name for a simulated device's answer.
const char *lockdownError(AMDError error)
{
    switch (uint32_t(error)) {
    case 0xe8000025: return "InvalidHostID";
    case 0xe800001a: return "PasswordProtected";
    case 0xe8000096: return "PasswordProtected";
    case 0xe8000095: return "UserDeniedPairing";
    case 0xe8000022: return "InvalidService";
    case 0xe800003b: return "SessionInactive";
    case 0xe8000013: return "HostSoftwareTooOld";
    default: return "UnknownError";
    }
}

std::string makePublicKeyPem()
{
    std::string pem;
    EVP_PKEY *key = EVP_RSA_gen(2048);
    BIO *bio = BIO_new(BIO_s_mem());
    // A device gives its key as a PKCS#1 "RSA PUBLIC KEY".
    OSSL_ENCODER_CTX *encoder = key ? OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr) : nullptr;
    const bool encoded = encoder && bio && OSSL_ENCODER_to_bio(encoder, bio);
    OSSL_ENCODER_CTX_free(encoder);
    if (encoded) {
        char *data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        pem.assign(data, size_t(size));
    }
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

plist_t reply(const std::string &request)
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Request", plist_new_string(request.c_str()));
    return dict;
}

plist_t errorReply(const std::string &request, const char *error)
{
    plist_t dict = reply(request);
    plist_dict_set_item(dict, "Error", plist_new_string(error));
    return dict;
}

plist_t fileData(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return nullptr;
    std::stringstream s;
    s << in.rdbuf();
    const std::string bytes = s.str();
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), uint32_t(bytes.size()), &node);
    return node;
}

} // namespace

Server::Server(std::string devicesRoot)
    : mRoot(std::move(devicesRoot))
    , mPublicKeyPem(makePublicKeyPem())
{
}

WireFaults Server::wireFaults() const
{
    WireFaults faults;
    plist_t dict = fileData(mRoot + "/.wire.plist");
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        plist_free(dict);
        return faults;
    }
    auto flag = [dict](const char *key) {
        plist_t node = plist_dict_get_item(dict, key);
        uint8_t value = 0;
        if (node && plist_get_node_type(node) == PLIST_BOOLEAN)
            plist_get_bool_val(node, &value);
        return value != 0;
    };
    faults.afcGarbage = flag("AFCGarbage");
    faults.lockdownGarbage = flag("LockdownGarbage");
    faults.stallLockdown = flag("StallLockdown");
    faults.wrongTypes = flag("WrongTypes");
    faults.dropAfterReadBytes = int64_t(uintItem(dict, "DropAfterReadBytes", uint64_t(-1)));
    if (plist_t names = plist_dict_get_item(dict, "ExtraListingNames"); names && plist_get_node_type(names) == PLIST_ARRAY) {
        for (uint32_t i = 0; i < plist_array_get_size(names); ++i) {
            plist_t item = plist_array_get_item(names, i);
            if (plist_get_node_type(item) != PLIST_DATA)
                continue;
            char *bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(item, &bytes, &length);
            faults.extraListingNames.emplace_back(bytes, size_t(length));
            free(bytes);
        }
    }
    plist_free(dict);
    return faults;
}

plist_t Server::deviceProperties(uint32_t id, const Device &device) const
{
    plist_t properties = plist_new_dict();
    plist_dict_set_item(properties, "ConnectionType", plist_new_string("USB"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(id));
    plist_dict_set_item(properties, "LocationID", plist_new_uint(id));
    plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12a8));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(device.udid.c_str()));
    plist_t attached = plist_new_dict();
    plist_dict_set_item(attached, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(attached, "DeviceID", plist_new_uint(id));
    plist_dict_set_item(attached, "Properties", properties);
    return attached;
}

void Server::broadcast(plist_t message)
{
    for (int fd : mListeners)
        writeMuxMessage(fd, 0, message);
}

void Server::deviceAttached(AMDeviceRef ref)
{
    Device device;
    device.ref = ref;
    char *udid = AMDeviceCopyDeviceIdentifier(ref);
    device.udid = udid ? udid : "";
    free(udid);
    device.wifi = AMDeviceGetInterfaceType(ref) == kAMDInterfaceWiFi;
    std::lock_guard lock(mMutex);
    const uint32_t id = mNextId++;
    mAttached[id] = device;
    plist_t message = deviceProperties(id, device);
    broadcast(message);
    plist_free(message);
}

void Server::deviceDetached(AMDeviceRef ref)
{
    std::lock_guard lock(mMutex);
    for (auto it = mAttached.begin(); it != mAttached.end(); ++it) {
        if (it->second.ref != ref)
            continue;
        plist_t message = plist_new_dict();
        plist_dict_set_item(message, "MessageType", plist_new_string("Detached"));
        plist_dict_set_item(message, "DeviceID", plist_new_uint(it->first));
        broadcast(message);
        plist_free(message);
        mAttached.erase(it);
        return;
    }
}

plist_t Server::pairRecord(const std::string &udid)
{
    {
        std::lock_guard lock(mMutex);
        auto saved = mSavedRecords.find(udid);
        if (saved != mSavedRecords.end())
            return plist_new_data(saved->second.data(), saved->second.size());
    }
    AMDeviceRef ref = nullptr;
    {
        std::lock_guard lock(mMutex);
        for (const auto &[id, device] : mAttached)
            if (device.udid == udid)
                ref = device.ref;
    }
    if (!ref || !AMDeviceIsPaired(ref))
        return nullptr;
    // A device paired before this server started: a record as usbmuxd would keep it.
    plist_t record = plist_new_dict();
    plist_dict_set_item(record, "HostID", plist_new_string(kHostId));
    plist_dict_set_item(record, "SystemBUID", plist_new_string(kSystemBUID));
    for (const char *key : {"DeviceCertificate", "HostCertificate", "HostPrivateKey", "RootCertificate", "RootPrivateKey"})
        plist_dict_set_item(record, key, plist_new_data("test", 4));
    plist_dict_set_item(record, "WiFiMACAddress", plist_new_string("00:00:00:00:00:00"));
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(record, &xml, &size);
    plist_free(record);
    plist_t data = plist_new_data(xml, size);
    free(xml);
    return data;
}

void Server::serveClient(int fd)
{
    for (;;) {
        MuxMessage message;
        if (!readMuxMessage(fd, message)) {
            plist_free(message.body);
            break;
        }
        const std::string type = stringItem(message.body, "MessageType");
        if (type == "Listen") {
            {
                std::lock_guard lock(mMutex);
                writeMuxResult(fd, message.tag, 0);
                for (const auto &[id, device] : mAttached) {
                    plist_t attached = deviceProperties(id, device);
                    writeMuxMessage(fd, 0, attached);
                    plist_free(attached);
                }
                mListeners.insert(fd);
            }
            plist_free(message.body);
            // A listener only hears from now on; wait for it to hang up.
            char byte;
            while (recv(fd, &byte, 1, 0) > 0) {
            }
            std::lock_guard again(mMutex);
            mListeners.erase(fd);
            break;
        }
        if (type == "ListDevices") {
            plist_t list = plist_new_array();
            {
                std::lock_guard lock(mMutex);
                for (const auto &[id, device] : mAttached)
                    plist_array_append_item(list, deviceProperties(id, device));
            }
            plist_t body = plist_new_dict();
            plist_dict_set_item(body, "DeviceList", list);
            writeMuxMessage(fd, message.tag, body);
            plist_free(body);
        } else if (type == "Connect") {
            const uint32_t id = uint32_t(uintItem(message.body, "DeviceID"));
            const uint16_t port = ntohs(uint16_t(uintItem(message.body, "PortNumber")));
            AMDeviceRef ref = nullptr;
            PendingService service;
            bool known = false;
            {
                std::lock_guard lock(mMutex);
                auto device = mAttached.find(id);
                if (device != mAttached.end())
                    ref = device->second.ref;
                auto pending = mPending.find({id, port});
                if (pending != mPending.end()) {
                    service = pending->second;
                    mPending.erase(pending);
                    known = true;
                }
            }
            plist_free(message.body);
            if (!ref) {
                writeMuxResult(fd, message.tag, 2);
                continue;
            }
            if (port != kLockdownPort && !known) {
                writeMuxResult(fd, message.tag, 3);
                continue;
            }
            writeMuxResult(fd, message.tag, 0);
            if (port == kLockdownPort)
                serveLockdown(fd, id, ref);
            else
                serveService(fd, ref, service);
            break; // the socket belonged to the device connection
        } else if (type == "ReadPairRecord") {
            plist_t data = pairRecord(stringItem(message.body, "PairRecordID"));
            if (!data) {
                writeMuxResult(fd, message.tag, 2);
            } else {
                plist_t body = plist_new_dict();
                plist_dict_set_item(body, "PairRecordData", data);
                writeMuxMessage(fd, message.tag, body);
                plist_free(body);
            }
        } else if (type == "SavePairRecord") {
            plist_t data = plist_dict_get_item(message.body, "PairRecordData");
            if (data && plist_get_node_type(data) == PLIST_DATA) {
                char *bytes = nullptr;
                uint64_t length = 0;
                plist_get_data_val(data, &bytes, &length);
                std::lock_guard lock(mMutex);
                mSavedRecords[stringItem(message.body, "PairRecordID")] = std::vector<char>(bytes, bytes + length);
                free(bytes);
            }
            writeMuxResult(fd, message.tag, 0);
        } else if (type == "DeletePairRecord") {
            std::lock_guard lock(mMutex);
            mSavedRecords.erase(stringItem(message.body, "PairRecordID"));
            writeMuxResult(fd, message.tag, 0);
        } else if (type == "ReadBUID") {
            plist_t body = plist_new_dict();
            plist_dict_set_item(body, "BUID", plist_new_string(kSystemBUID));
            writeMuxMessage(fd, message.tag, body);
            plist_free(body);
        } else {
            writeMuxResult(fd, message.tag, 1);
        }
        plist_free(message.body);
    }
    close(fd);
}

void Server::serveLockdown(int fd, uint32_t deviceId, AMDeviceRef ref)
{
    AMDeviceConnect(ref);
    for (;;) {
        plist_t request = nullptr;
        if (!readPlistMessage(fd, &request))
            break;
        const WireFaults faults = wireFaults();
        if (faults.stallLockdown) {
            plist_free(request);
            continue;
        }
        if (faults.lockdownGarbage) {
            plist_free(request);
            const char junk[] = "\x7f\xff\xff\xf0not a property list";
            writeAll(fd, junk, sizeof junk - 1);
            break; // and hangs up, as a confused device would
        }
        const std::string name = stringItem(request, "Request");
        plist_t answer = nullptr;
        if (name == "QueryType") {
            answer = reply(name);
            plist_dict_set_item(answer, "Type", plist_new_string("com.apple.mobile.lockdown"));
        } else if (name == "GetValue") {
            const std::string domain = stringItem(request, "Domain");
            const std::string key = stringItem(request, "Key");
            plist_t value = nullptr;
            if (domain.empty() && key == "DevicePublicKey")
                value = plist_new_data(mPublicKeyPem.data(), mPublicKeyPem.size());
            else
                value = AMDeviceCopyValue(ref, domain.empty() ? nullptr : domain.c_str(), key.empty() ? nullptr : key.c_str());
            if (value && faults.wrongTypes) {
                plist_free(value);
                value = plist_new_array();
            }
            if (value) {
                answer = reply(name);
                if (!key.empty())
                    plist_dict_set_item(answer, "Key", plist_new_string(key.c_str()));
                plist_dict_set_item(answer, "Value", value);
            } else {
                answer = errorReply(name, "MissingValue");
            }
        } else if (name == "Pair") {
            const AMDError error = AMDevicePair(ref);
            answer = error ? errorReply(name, lockdownError(error)) : reply(name);
        } else if (name == "ValidatePair") {
            answer = AMDeviceIsPaired(ref) ? reply(name) : errorReply(name, "InvalidHostID");
        } else if (name == "StartSession") {
            const AMDError error = AMDeviceStartSession(ref);
            if (error) {
                answer = errorReply(name, lockdownError(error));
            } else {
                answer = reply(name);
                plist_dict_set_item(answer, "SessionID", plist_new_string("QUILLON-TEST-SESSION"));
                plist_dict_set_item(answer, "EnableSessionSSL", plist_new_bool(0));
            }
        } else if (name == "StopSession") {
            AMDeviceStopSession(ref);
            answer = reply(name);
        } else if (name == "StartService") {
            const std::string service = stringItem(request, "Service");
            PendingService pending;
            pending.name = service;
            AMDError error = kAMDSuccess;
            if (service == "com.apple.mobile.house_arrest" || service == "com.apple.mobile.installation_proxy") {
                // Served here; ask the device for its media area once to learn whether it is locked.
                AMDServiceConnectionRef probe = nullptr;
                error = AMDeviceStartService(ref, kAMDFileService, &probe);
                if (probe)
                    AMDServiceConnectionInvalidate(probe);
                if (error != kAMDDeviceLockedError && error != kAMDSessionInactiveError && error != kAMDNotConnectedError)
                    error = kAMDSuccess;
            } else {
                error = AMDeviceStartService(ref, service.c_str(), &pending.sim);
            }
            if (error == kAMDNotConnectedError) {
                plist_free(request);
                break;
            }
            if (error) {
                answer = errorReply(name, lockdownError(error));
            } else {
                uint16_t port;
                {
                    std::lock_guard lock(mMutex);
                    port = mNextPort++;
                    if (mNextPort == 0)
                        mNextPort = 49152;
                    mPending[{deviceId, port}] = pending;
                }
                answer = reply(name);
                plist_dict_set_item(answer, "Service", plist_new_string(service.c_str()));
                plist_dict_set_item(answer, "Port", plist_new_uint(port));
                plist_dict_set_item(answer, "EnableServiceSSL", plist_new_bool(0));
            }
        } else if (name == "Goodbye") {
            answer = reply(name);
            writePlistMessage(fd, answer);
            plist_free(answer);
            plist_free(request);
            break;
        } else {
            answer = errorReply(name, "UnknownRequest");
        }
        plist_free(request);
        const bool sent = writePlistMessage(fd, answer);
        plist_free(answer);
        if (!sent)
            break;
    }
    AMDeviceDisconnect(ref);
}

int Server::run(const std::string &socketPath)
{
    gServer = this;
    const int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "socket path too long\n");
        return 2;
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    unlink(socketPath.c_str());
    if (bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listenFd, 64) != 0) {
        std::perror("bind");
        return 2;
    }
    AMDeviceNotificationRef subscription = nullptr;
    AMDeviceNotificationSubscribe(onNotification, 0, 0, nullptr, &subscription);
    std::fprintf(stdout, "listening\n");
    std::fflush(stdout);
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {AMDRunLoopSourceGetDescriptor(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents & POLLIN)
            AMDRunLoopSourcePerform();
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                std::thread([this, client] { serveClient(client); }).detach();
        }
    }
}

} // namespace testdevice

int main(int argc, char **argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--socket") != 0 || !std::getenv("QUILLON_SIM_DEVICES")) {
        std::fprintf(stderr, "usage: QUILLON_SIM_DEVICES=<folder> %s --socket <path>\n", argv[0]);
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM); // a test program that dies takes its server along
    testdevice::Server server(std::getenv("QUILLON_SIM_DEVICES"));
    return server.run(argv[1] == nullptr ? "" : argv[2]);
}
