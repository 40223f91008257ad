#include "BackupPeer.h"

#include "BackupEncryption.h"
#include "PersonalData.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace mobiledevice {

namespace {

constexpr size_t kStreamChunk = 256 * 1024;
constexpr size_t kMaxRestoreFile = size_t(1) << 30;
// The older protocol waits this long for the host to confirm a file before giving up.
constexpr auto kFileReceivedWait = std::chrono::seconds(120);
constexpr uint32_t kFileClass = 3;
constexpr uint32_t kManifestKeyClass = 4;

plist_t dataNode(const std::string &bytes)
{
    return plist_new_data(bytes.data(), bytes.size());
}

std::string binaryPlist(plist_t node)
{
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::string out = bytes ? std::string(bytes, length) : std::string();
    std::free(bytes);
    return out;
}

plist_t response(long long code, const std::string &description)
{
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "MessageName", plist_new_string("Response"));
    plist_dict_set_item(message, "ErrorCode", plist_new_uint(uint64_t(code)));
    if (!description.empty())
        plist_dict_set_item(message, "ErrorDescription", plist_new_string(description.c_str()));
    return message;
}

plist_t olderMessage(const char *type)
{
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "BackupMessageTypeKey", plist_new_string(type));
    return message;
}

bool isRegularFile(const fs::path &path)
{
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(path, ec));
}

// Manifest.db of every file, written at `path`.
bool writeManifestDb(const std::string &path, const std::vector<PersonalFile> &files,
                     const std::map<std::string, std::string> &keys)
{
    std::remove(path.c_str());
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    bool ok = sqlite3_exec(db,
                           "PRAGMA synchronous=OFF;"
                           "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
                           "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
                           "BEGIN;",
                           nullptr, nullptr, nullptr)
              == SQLITE_OK;
    sqlite3_stmt *insert = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO Files VALUES (?, ?, ?, 1, ?)", -1, &insert, nullptr) == SQLITE_OK;
    for (const PersonalFile &file : files) {
        if (!ok)
            break;
        auto key = keys.find(file.fileID);
        const std::string record =
            mbFileRecord(kFileClass, key == keys.end() ? std::string() : key->second, file.relativePath, file.size);
        sqlite3_bind_text(insert, 1, file.fileID.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, file.domain.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, file.relativePath.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 4, record.data(), int(record.size()), SQLITE_TRANSIENT);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

} // namespace

BackupPeer::BackupPeer(SimDevice *device, bool older, Post post)
    : mDevice(device)
    , mOlder(older)
    , mPost(std::move(post))
    , mUniqueDeviceID(device->uniqueDeviceID())
{
}

BackupPeer::~BackupPeer()
{
    stop();
}

BackupPeer::Faults BackupPeer::faults()
{
    Faults result;
    PlistPtr root = readPlistFile(mDevice->path("faults.plist"));
    plist_t backup = plistDict(root.get(), "Backup");
    if (!backup)
        return result;
    result.errorCode = plistInteger(backup, "ErrorCode");
    result.errorDescription = plistString(backup, "ErrorDescription");
    result.disconnectAfterFiles = plistInteger(backup, "DisconnectAfterFiles", -1);
    result.stallAfterFiles = plistInteger(backup, "StallAfterFiles", -1);
    result.fileDelayMs = plistInteger(backup, "FileDelayMilliseconds");
    result.refuse = plistBool(backup, "Refuse");
    return result;
}

void BackupPeer::postMessage(plist_t message)
{
    LinkEvent event;
    event.slot = kSlotProcessMessage;
    event.message.reset(message);
    mPost(std::move(event));
}

void BackupPeer::startWorker(std::function<void()> work)
{
    if (mWorker.joinable())
        return; // one backup per connection
    mWorker = std::thread(std::move(work));
}

bool BackupPeer::pause(long long ms)
{
    std::unique_lock lock(mMutex);
    if (ms > 0)
        mWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mStopping; });
    return !mStopping;
}

