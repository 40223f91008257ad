#include "MainThread.h"
#include "QueuedCall.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace MainThread {

bool isMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void performOnMainThread(std::function<void()> fn, bool waitUntilDone)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        qWarning("performOnMainThread without an application object: running in place");
        fn();
        return;
    }
    if (waitUntilDone && isMainThread()) {
        fn();
        return;
    }
    if (!waitUntilDone) {
        QMetaObject::invokeMethod(app, QueuedCall(std::move(fn)), Qt::QueuedConnection);
        return;
    }
    const char done = 0;
    QMetaObject::invokeMethod(app, QueuedCall(std::move(fn), &done), Qt::BlockingQueuedConnection);
    HandOver::acquire(&done);
}

void performAfterDelay(int delayMs, std::function<void()> fn, QObject *context)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        qWarning("performAfterDelay without an application object: running in place");
        fn();
        return;
    }
    QPointer<QObject> guard(context);
    const bool hasContext = context != nullptr;
    // The timer must be started by the main thread so that it fires there.
    auto start = [delayMs, fn = std::move(fn), guard, hasContext, app]() mutable {
        if (hasContext && !guard)
            return;
        QTimer::singleShot(qMax(0, delayMs), hasContext ? guard.data() : app, std::move(fn));
    };
    if (isMainThread())
        start();
    else
        QMetaObject::invokeMethod(app, QueuedCall(std::move(start)), Qt::QueuedConnection);
}

void serveWhileWaiting()
{
    if (isMainThread())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace MainThread
