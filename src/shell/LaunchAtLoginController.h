#pragma once
// Keeps QuillonHelper among the programs the desktop session starts at login, as an XDG
// autostart entry (a .desktop file in the autostart folder), and tells observers when the
// autostart folder changes so they read launchAtLogin() again.
//
// An entry is "for" a program when its Exec line's program resolves to the same file; a
// hidden entry (Hidden=true) counts as absent, as the autostart rules say. Switching on
// writes one entry (nothing when one exists); switching off removes every entry for it.
// Main thread; the folder watch lives as long as the controller.

#include <QObject>
#include <QString>
#include <QUrl>

class QFileSystemWatcher;

class LaunchAtLoginController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)

public:
    explicit LaunchAtLoginController(QObject *parent = nullptr);
    ~LaunchAtLoginController() override;

    // The autostart entry for `url`'s file in the folder `inFileList`; empty when none.
    static QString findItemWithURL(const QUrl &url, const QString &inFileList);
    bool willLaunchAtLogin(const QUrl &url) const;
    // Returns false when the entry could not be written or removed.
    bool setLaunchAtLogin(bool enabled, const QUrl &forURL);

    // The installed helper: the Quillon data folder's "QuillonHelper".
    static QUrl appURL();
    void setLaunchAtLogin(bool enabled);
    bool launchAtLogin() const;

    // The autostart folder watched and written (the session's login-item list).
    QString loginItems() const { return mLoginItems; }
    void setLoginItems(const QString &folder);

    // The autostart entry's text for a program (exposed for tests of the quoting).
    static QByteArray desktopEntry(const QString &program);
    // The program an entry's Exec line starts; empty when there is none or it is hidden.
    static QString programOfEntry(const QByteArray &entry);

signals:
    void launchAtLoginWillChange();
    void launchAtLoginChanged();

private:
    void sharedFileListDidChange();
    void watch();

    QString mLoginItems;
    QFileSystemWatcher *mWatcher = nullptr;
};
