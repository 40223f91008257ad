#include "NotificationCenter.h"

#include <QPointer>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

struct Observer
{
    NotificationCenter::Token token = 0;
    QString name;
    const void *object = nullptr;
    const QObject *receiver = nullptr;
    NotificationCenter::Callback callback;
    QMetaObject::Connection destroyedConnection;
    std::atomic<bool> alive{true};
};

} // namespace

struct NotificationCenter::Private
{
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Observer>> observers;
    Token nextToken = 1;

    // Called with `mutex` held; the caller disconnects and waits outside the lock.
    std::vector<std::shared_ptr<Observer>> takeIf(const std::function<bool(const Observer &)> &match)
    {
        std::vector<std::shared_ptr<Observer>> removed;
        for (auto it = observers.begin(); it != observers.end();) {
            if (match(**it)) {
                (*it)->alive.store(false);
                removed.push_back(*it);
                it = observers.erase(it);
            } else {
                ++it;
            }
        }
        return removed;
    }

    // Removal does not wait for a call already running on another thread: that thread may
    // itself be waiting for the remover's thread (a blocking perform on the main thread).
    static void retire(const std::vector<std::shared_ptr<Observer>> &removed)
    {
        for (const auto &observer : removed)
            QObject::disconnect(observer->destroyedConnection);
    }
};

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::NotificationCenter()
    : d(std::make_unique<Private>())
{}

NotificationCenter::~NotificationCenter()
{
    std::vector<std::shared_ptr<Observer>> all;
    {
        std::lock_guard lock(d->mutex);
        all.swap(d->observers);
    }
    for (const auto &observer : all)
        QObject::disconnect(observer->destroyedConnection);
}

NotificationCenter::Token NotificationCenter::addObserver(const QString &name, const void *object, Callback callback)
{
    return addObserver(nullptr, name, object, std::move(callback));
}

NotificationCenter::Token NotificationCenter::addObserver(QObject *receiver, const QString &name,
                                                          const void *object, Callback callback)
{
    auto observer = std::make_shared<Observer>();
    observer->name = name;
    observer->object = object;
    observer->receiver = receiver;
    observer->callback = std::move(callback);
    Token token = 0;
    {
        std::lock_guard lock(d->mutex);
        token = d->nextToken++;
        observer->token = token;
        d->observers.push_back(observer);
    }
    if (receiver) {
        // Direct: the receiver's observers must be gone before its destructor finishes,
        // whichever thread destroys it.
        observer->destroyedConnection = QObject::connect(
            receiver, &QObject::destroyed, receiver, [this, token] { removeObserver(token); },
            Qt::DirectConnection);
    }
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::vector<std::shared_ptr<Observer>> removed;
    {
        std::lock_guard lock(d->mutex);
        removed = d->takeIf([token](const Observer &o) { return o.token == token; });
    }
    Private::retire(removed);
}

void NotificationCenter::removeObserver(QObject *receiver, const QString &name, const void *object)
{
    if (!receiver)
        return;
    std::vector<std::shared_ptr<Observer>> removed;
    {
        std::lock_guard lock(d->mutex);
        removed = d->takeIf([&](const Observer &o) {
            return o.receiver == receiver && (name.isEmpty() || o.name == name)
                   && (!object || o.object == object);
        });
    }
    Private::retire(removed);
}

void NotificationCenter::postNotification(const Notification &notification)
{
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(d->mutex);
        for (const auto &observer : d->observers) {
            if ((observer->name.isEmpty() || observer->name == notification.name)
                && (!observer->object || observer->object == notification.object))
                matching.push_back(observer);
        }
    }
    for (const auto &observer : matching) {
        if (observer->alive.load())
            observer->callback(notification);
    }
}

void NotificationCenter::postNotificationName(const QString &name, const void *object, const QVariantMap &userInfo)
{
    postNotification(Notification{name, object, userInfo});
}

int NotificationCenter::observerCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->observers.size());
}