void BackupPeer::stall()
{
    std::unique_lock lock(mMutex);
    mWake.wait(lock, [this] { return mStopping; });
}

void BackupPeer::stop()
{
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    if (mWorker.joinable() && mWorker.get_id() != std::this_thread::get_id())
        mWorker.join();
}

AMDError BackupPeer::handle(plist_t message)
{
    if (!message || plist_get_node_type(message) != PLIST_DICT)
        return kAMDInvalidArgumentError;
    if (!mOlder) {
        const std::string name = plistString(message, "MessageName");
        if (name == "Hello") {
            postMessage(response(0, {}));
        } else if (name == "Backup") {
            startWorker([this] { sendCurrentBackup(); });
        } else {
            postMessage(response(1, "Unsupported message: " + name));
        }
        return kAMDSuccess;
    }
    const std::string type = plistString(message, "BackupMessageTypeKey");
    if (type == "BackupMessageBackupRequest") {
        if (faults().refuse) {
            postMessage(olderMessage("BackupMessageBackupReplyRefused"));
        } else {
            plist_t reply = olderMessage("BackupMessageBackupReplyOK");
            plist_dict_set_item(reply, "BackupProtocolVersion", plist_new_string("1.6"));
            postMessage(reply);
        }
    } else if (type == "BackupMessageBackupReplyOK") {
        startWorker([this] { streamOlderBackup(); });
    } else if (type == "kBackupMessageBackupFileReceived") {
        {
            std::lock_guard lock(mMutex);
            ++mAcknowledged;
        }
        mWake.notify_all();
    } else if (type == "kBackupMessageRestoreRequest") {
        rememberRestoreLengths(message);
        postMessage(olderMessage("BackupMessageRestoreReplyOK"));
    } else if (type == "BackupMessageRestoreComplete") {
        // Nothing more to say: every file was written as it arrived.
    } else {
        return kAMDInvalidArgumentError;
    }
    return kAMDSuccess;
}

namespace {

// Checkpoints the database at `path` into its own file when it has a write-ahead log, then
// removes the log and the shared-memory file. Nothing for a file that is no database.
void retireJournals(const std::string &path)
{
    const std::string wal = path + "-wal", shm = path + "-shm";
    std::error_code ec;
    if (fs::exists(wal, ec) && fs::is_regular_file(path, ec)) {
        sqlite3 *db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        sqlite3_close_v2(db);
    }
    fs::remove(wal, ec);
    fs::remove(shm, ec);
}

} // namespace

void BackupPeer::rememberRestoreLengths(plist_t request)
{
    std::map<std::string, uint64_t> lengths;
    plist_t manifest = plist_dict_get_item(request, "BackupManifestKey");
    plist_t data = manifest && plist_get_node_type(manifest) == PLIST_DICT ? plist_dict_get_item(manifest, "Data") : nullptr;
    if (data && plist_get_node_type(data) == PLIST_DATA) {
        char *raw = nullptr;
        uint64_t size = 0;
        plist_get_data_val(data, &raw, &size);
        plist_t signedPart = nullptr;
        if (raw && size > 0 && size < kMaxRestoreFile)
            plist_from_memory(raw, uint32_t(size), &signedPart);
        std::free(raw);
        PlistPtr owned(signedPart);
        plist_t files = signedPart && plist_get_node_type(signedPart) == PLIST_DICT
                            ? plist_dict_get_item(signedPart, "Files") : nullptr;
        plist_dict_iter it = nullptr;
        if (files && plist_get_node_type(files) == PLIST_DICT)
            plist_dict_new_iter(files, &it);
        for (;;) {
            char *key = nullptr;
            plist_t record = nullptr;
            if (!it)
                break;
            plist_dict_next_item(files, it, &key, &record);
            if (!key)
                break;
            plist_t length = record && plist_get_node_type(record) == PLIST_DICT ? plist_dict_get_item(record, "FileLength")
                                                                                 : nullptr;
            if (length && plist_get_node_type(length) == PLIST_UINT) {
                uint64_t value = 0;
                plist_get_uint_val(length, &value);
                lengths[key] = value;
            }
            std::free(key);
        }
        std::free(it);
    }
    std::lock_guard lock(mMutex);
    mRestoreLengths = std::move(lengths);
}

