// The file-service entry points of real devices, over libimobiledevice's AFC client.
//
// AFC's own status numbers differ from the framework's file codes in places (its read and
// write errors are 4 and 5, the framework's 5 and 6): every answer goes through codeForAfc.
// Listings from the device are untrusted: a name that is empty or holds "/" cannot name an
// item in the folder and is left out.

#include "RealHandles.h"

#include "Backend.h"

#include <cstdlib>
#include <cstring>

namespace mobiledevice::real {

HandleSet<RealFileConnection> &files()
{
    static HandleSet<RealFileConnection> set;
    return set;
}

HandleSet<RealList> &lists()
{
    static HandleSet<RealList> set;
    return set;
}

HandleSet<RealPairs> &pairLists()
{
    static HandleSet<RealPairs> set;
    return set;
}

HandleSet<RealOperation> &realOperations()
{
    static HandleSet<RealOperation> set;
    return set;
}

namespace {

AFCError codeForAfc(afc_error_t error)
{
    switch (error) {
    case AFC_E_SUCCESS:
        return kAFCSuccess;
    case AFC_E_READ_ERROR:
        return kAFCReadError;
    case AFC_E_WRITE_ERROR:
        return kAFCWriteError;
    case AFC_E_INVALID_ARG:
        return kAFCInvalidArgumentError;
    case AFC_E_OBJECT_NOT_FOUND:
        return kAFCObjectNotFoundError;
    case AFC_E_OBJECT_IS_DIR:
        return kAFCIsADirectoryError;
    case AFC_E_PERM_DENIED:
        return kAFCPermissionError;
    case AFC_E_OBJECT_EXISTS:
        return kAFCObjectExistsError;
    case AFC_E_NO_SPACE_LEFT:
        return kAFCNoSpaceError;
    case AFC_E_DIR_NOT_EMPTY:
        return kAFCNotEmptyError;
    case AFC_E_MUX_ERROR:
    case AFC_E_NOT_ENOUGH_DATA:
    case AFC_E_SERVICE_NOT_CONNECTED:
    case AFC_E_OP_TIMEOUT:
        return kAMDNotConnectedError;
    default:
        return kAFCUnknownError;
    }
}

// The live connection behind `ref` with its mutex held, or null with `error` set.
RealFileConnection *enterFiles(AFCConnectionRef ref, AFCError &error, std::unique_lock<std::mutex> &lock)
{
    auto *connection = reinterpret_cast<RealFileConnection *>(ref);
    if (!files().contains(connection)) {
        error = kAFCInvalidArgumentError;
        return nullptr;
    }
    if (connection->service->device->gone.load() ||
        (connection->service->secure && !connection->secureContextSet.load())) {
        error = kAMDNotConnectedError;
        return nullptr;
    }
    lock = std::unique_lock(connection->mutex);
    error = kAFCSuccess;
    return connection;
}

// The strings of an AFC list ("a\0b\0" made into a NULL-ended array by libimobiledevice).
std::vector<std::string> strings(char **list)
{
    std::vector<std::string> out;
    for (size_t i = 0; list && list[i]; ++i)
        out.emplace_back(list[i]);
    return out;
}

AFCDictionaryRef newPairs(char **list)
{
    auto pairs = std::make_unique<RealPairs>();
    const std::vector<std::string> items = strings(list);
    for (size_t i = 0; i + 1 < items.size(); i += 2)
        pairs->pairs.emplace_back(items[i], items[i + 1]);
    pairLists().add(pairs.get());
    return reinterpret_cast<AFCDictionaryRef>(pairs.release());
}

bool validPath(const char *path)
{
    return path && *path;
}

} // namespace

AFCError AFCConnectionOpen(AMDServiceConnectionRef ref, uint32_t, AFCConnectionRef *out)
{
    auto *service = reinterpret_cast<RealService *>(ref);
    if (!services().contains(service) || !out)
        return kAFCInvalidArgumentError;
    if (service->device->gone.load())
        return kAMDNotConnectedError;
    if (service->ownedByFileConnection.exchange(true))
        return kAFCInvalidArgumentError; // one file connection per service connection
    auto connection = std::make_unique<RealFileConnection>();
    connection->service = service;
    afc_error_t opened;
    {
        std::lock_guard lock(service->mutex);
        if (service->houseArrest) {
            opened = afc_client_new_from_house_arrest_client(service->houseArrest, &connection->afc);
        } else {
            lockdownd_service_descriptor d = service->descriptor();
            opened = afc_client_new(service->idevice, &d, &connection->afc);
        }
    }
    if (opened != AFC_E_SUCCESS) {
        service->ownedByFileConnection.store(false);
        return codeForAfc(opened);
    }
    files().add(connection.get());
    *out = reinterpret_cast<AFCConnectionRef>(connection.release());
    return kAFCSuccess;
}

AFCError AFCConnectionClose(AFCConnectionRef ref)
{
    auto *connection = reinterpret_cast<RealFileConnection *>(ref);
    if (!files().remove(connection))
        return kAFCInvalidArgumentError;
    {
        std::lock_guard lock(connection->mutex);
        if (connection->afc)
            afc_client_free(connection->afc);
    }
    services().remove(connection->service);
    delete connection->service;
    delete connection;
    return kAFCSuccess;
}

AFCError AFCConnectionSetSecureContext(AFCConnectionRef ref, AMDSecureIOContextRef context)
{
    auto *connection = reinterpret_cast<RealFileConnection *>(ref);
    if (!files().contains(connection) || !context)
        return kAFCInvalidArgumentError;
    if (context != reinterpret_cast<AMDSecureIOContextRef>(&connection->service->secureContext))
        return kAFCInvalidArgumentError;
    connection->secureContextSet.store(true);
    return kAFCSuccess;
}

AFCError AFCDirectoryOpen(AFCConnectionRef ref, const char *path, AFCDirectoryRef *directory)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!validPath(path) || !directory)
        return kAFCInvalidArgumentError;
    char **list = nullptr;
    const afc_error_t answer = afc_read_directory(connection->afc, path, &list);
    if (answer != AFC_E_SUCCESS) {
        afc_dictionary_free(list);
        if (answer == AFC_E_OBJECT_NOT_FOUND || codeForAfc(answer) == kAMDNotConnectedError)
            return codeForAfc(answer);
        // A device refuses to list a file with a read error: say what it is.
        char **info = nullptr;
        const bool isItem = afc_get_file_info(connection->afc, path, &info) == AFC_E_SUCCESS;
        bool isFolder = false;
        const std::vector<std::string> items = strings(info);
        for (size_t i = 0; i + 1 < items.size(); i += 2)
            if (items[i] == "st_ifmt")
                isFolder = items[i + 1] == "S_IFDIR";
        afc_dictionary_free(info);
        return isItem && !isFolder ? kAFCNotADirectoryError : codeForAfc(answer);
    }
    auto names = std::make_unique<RealList>();
    for (const std::string &name : strings(list)) {
        if (name.empty() || name.find('/') != std::string::npos)
            continue;
        names->names.push_back(name);
    }
    afc_dictionary_free(list);
    lists().add(names.get());
    *directory = reinterpret_cast<AFCDirectoryRef>(names.release());
    return kAFCSuccess;
}

