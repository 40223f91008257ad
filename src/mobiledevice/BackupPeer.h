#pragma once
// The device's side of a device-link backup connection: the current protocol
// ("com.apple.mobilebackup2": Hello, Backup) and the older one ("com.apple.mobilebackup":
// backup request, streamed files, restore). It answers through `post`, which queues events
// for the program's thread; it never runs program code itself.
//
// A backup runs on the peer's own worker thread (the device "sending"); stop() ends it and
// waits for it. The faults a test asks for come from the "Backup" dictionary of the device's
// faults.plist (docs/simulated-device.md).
//
// Threads: handle(), receiveFile() and stop() come from the program's thread, one at a time.

#include "LinkEvent.h"
#include "SimDevice.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace mobiledevice {

class BackupPeer
{
public:
    using Post = std::function<void(LinkEvent)>;
    BackupPeer(SimDevice *device, bool older, Post post);
    ~BackupPeer();

    void setRoot(const std::string &root) { mRoot = root; }
    // A message from the host. kAMDSuccess, or an error when the connection cannot take it.
    AMDError handle(plist_t message);
    // The host offers a file (restore).
    AMDError receiveFile(const char *path, plist_t options);
    // The host asked to stop (cancel query answered yes, disconnect).
    void stop();

private:
    struct Faults
    {
        long long errorCode = 0;
        std::string errorDescription;
        long long disconnectAfterFiles = -1;
        long long stallAfterFiles = -1;
        long long fileDelayMs = 0;
        bool refuse = false;
    };
    Faults faults();
    void postMessage(plist_t message); // takes ownership
    void startWorker(std::function<void()> work);
    // Waits `ms` or until stopped; false when stopped.
    bool pause(long long ms);
    // Stalls until stopped.
    void stall();

    void sendCurrentBackup();
    void streamOlderBackup();
    // Waits until the host has confirmed `files` files of this stream; false when stopped.
    bool waitForFileReceived(long long files);
    // Keeps each file's "FileLength" from a restore request's signed manifest.
    void rememberRestoreLengths(plist_t request);

    SimDevice *mDevice;
    bool mOlder;
    Post mPost;
    std::string mRoot;
    std::string mUniqueDeviceID;
    std::thread mWorker;
    std::mutex mMutex;
    std::condition_variable mWake;
    bool mStopping = false;      // mMutex
    long long mAcknowledged = 0; // mMutex: files the host confirmed of this stream (older protocol)
    // mMutex: the lengths the last restore request's manifest gave, by the SHA-1 (hex) of the path.
    std::map<std::string, uint64_t> mRestoreLengths;
};

} // namespace mobiledevice