AMDError BackupPeer::receiveFile(const char *path, plist_t options)
{
    std::string bytes;
    if (!path || !readRegularFile(path, kMaxRestoreFile, bytes))
        return kAMDInvalidArgumentError;
    std::string relativePath = plistString(options, "Path");
    std::string domain = plistString(options, "Domain", "HomeDomain");
    if (relativePath.empty()) {
        // The older method sends the file record itself: {"Path", "Data", ...}.
        plist_t record = nullptr;
        plist_from_memory(bytes.data(), uint32_t(bytes.size()), &record);
        PlistPtr owned(record);
        relativePath = plistString(record, "Path");
        plist_t data = record ? plist_dict_get_item(record, "Data") : nullptr;
        if (!data || plist_get_node_type(data) != PLIST_DATA)
            return kAMDInvalidArgumentError;
        char *raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(data, &raw, &length);
        bytes.assign(raw ? raw : "", size_t(length));
        std::free(raw);
    }
    if (!safeRelativePath(relativePath) || !safeRelativePath(domain))
        return kAMDInvalidArgumentError;
    {
        // A file whose length differs from what the restore's manifest said is refused.
        std::lock_guard lock(mMutex);
        const auto announced = mRestoreLengths.find(sha1Hex(relativePath));
        if (announced != mRestoreLengths.end() && announced->second != bytes.size())
            return kAMDInvalidArgumentError;
    }
    const fs::path target = fs::path(mDevice->folder()) / "personal" / domain / relativePath;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    const std::string staging = target.string() + ".restoring";
    {
        std::ofstream out(staging, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            std::remove(staging.c_str());
            return kAMDUndefinedError;
        }
    }
    // The new file is a database complete in itself: journals of the one it replaces must
    // not stay beside it, or the next open would apply them to it. They are folded into the
    // old database first, so a restore cut short at any point leaves the old database whole
    // or the new one in place.
    retireJournals(target.string());
    if (std::rename(staging.c_str(), target.c_str()) != 0) {
        std::remove(staging.c_str());
        return kAMDUndefinedError;
    }
    postMessage(olderMessage("BackupMessageRestoreFileReceived"));
    return kAMDSuccess;
}

