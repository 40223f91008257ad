#include "device/FolderSizer.h"

#include "device/AppController.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace FolderSizer {
namespace {

struct Worker
{
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    bool started = false;
    bool quit = false;
    // The request waiting to be walked (number 0: none).
    uint64_t pendingNumber = 0;
    QString pendingPath;
    AppController *pendingDevice = nullptr;
    std::atomic<uint64_t> current{0};
};

Worker &worker()
{
    static Worker instance;
    return instance;
}

void run()
{
    Worker &w = worker();
    for (;;) {
        uint64_t number = 0;
        QString path;
        AppController *device = nullptr;
        {
            std::unique_lock guard(w.lock);
            w.wake.wait(guard, [&] { return w.quit || w.pendingNumber != 0; });
            if (w.quit)
                return;
            number = std::exchange(w.pendingNumber, 0);
            path = w.pendingPath;
            device = w.pendingDevice;
        }
        if (number != w.current.load() || !device)
            continue;
        const uint64_t bytes = device->getFileSize(path, false);
        // A request that came meanwhile stopped this walk: its total is short, never shown.
        if (number != w.current.load())
            continue;
        const QString text = AppController::getSizeText(bytes);
        MainThread::performOnMainThread([number, path, text] {
            if (number != worker().current.load())
                return;
            NotificationCenter::defaultCenter().postNotificationName(
                NotificationNames::UpdateStatusTextWithSize, nullptr, {{QStringLiteral("path"), path}, {QStringLiteral("size"), text}});
        });
    }
}

} // namespace

uint64_t request(AppController &device, const QString &browserPath)
{
    Worker &w = worker();
    std::lock_guard guard(w.lock);
    const uint64_t number = ++w.current;
    device.stopFindingFileSize();
    w.pendingNumber = number;
    w.pendingPath = browserPath;
    w.pendingDevice = &device;
    if (!w.started) {
        try {
            w.thread = std::thread(run);
            w.started = true;
        } catch (const std::system_error &error) {
            VarnekLog("size worker: no thread (%s)", error.what());
            w.pendingNumber = 0;
            return number;
        }
    }
    w.wake.notify_one();
    return number;
}

void stop(AppController &device)
{
    Worker &w = worker();
    std::lock_guard guard(w.lock);
    ++w.current;
    w.pendingNumber = 0;
    device.stopFindingFileSize();
}

uint64_t currentRequest()
{
    return worker().current.load();
}

void shutdown()
{
    Worker &w = worker();
    {
        std::lock_guard guard(w.lock);
        if (!w.started)
            return;
        w.quit = true;
        ++w.current;
        if (w.pendingDevice)
            w.pendingDevice->stopFindingFileSize();
        w.pendingNumber = 0;
    }
    w.wake.notify_one();
    w.thread.join();
    std::lock_guard guard(w.lock);
    w.started = false;
    w.quit = false;
    w.pendingDevice = nullptr;
}

} // namespace FolderSizer
