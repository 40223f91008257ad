// The test device server's services behind lockdown: the file service (AFC), house_arrest,
// the installation proxy, and plain property-list services relayed to the simulated device.

#include "TestDeviceServer.h"

#include "Wire.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <endian.h>
#include <unistd.h>
#include <vector>

namespace testdevice {

namespace {

constexpr char kAfcMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};

enum : uint64_t {
    kOpStatus = 0x01,
    kOpData = 0x02,
    kOpReadDir = 0x03,
    kOpRemovePath = 0x08,
    kOpMakeDir = 0x09,
    kOpFileInfo = 0x0a,
    kOpDeviceInfo = 0x0b,
    kOpFileOpen = 0x0d,
    kOpFileOpenResult = 0x0e,
    kOpFileRead = 0x0f,
    kOpFileWrite = 0x10,
    kOpFileSeek = 0x11,
    kOpFileClose = 0x14,
    kOpRenamePath = 0x18,
    kOpSetFileTime = 0x1e,
};

struct AfcHeader
{
    char magic[8];
    uint64_t entireLength;
    uint64_t thisLength;
    uint64_t packetNumber;
    uint64_t operation;
};

// AFC's status number for a simulated device's file code.
uint64_t afcStatus(AFCError error)
{
    switch (error) {
    case kAFCSuccess: return 0;
    case kAFCNotADirectoryError: return 4; // a device answers a listing of a file with a read error
    case kAFCReadError: return 4;
    case kAFCWriteError: return 5;
    case kAFCInvalidArgumentError: return 7;
    case kAFCObjectNotFoundError: return 8;
    case kAFCIsADirectoryError: return 9;
    case kAFCPermissionError: return 10;
    case kAFCBadHandleError: return 7;
    case kAFCObjectExistsError: return 16;
    case kAFCNoSpaceError: return 18;
    case kAFCNotEmptyError: return 33;
    default: return 1;
    }
}

bool sendAfc(int fd, uint64_t packetNumber, uint64_t operation, const void *head, size_t headLength,
             const void *data, size_t dataLength)
{
    AfcHeader header{};
    std::memcpy(header.magic, kAfcMagic, 8);
    header.thisLength = htole64(sizeof header + headLength);
    header.entireLength = htole64(sizeof header + headLength + dataLength);
    header.packetNumber = htole64(packetNumber);
    header.operation = htole64(operation);
    return writeAll(fd, &header, sizeof header) && (!headLength || writeAll(fd, head, headLength)) &&
           (!dataLength || writeAll(fd, data, dataLength));
}

bool sendStatus(int fd, uint64_t packetNumber, uint64_t status)
{
    const uint64_t value = htole64(status);
    return sendAfc(fd, packetNumber, kOpStatus, &value, 8, nullptr, 0);
}

bool sendData(int fd, uint64_t packetNumber, const std::string &bytes)
{
    return sendAfc(fd, packetNumber, kOpData, nullptr, 0, bytes.data(), bytes.size());
}

uint64_t u64At(const std::vector<char> &bytes, size_t offset)
{
    uint64_t value = 0;
    if (offset + 8 <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, 8);
    return le64toh(value);
}

// The NUL-ended string at `offset`; false when there is none.
bool stringAt(const std::vector<char> &bytes, size_t offset, std::string &text)
{
    if (offset >= bytes.size())
        return false;
    const void *end = std::memchr(bytes.data() + offset, 0, bytes.size() - offset);
    if (!end)
        return false;
    text.assign(bytes.data() + offset, static_cast<const char *>(end));
    return true;
}

std::string pairsOf(AFCDictionaryRef info)
{
    std::string out;
    char *key = nullptr;
    char *value = nullptr;
    while (AFCKeyValueRead(info, &key, &value) == 0 && key && value) {
        out.append(key).push_back('\0');
        out.append(value).push_back('\0');
    }
    AFCKeyValueClose(info);
    return out;
}

} // namespace

void Server::serveService(int fd, AMDeviceRef device, const PendingService &service)
{
    if (service.name == "com.apple.mobile.house_arrest") {
        serveHouseArrest(fd, device);
    } else if (service.name == "com.apple.mobile.installation_proxy") {
        serveInstallationProxy(fd, device);
    } else if (service.name == kAMDFileService || service.name == kAMDWholeFileSystemService) {
        AFCConnectionRef connection = nullptr;
        if (AFCConnectionOpen(service.sim, 0, &connection) == 0)
            serveAfc(fd, connection);
        else
            AMDServiceConnectionInvalidate(service.sim);
    } else if (service.sim) {
        servePlistRelay(fd, service.sim);
        AMDServiceConnectionInvalidate(service.sim);
    }
    close(fd);
}