void BackupPeer::sendCurrentBackup()
{
    const Faults fault = faults();
    const std::vector<PersonalFile> files = listPersonalFiles(mDevice->folder());
    SharedPlist settings = mDevice->settings();
    const std::string password = plistString(settings.get(), "BackupPassword");
    const long long iterations = plistInteger(settings.get(), "BackupPasswordIterations", 1000);
    const fs::path root(mRoot);

    // A file whose place in the host's folder is taken is one the host has: the host
    // knocked the wanted ones out, so only those (and anything new) are sent.
    std::vector<const PersonalFile *> toSend;
    uint64_t bytes = 0;
    for (const PersonalFile &file : files) {
        if (!isRegularFile(root / file.fileID.substr(0, 2) / file.fileID)) {
            toSend.push_back(&file);
            bytes += file.size;
        }
    }
    if (fault.errorCode) {
        std::string description = fault.errorDescription;
        if (description.empty() && (fault.errorCode == 104 || fault.errorCode == 105))
            description = "Insufficient free disk space on drive to back up <" + std::to_string(bytes) + " + "
                          + std::to_string(1024 * 1024) + ") bytes needed) for this backup";
        postMessage(response(fault.errorCode, description));
        return;
    }

    std::optional<DeviceKeybag> bag;
    if (!password.empty())
        bag = makeKeybag(password, mUniqueDeviceID, uint32_t(std::clamp(iterations, 1LL, 10'000'000LL)));
    std::map<std::string, std::string> keys; // file id -> class + wrapped key
    long long sent = 0;
    for (const PersonalFile *file : toSend) {
        if (fault.disconnectAfterFiles == sent) {
            mPost(LinkEvent{kSlotConnectionLost, {}, {}, {}, 0});
            return;
        }
        if (fault.stallAfterFiles == sent) {
            stall();
            return;
        }
        if (!pause(fault.fileDelayMs))
            return;
        const fs::path folder = root / file->fileID.substr(0, 2);
        std::error_code ec;
        fs::create_directories(folder, ec);
        const fs::path destination = folder / file->fileID;
        const std::string staging = destination.string() + ".sending";
        bool ok = false;
        if (bag) {
            const std::string fileKey = randomBytes(32);
            keys[file->fileID] = le32(kFileClass) + wrapKey(fileKey, bag->classKeys[kFileClass]);
            ok = encryptFile(file->fullPath, staging, fileKey);
        } else {
            ok = fs::copy_file(file->fullPath, staging, fs::copy_options::overwrite_existing, ec);
        }
        if (!ok || std::rename(staging.c_str(), destination.c_str()) != 0) {
            std::remove(staging.c_str());
            postMessage(response(102, "Could not write " + file->relativePath));
            return;
        }
        ++sent;
        LinkEvent progress;
        progress.slot = kSlotProgress;
        progress.number = 100.0 * double(sent) / double(toSend.size());
        mPost(std::move(progress));
    }
    if (fault.disconnectAfterFiles == sent) {
        mPost(LinkEvent{kSlotConnectionLost, {}, {}, {}, 0});
        return;
    }
    if (fault.stallAfterFiles == sent) {
        stall();
        return;
    }
    if (bag) {
        for (const PersonalFile &file : files)
            if (!keys.count(file.fileID))
                keys[file.fileID] = le32(kFileClass) + wrapKey(randomBytes(32), bag->classKeys[kFileClass]);
    }

    const std::string manifestPath = (root / "Manifest.db").string();
    const std::string plainPath = manifestPath + ".plain";
    bool ok = writeManifestDb(plainPath, files, keys);
    plist_t manifest = plist_new_dict();
    plist_dict_set_item(manifest, "Version", plist_new_string("10.0"));
    plist_dict_set_item(manifest, "IsEncrypted", plist_new_bool(bag ? 1 : 0));
    if (ok && bag) {
        const std::string manifestKey = randomBytes(32);
        ok = encryptFile(plainPath, manifestPath, manifestKey);
        std::remove(plainPath.c_str());
        plist_dict_set_item(manifest, "BackupKeyBag", dataNode(bag->blob));
        plist_dict_set_item(manifest, "ManifestKey",
                            dataNode(le32(kManifestKeyClass) + wrapKey(manifestKey, bag->classKeys[kManifestKeyClass])));
    } else if (ok) {
        ok = std::rename(plainPath.c_str(), manifestPath.c_str()) == 0;
    }
    ok = ok && writePlistFile((root / "Manifest.plist").string(), manifest);
    plist_free(manifest);

    plist_t status = plist_new_dict();
    plist_dict_set_item(status, "Version", plist_new_string("3.3"));
    plist_dict_set_item(status, "BackupState", plist_new_string("new"));
    plist_dict_set_item(status, "SnapshotState", plist_new_string("finished"));
    plist_dict_set_item(status, "IsFullBackup", plist_new_bool(0));
    // When the backup was made, as a device writes it: seconds since 1 January 2001.
    constexpr long long kSecondsFrom1970To2001 = 978307200;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    plist_dict_set_item(status, "Date", plist_new_date(int32_t(now - kSecondsFrom1970To2001), 0));
    ok = ok && writePlistFile((root / "Status.plist").string(), status);
    plist_free(status);

    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "Target Identifier", plist_new_string(mUniqueDeviceID.c_str()));
    plist_dict_set_item(info, "Unique Identifier", plist_new_string(mUniqueDeviceID.c_str()));
    for (const auto &[infoKey, valueKey] : {std::pair{"Device Name", "DeviceName"}, std::pair{"Display Name", "DeviceName"},
                                             std::pair{"Product Type", "ProductType"},
                                             std::pair{"Serial Number", "SerialNumber"}}) {
        if (plist_t value = mDevice->copyValue(nullptr, valueKey))
            plist_dict_set_item(info, infoKey, value);
    }
    ok = ok && writePlistFile((root / "Info.plist").string(), info);
    plist_free(info);

    postMessage(ok ? response(0, {}) : response(102, "Could not write the manifest"));
}

