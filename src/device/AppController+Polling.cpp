// Free space: the endless free-space thread's round and the device-information reads
// behind it. The round never waits: it skips when a transfer or listing holds mLock, and it
// never connects (a reconnection takes seconds, and would hold mLock all that time).

#include "device/AppController.h"

#include "device/FileAccessSupport.h"
#include "device/MobileDeviceFramework.h"
#include "shell/VarnekLogger.h"

#include <cstring>

using Mode = DeviceFilesWindow::Mode;

void AppController::freeSpaceRound()
{
    if (mStatus.load() != kStatusConnected || !dev())
        return;
    const Mode mode = FileAccess::windowMode(*this);
    if (mode != Mode::Files && mode != Mode::FileSharing)
        return;
    std::unique_lock lock(mLock, std::try_to_lock);
    if (!lock.owns_lock() || !mConn || mErrorCode.load())
        return;
    mAFCFree.store(readFreeDeviceBytes(false));
    if (afc2Mode())
        mAFC2Free.store(readFreeDeviceBytes(true));
}

uint64_t AppController::doGetFreeDeviceBytes(bool wholeFilesystem)
{
    if (makeConnection())
        return 0;
    return readFreeDeviceBytes(wholeFilesystem);
}

uint64_t AppController::readFreeDeviceBytes(bool wholeFilesystem)
{
    bool ok = false;
    const uint64_t bytes = readDeviceAttribute(wholeFilesystem ? "FSFreeBytes2" : "FSFreeBytes").toULongLong(&ok);
    if (!ok || bytes <= kFreeSpaceReserve)
        return 0;
    return bytes - kFreeSpaceReserve;
}

uint64_t AppController::getFreeDeviceBytes(bool wholeFilesystem) const
{
    return wholeFilesystem ? mAFC2Free.load() : mAFCFree.load();
}

uint64_t AppController::getFreeBytes() const
{
    const DeviceFilesWindow *window = FileAccess::filesWindow(*this);
    return !window || window->selectionIsInUserArea() ? mLastFreeBytes.load() : mLastFreeBytesAfc2.load();
}

QString AppController::getDeviceAttribute(const char *key)
{
    if (makeConnection())
        return {};
    return readDeviceAttribute(key);
}

QString AppController::readDeviceAttribute(const char *key)
{
    std::lock_guard lock(mLock);
    AFCConnectionRef connection = mConn;
    const char *wanted = key;
    if (std::strcmp(key, "FSFreeBytes2") == 0) {
        wanted = "FSFreeBytes";
        if (mConn2)
            connection = mConn2;
    }
    if (!connection || !AFCDeviceInfoOpen)
        return {};
    AFCDictionaryRef info = nullptr;
    const AFCError opened = AFCDeviceInfoOpen(connection, &info);
    if (opened || !info) {
        VarnekLog("AFCDeviceInfoOpen err: %d\n", opened);
        return {};
    }
    QString value;
    for (;;) {
        char *name = nullptr;
        char *text = nullptr;
        const AFCError error = AFCKeyValueRead(info, &name, &text);
        if (error || !name || !text) {
            VarnekLog("AFCKeyValueRead err: %d\n", error);
            break;
        }
        if (std::strcmp(name, wanted) == 0) {
            value = QString::fromUtf8(text);
            break;
        }
    }
    AFCKeyValueClose(info);
    return value;
}