void Server::serveAfc(int fd, AFCConnectionRef connection)
{
    std::vector<char> head;
    std::vector<char> data;
    std::vector<char> buffer;
    std::map<uint64_t, uint64_t> readOffsets; // file -> bytes read, for DropAfterReadBytes
    for (;;) {
        AfcHeader header;
        if (!readExact(fd, &header, sizeof header) || std::memcmp(header.magic, kAfcMagic, 8) != 0)
            break;
        const uint64_t entire = le64toh(header.entireLength);
        const uint64_t thisLength = le64toh(header.thisLength);
        const uint64_t packet = le64toh(header.packetNumber);
        const uint64_t operation = le64toh(header.operation);
        if (thisLength < sizeof header || entire < thisLength || entire > kMaxMessage)
            break;
        head.resize(thisLength - sizeof header);
        data.resize(entire - thisLength);
        if (!readExact(fd, head.data(), head.size()) || !readExact(fd, data.data(), data.size()))
            break;
        const WireFaults faults = wireFaults();
        if (faults.afcGarbage) {
            AfcHeader junk{};
            std::memcpy(junk.magic, kAfcMagic, 8);
            junk.entireLength = htole64(uint64_t(1) << 62);
            junk.thisLength = htole64(40);
            junk.packetNumber = htole64(packet);
            junk.operation = htole64(kOpData);
            writeAll(fd, &junk, sizeof junk);
            break; // and hangs up
        }
        std::string path;
        bool ok = true;
        switch (operation) {
        case kOpReadDir: {
            AFCDirectoryRef directory = nullptr;
            AFCError error = stringAt(head, 0, path) ? AFCDirectoryOpen(connection, path.c_str(), &directory) : kAFCInvalidArgumentError;
            if (error) {
                ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
                break;
            }
            std::string names;
            char *name = nullptr;
            while (AFCDirectoryRead(connection, directory, &name) == 0 && name)
                names.append(name).push_back('\0');
            AFCDirectoryClose(connection, directory);
            for (const std::string &extra : faults.extraListingNames)
                names.append(extra).push_back('\0');
            ok = sendData(fd, packet, names);
            break;
        }
        case kOpFileInfo:
        case kOpDeviceInfo: {
            AFCDictionaryRef info = nullptr;
            AFCError error;
            if (operation == kOpDeviceInfo)
                error = AFCDeviceInfoOpen(connection, &info);
            else
                error = stringAt(head, 0, path) ? AFCFileInfoOpen(connection, path.c_str(), &info) : kAFCInvalidArgumentError;
            if (error)
                ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            else
                ok = sendData(fd, packet, pairsOf(info));
            break;
        }
        case kOpMakeDir:
        case kOpRemovePath: {
            AFCError error = kAFCInvalidArgumentError;
            if (stringAt(head, 0, path))
                error = operation == kOpMakeDir ? AFCDirectoryCreate(connection, path.c_str()) : AFCRemovePath(connection, path.c_str());
            ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            break;
        }
        case kOpRenamePath: {
            std::string to;
            AFCError error = kAFCInvalidArgumentError;
            if (stringAt(head, 0, path) && stringAt(head, path.size() + 1, to))
                error = AFCRenamePath(connection, path.c_str(), to.c_str());
            ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            break;
        }
        case kOpSetFileTime: {
            AFCError error = kAFCInvalidArgumentError;
            if (stringAt(head, 8, path)) {
                AFCOperationRef op = AFCOperationCreateSetModTime(path.c_str(), u64At(head, 0));
                error = op ? AFCConnectionProcessOperation(connection, op, 0) : kAFCInvalidArgumentError;
                AFCOperationRelease(op);
            }
            ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            break;
        }
        case kOpFileOpen: {
            AFCFileRef file = 0;
            AFCError error = stringAt(head, 8, path) ? AFCFileRefOpen(connection, path.c_str(), u64At(head, 0), &file) : kAFCInvalidArgumentError;
            if (error) {
                ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            } else {
                const uint64_t handle = htole64(file);
                ok = sendAfc(fd, packet, kOpFileOpenResult, &handle, 8, nullptr, 0);
            }
            break;
        }
        case kOpFileRead: {
            const uint64_t file = u64At(head, 0);
            uint64_t wanted = u64At(head, 8);
            if (wanted > (8u << 20))
                wanted = 8u << 20;
            buffer.resize(wanted);
            size_t got = 0;
            AFCError error = kAFCSuccess;
            while (got < wanted) {
                uint32_t length = uint32_t(wanted - got);
                error = AFCFileRefRead(connection, file, buffer.data() + got, &length);
                if (error || length == 0)
                    break;
                got += length;
            }
            if (faults.dropAfterReadBytes >= 0 && readOffsets[file] + got >= uint64_t(faults.dropAfterReadBytes)) {
                const size_t part = size_t(uint64_t(faults.dropAfterReadBytes) - std::min<uint64_t>(readOffsets[file], uint64_t(faults.dropAfterReadBytes)));
                sendAfc(fd, packet, kOpData, nullptr, 0, buffer.data(), part / 2); // a short, broken reply
                ok = false;
                break;
            }
            readOffsets[file] += got;
            if (error && got == 0)
                ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            else
                ok = sendAfc(fd, packet, kOpData, nullptr, 0, buffer.data(), got);
            break;
        }
        case kOpFileWrite: {
            AFCError error = AFCFileRefWrite(connection, u64At(head, 0), data.data(), uint32_t(data.size()));
            ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            break;
        }
        case kOpFileSeek: {
            AFCError error = AFCFileRefSeek(connection, u64At(head, 0), int64_t(u64At(head, 16)), u64At(head, 8));
            ok = uint32_t(error) != uint32_t(kAMDNotConnectedError) && sendStatus(fd, packet, afcStatus(error));
            break;
        }
        case kOpFileClose: {
            AFCError error = AFCFileRefClose(connection, u64At(head, 0));
            ok = sendStatus(fd, packet, afcStatus(error));
            break;
        }
        default:
            ok = sendStatus(fd, packet, 15); // operation not supported
        }
        if (!ok)
            break;
    }
    AFCConnectionClose(connection);
}

