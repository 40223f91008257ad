#pragma once
// The process-wide notification center: posts by name with an optional sender and a
// dictionary of user info, delivered to every matching observer.
//
// Delivery is synchronous, on the poster's thread, in the order observers were added, like
// the host's default center; an observer that must touch widgets re-posts to the main
// thread itself (MainThread.h). An observer matches when its name is empty or equal and its
// object is null or the sender.
//
// Observers are std::function callbacks identified by a token, optionally tied to a QObject
// receiver: all of a receiver's observers go away when it is destroyed or removed.
// Registration and removal are thread-safe and may happen from inside a callback. An
// observer removed on the posting thread (or before a post starts) is not called again; a
// call already running on another thread is not waited for, as with the host's center, so
// an observer tied to a receiver should be removed on the thread that posts to it. The
// center holds no lock while it calls an observer.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>

struct Notification
{
    QString name;
    const void *object = nullptr; // the sender, compared by address only
    QVariantMap userInfo;
};

// Names used across subsystems, spelled as the design spells them.
namespace NotificationNames {
inline const QString QNArchiveEdited = QStringLiteral("QNArchiveEdited");
inline const QString BackupFolderUpdated = QStringLiteral("BackupFolderUpdated");
inline const QString BackupUpdated = QStringLiteral("BackupUpdated");
inline const QString UpdateStatusTextWithSize = QStringLiteral("UpdateStatusTextWithSize");
inline const QString DragMoveFinished = QStringLiteral("DragMoveFinished");
inline const QString FRHTMLRenderFinished = QStringLiteral("FRHTMLRenderFinished");
} // namespace NotificationNames

class NotificationCenter
{
public:
    using Callback = std::function<void(const Notification &)>;
    using Token = std::uint64_t; // never 0 for a registered observer

    static NotificationCenter &defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    Token addObserver(const QString &name, const void *object, Callback callback);
    // Tied to `receiver`: removed with it (or by removeObserver(receiver)).
    Token addObserver(QObject *receiver, const QString &name, const void *object, Callback callback);

    void removeObserver(Token token);
    // Removes the receiver's observers; with a name or object, only those that match both.
    void removeObserver(QObject *receiver, const QString &name = {}, const void *object = nullptr);

    void postNotification(const Notification &notification);
    void postNotificationName(const QString &name, const void *object = nullptr,
                              const QVariantMap &userInfo = {});

    int observerCount() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
