#include "TestWait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

int scaledTimeoutMs(int timeoutMs)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kSlowdown = 10;
#else
    constexpr int kSlowdown = 1;
#endif
    return timeoutMs * kSlowdown;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    timeoutMs = scaledTimeoutMs(timeoutMs);
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}