bool BackupPeer::waitForFileReceived(long long files)
{
    // Counted from the stream's start: the host may confirm a file before this thread gets
    // here, and a wait for "one more than now" would then wait for a confirmation that
    // never comes.
    std::unique_lock lock(mMutex);
    mWake.wait_for(lock, kFileReceivedWait, [&] { return mStopping || mAcknowledged >= files; });
    return !mStopping && mAcknowledged >= files;
}

void BackupPeer::streamOlderBackup()
{
    const Faults fault = faults();
    const std::vector<PersonalFile> files = listPersonalFiles(mDevice->folder());
    uint64_t total = 0;
    for (const PersonalFile &file : files)
        total += file.size;
    {
        std::lock_guard lock(mMutex);
        mAcknowledged = 0;
    }
    {
        LinkEvent event;
        event.slot = kSlotFileData;
        event.info.reset(plist_new_dict());
        plist_dict_set_item(event.info.get(), "BackupTotalSizeKey", plist_new_uint(total));
        mPost(std::move(event));
    }
    long long sent = 0;
    for (const PersonalFile &file : files) {
        if (fault.disconnectAfterFiles == sent) {
            mPost(LinkEvent{kSlotConnectionLost, {}, {}, {}, 0});
            return;
        }
        if (fault.stallAfterFiles == sent) {
            stall();
            return;
        }
        if (!pause(fault.fileDelayMs))
            return;
        plist_t metadata = plist_new_dict();
        plist_dict_set_item(metadata, "Domain", plist_new_string(file.domain.c_str()));
        plist_dict_set_item(metadata, "Path", plist_new_string(file.relativePath.c_str()));
        const std::string metadataBytes = binaryPlist(metadata);
        plist_free(metadata);

        std::ifstream in(file.fullPath, std::ios::binary);
        uint64_t offset = 0;
        std::string chunk(kStreamChunk, '\0');
        bool last = false;
        while (!last) {
            in.read(chunk.data(), std::streamsize(chunk.size()));
            const auto got = size_t(std::max<std::streamsize>(in.gcount(), 0));
            last = !in || offset + got >= file.size;
            LinkEvent event;
            event.slot = kSlotFileData;
            event.message.reset(plist_new_data(chunk.data(), got));
            event.bytes = got;
            event.info.reset(plist_new_dict());
            plist_t info = event.info.get();
            plist_dict_set_item(info, "Path", plist_new_string(file.relativePath.c_str()));
            plist_dict_set_item(info, "DLFileStatusKey", plist_new_uint(last ? 2 : 1));
            plist_dict_set_item(info, "DLFileOffsetKey", plist_new_uint(offset));
            plist_t attributes = plist_new_dict();
            plist_dict_set_item(attributes, "FileSize", plist_new_uint(file.size));
            plist_dict_set_item(info, "DLFileAttributesKey", attributes);
            plist_t fileInfo = plist_new_dict();
            plist_dict_set_item(fileInfo, "Metadata", dataNode(metadataBytes));
            plist_dict_set_item(info, "BackupFileInfo", fileInfo);
            mPost(std::move(event));
            offset += got;
            if (!pause(0))
                return;
        }
        ++sent;
        if (!waitForFileReceived(sent))
            return;
    }
    plist_t finished = olderMessage("BackupMessageBackupFinished");
    plist_t manifest = plist_new_dict();
    plist_dict_set_item(manifest, "AuthVersion", plist_new_string("1.0"));
    plist_dict_set_item(finished, "BackupManifestKey", manifest);
    postMessage(finished);
}

} // namespace mobiledevice