void Server::serveHouseArrest(int fd, AMDeviceRef device)
{
    plist_t request = nullptr;
    if (!readPlistMessage(fd, &request))
        return;
    const std::string command = stringItem(request, "Command");
    const std::string identifier = stringItem(request, "Identifier");
    plist_free(request);
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "Command", plist_new_string(command.c_str()));
    AMDServiceConnectionRef service = nullptr;
    const AMDError error = AMDeviceStartHouseArrestService(device, identifier.c_str(), options, &service);
    plist_free(options);
    plist_t answer = plist_new_dict();
    if (error == kAMDApplicationNotFoundError)
        plist_dict_set_item(answer, "Error", plist_new_string("ApplicationLookupFailed"));
    else if (error)
        plist_dict_set_item(answer, "Error", plist_new_string("InstallationLookupFailed"));
    else
        plist_dict_set_item(answer, "Status", plist_new_string("Complete"));
    const bool sent = writePlistMessage(fd, answer);
    plist_free(answer);
    if (error)
        return;
    AFCConnectionRef connection = nullptr;
    if (sent && AFCConnectionOpen(service, 0, &connection) == 0) {
        if (AMDSecureIOContextRef context = AMDServiceConnectionGetSecureIOContext(service))
            AFCConnectionSetSecureContext(connection, context);
        serveAfc(fd, connection);
    } else {
        AMDServiceConnectionInvalidate(service);
    }
}

void Server::serveInstallationProxy(int fd, AMDeviceRef device)
{
    for (;;) {
        plist_t request = nullptr;
        if (!readPlistMessage(fd, &request))
            return;
        const std::string command = stringItem(request, "Command");
        plist_t options = plist_dict_get_item(request, "ClientOptions");
        plist_t apps = nullptr;
        const AMDError error = command == "Browse" ? AMDeviceLookupApplications(device, options, &apps) : kAMDUnsupportedError;
        plist_free(request);
        if (error) {
            plist_t answer = plist_new_dict();
            plist_dict_set_item(answer, "Error", plist_new_string("APIInternalError"));
            writePlistMessage(fd, answer);
            plist_free(answer);
            continue;
        }
        plist_t list = plist_new_array();
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(apps, &it);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(apps, it, &key, &value);
            if (!key)
                break;
            free(key);
            plist_array_append_item(list, wireFaults().wrongTypes ? plist_new_string("not an app") : plist_copy(value));
        }
        free(it);
        plist_free(apps);
        const uint32_t count = plist_array_get_size(list);
        plist_t browsing = plist_new_dict();
        plist_dict_set_item(browsing, "Status", plist_new_string("BrowsingApplications"));
        plist_dict_set_item(browsing, "CurrentIndex", plist_new_uint(0));
        plist_dict_set_item(browsing, "CurrentAmount", plist_new_uint(count));
        plist_dict_set_item(browsing, "Total", plist_new_uint(count));
        plist_dict_set_item(browsing, "CurrentList", list);
        plist_t complete = plist_new_dict();
        plist_dict_set_item(complete, "Status", plist_new_string("Complete"));
        const bool sent = writePlistMessage(fd, browsing) && writePlistMessage(fd, complete);
        plist_free(browsing);
        plist_free(complete);
        if (!sent)
            return;
    }
}

void Server::servePlistRelay(int fd, AMDServiceConnectionRef service)
{
    for (;;) {
        plist_t request = nullptr;
        if (!readPlistMessage(fd, &request))
            return;
        const AMDError error = AMDServiceConnectionSendMessage(service, request, kAMDPropertyListBinary);
        plist_free(request);
        plist_t answer = nullptr;
        if (error || AMDServiceConnectionReceiveMessage(service, &answer, nullptr) != 0 || !answer)
            return;
        const bool sent = writePlistMessage(fd, answer);
        plist_free(answer);
        if (!sent)
            return;
    }
}

} // namespace testdevice