AFCError AFCDirectoryRead(AFCConnectionRef, AFCDirectoryRef directory, char **name)
{
    auto *names = reinterpret_cast<RealList *>(directory);
    if (!lists().contains(names) || !name)
        return kAFCInvalidArgumentError;
    *name = names->next < names->names.size() ? names->names[names->next++].data() : nullptr;
    return kAFCSuccess;
}

AFCError AFCDirectoryClose(AFCConnectionRef, AFCDirectoryRef directory)
{
    auto *names = reinterpret_cast<RealList *>(directory);
    if (!lists().remove(names))
        return kAFCInvalidArgumentError;
    delete names;
    return kAFCSuccess;
}

AFCError AFCDirectoryCreate(AFCConnectionRef ref, const char *path)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!validPath(path))
        return kAFCInvalidArgumentError;
    return codeForAfc(afc_make_directory(connection->afc, path));
}

AFCError AFCFileInfoOpen(AFCConnectionRef ref, const char *path, AFCDictionaryRef *info)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!validPath(path) || !info)
        return kAFCInvalidArgumentError;
    char **list = nullptr;
    const afc_error_t answer = afc_get_file_info(connection->afc, path, &list);
    if (answer != AFC_E_SUCCESS || !list) {
        afc_dictionary_free(list);
        return answer == AFC_E_SUCCESS ? kAFCObjectNotFoundError : codeForAfc(answer);
    }
    *info = newPairs(list);
    afc_dictionary_free(list);
    return kAFCSuccess;
}

AFCError AFCDeviceInfoOpen(AFCConnectionRef ref, AFCDictionaryRef *info)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!info)
        return kAFCInvalidArgumentError;
    char **list = nullptr;
    const afc_error_t answer = afc_get_device_info(connection->afc, &list);
    if (answer != AFC_E_SUCCESS) {
        afc_dictionary_free(list);
        return codeForAfc(answer);
    }
    *info = newPairs(list);
    afc_dictionary_free(list);
    return kAFCSuccess;
}

