#pragma once
// Delivers the device framework's callbacks on the thread that owns this object.
//
// The framework queues its notification callbacks and signals a file descriptor; this object
// watches the descriptor with a QSocketNotifier and runs the waiting callbacks in the owning
// thread's event loop. Made on the main thread right after a successful subscription, it
// makes device_callback arrive on the main thread, as the device controller expects.
//
// Needs a bound framework (bindMobileDeviceFramework). Ownership: an ordinary QObject child.

#include <QObject>

class QSocketNotifier;

class MobileDeviceRunLoopSource : public QObject
{
    Q_OBJECT
public:
    explicit MobileDeviceRunLoopSource(QObject *parent = nullptr);

    // Runs every callback waiting now (also usable without an event loop, e.g. in tests).
    int perform();

private:
    QSocketNotifier *mNotifier = nullptr;
};
