// The device controller's start of device handling: the archive read on a worker, then (on
// the main thread) the framework subscription, the endless device threads and the automatic
// device choice after the start-up wait.

#include "device/AppController.h"

#include "archive/QNArchive.h"
#include "device/DeviceTimings.h"
#include "device/MobileDeviceFramework.h"
#include "device/MobileDeviceRunLoopSource.h"
#include "interfaces/FRWindowHub.h"
#include "platform/QueuedCall.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

std::atomic<bool> gAFewSecondsHaveGoneBy{false};

void device_callback(const AMDeviceNotificationCallbackInfo *info, void *context)
{
    auto *controller = static_cast<AppController *>(context);
    // A framework without the unsubscribe entry point keeps calling a subscription that could
    // not be ended: only the live controller is reached (both are touched on the main thread
    // only, so the test cannot race the controller's end).
    if (!controller || controller != gSharedAppController.load())
        controller = context ? nullptr : gSharedAppController.load();
    if (!controller || !info)
        return;
    controller->handleDeviceNotification(info->device, info->message);
}

std::unique_ptr<QObject> AppController::makeMainContext()
{
    auto context = std::make_unique<QObject>();
    // Hand-overs run on the main thread whichever thread made the controller.
    if (QCoreApplication::instance())
        context->moveToThread(QCoreApplication::instance()->thread());
    return context;
}

void AppController::onMain(std::function<void()> work)
{
    QMetaObject::invokeMethod(mMainContext.get(), QueuedCall(std::move(work)), Qt::QueuedConnection);
}

void AppController::onMainAfter(int ms, std::function<void()> work)
{
    QObject *context = mMainContext.get();
    auto schedule = [context, ms, work = std::move(work)]() mutable {
        QTimer::singleShot(ms, context, std::move(work));
    };
    if (QThread::currentThread() == context->thread())
        schedule();
    else
        QMetaObject::invokeMethod(context, QueuedCall(std::move(schedule)), Qt::QueuedConnection);
}

AppController::Subscription::~Subscription()
{
    end();
}

void AppController::Subscription::end()
{
    if (ref && AMDeviceNotificationUnsubscribe)
        AMDeviceNotificationUnsubscribe(ref);
    ref = nullptr;
}

void AppController::loadDBsOnThread()
{
    if (mWindow)
        mWindow->initiateIndeterminateProgressAfterAFewSeconds(
            QCoreApplication::translate("AppController", "Please wait while the database is updated..."));
    mDeviceThreads.detach([this] { doLoadDB(); });
}

void AppController::doLoadDB()
{
    const QList<std::shared_ptr<QNArchive>> archives = QNArchive::getAllDevices();
    // The window and the archive list belong to the main thread; nothing here waits for it.
    onMain([this, archives] {
        if (mWindow)
            mWindow->setThreadRunning(false);
        finishSettingUp(archives);
    });
}

bool AppController::subscribeToDevices()
{
    AMDeviceNotificationRef subscription = nullptr;
    const AMDError result = AMDeviceNotificationSubscribe(device_callback, 0, 0, this, &subscription);
    if (result) {
        VarnekLog("Note subscribe error %d", result);
        if (mWindow)
            mWindow->reportiTunes81Required();
        VarnekLog("AMDeviceNotificationSubscribe: %x", unsigned(result));
        return false;
    }
    mSubscription.end();
    mSubscription.ref = subscription;
    if (!mRunLoopSource)
        mRunLoopSource = std::make_unique<MobileDeviceRunLoopSource>();
    return true;
}

void AppController::finishSettingUp(const QList<std::shared_ptr<QNArchive>> &archives)
{
    setDevicesOnMain(archives);
    if (!AMDeviceNotificationSubscribe) {
        VarnekLog("No frameworks");
        if (mWindow)
            mWindow->reportiTunes81Required();
        VarnekLog("AMDeviceNotificationSubscribe: %x", 1u);
    } else if (subscribeToDevices()) {
        mDeviceThreads.startEndless([this] { wakeupDeviceOnThread(); },
                                    [] { return deviceTimings().wakeupIntervalMs.load(); });
        mDeviceThreads.startEndless([this] { freeSpaceRound(); },
                                    [] { return deviceTimings().freeSpaceIntervalMs.load(); });
        mWaitingForConnections.store(true);
        onMainAfter(deviceTimings().startupChoiceMs.load(), [this] { switchToDevice({}); });
        VarnekLog("AMDeviceNotificationSubscribe: %x", 0u);
        deviceStatusChanged(kStatusNone);
    }
    stopPollingBackupFolder();
    observeBackupFolder();
    startPollingBackupFolder();
    if (mWindow)
        mWindow->loadArchiveWindows();
}