AFCError AFCKeyValueRead(AFCDictionaryRef info, char **key, char **value)
{
    auto *pairs = reinterpret_cast<RealPairs *>(info);
    if (!pairLists().contains(pairs) || !key || !value)
        return kAFCInvalidArgumentError;
    if (pairs->next >= pairs->pairs.size()) {
        *key = *value = nullptr;
        return kAFCSuccess;
    }
    auto &pair = pairs->pairs[pairs->next++];
    *key = pair.first.data();
    *value = pair.second.data();
    return kAFCSuccess;
}

AFCError AFCKeyValueClose(AFCDictionaryRef info)
{
    auto *pairs = reinterpret_cast<RealPairs *>(info);
    if (!pairLists().remove(pairs))
        return kAFCInvalidArgumentError;
    delete pairs;
    return kAFCSuccess;
}

AFCError AFCFileRefOpen(AFCConnectionRef ref, const char *path, uint64_t mode, AFCFileRef *file)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!validPath(path) || !file || mode < kAFCFileModeRead || mode > kAFCFileModeReadAppend)
        return kAFCInvalidArgumentError;
    uint64_t handle = 0;
    const afc_error_t answer = afc_file_open(connection->afc, path, afc_file_mode_t(mode), &handle);
    if (answer != AFC_E_SUCCESS)
        return codeForAfc(answer);
    if (handle == 0) {
        afc_file_close(connection->afc, handle);
        return kAFCUnknownError; // 0 is never a reference the program may hold
    }
    *file = handle;
    return kAFCSuccess;
}

AFCError AFCFileRefRead(AFCConnectionRef ref, AFCFileRef file, void *buffer, uint32_t *length)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!buffer || !length)
        return kAFCInvalidArgumentError;
    uint32_t got = 0;
    const afc_error_t answer = afc_file_read(connection->afc, file, static_cast<char *>(buffer), *length, &got);
    if (answer != AFC_E_SUCCESS) {
        *length = 0;
        return codeForAfc(answer);
    }
    *length = got <= *length ? got : 0; // never more than the buffer holds
    return kAFCSuccess;
}

AFCError AFCFileRefWrite(AFCConnectionRef ref, AFCFileRef file, const void *buffer, uint32_t length)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!buffer && length)
        return kAFCInvalidArgumentError;
    const char *bytes = static_cast<const char *>(buffer);
    while (length > 0) {
        uint32_t written = 0;
        const afc_error_t answer = afc_file_write(connection->afc, file, bytes, length, &written);
        if (answer != AFC_E_SUCCESS)
            return codeForAfc(answer);
        if (written == 0 || written > length)
            return kAFCWriteError;
        bytes += written;
        length -= written;
    }
    return kAFCSuccess;
}

AFCError AFCFileRefSeek(AFCConnectionRef ref, AFCFileRef file, int64_t offset, uint64_t whence)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (whence > kAFCSeekEnd)
        return kAFCInvalidArgumentError;
    return codeForAfc(afc_file_seek(connection->afc, file, offset, int(whence)));
}

AFCError AFCFileRefClose(AFCConnectionRef ref, AFCFileRef file)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    return codeForAfc(afc_file_close(connection->afc, file));
}

AFCError AFCRemovePath(AFCConnectionRef ref, const char *path)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!validPath(path))
        return kAFCInvalidArgumentError;
    return codeForAfc(afc_remove_path(connection->afc, path));
}

AFCError AFCRenamePath(AFCConnectionRef ref, const char *from, const char *to)
{
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    if (!validPath(from) || !validPath(to))
        return kAFCInvalidArgumentError;
    return codeForAfc(afc_rename_path(connection->afc, from, to));
}

AFCOperationRef AFCOperationCreateSetModTime(const char *path, uint64_t nanoseconds)
{
    if (!validPath(path))
        return nullptr;
    auto operation = std::make_unique<RealOperation>();
    operation->path = path;
    operation->nanoseconds = nanoseconds;
    realOperations().add(operation.get());
    return reinterpret_cast<AFCOperationRef>(operation.release());
}

void AFCOperationRelease(AFCOperationRef ref)
{
    auto *operation = reinterpret_cast<RealOperation *>(ref);
    if (realOperations().remove(operation))
        delete operation;
}

AFCError AFCConnectionProcessOperation(AFCConnectionRef ref, AFCOperationRef op, double)
{
    auto *operation = reinterpret_cast<RealOperation *>(op);
    if (!realOperations().contains(operation))
        return kAFCInvalidArgumentError;
    AFCError error;
    std::unique_lock<std::mutex> lock;
    RealFileConnection *connection = enterFiles(ref, error, lock);
    if (!connection)
        return error;
    return codeForAfc(afc_set_file_time(connection->afc, operation->path.c_str(), operation->nanoseconds));
}

} // namespace mobiledevice::real
