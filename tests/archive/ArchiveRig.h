#pragma once
// An archive folder in a throw-away home and a device controller that believes a device is
// connected (its identifier and name set, no device framework involved): what the archive
// database code needs to open, create and write archives. Main thread; waitUntil turns the
// event loop for the controller's queued work.

#include "TestHome.h"
#include "TestWait.h"
#include "device/AppController.h"

#include <QString>
#include <QStringList>

#include <sqlite3.h>

struct ArchiveRig
{
    explicit ArchiveRig(const QString &uid = QStringLiteral("uid-phone"),
                        const QString &name = QStringLiteral("Phone"));

    // Pretends `uid` is the connected device ("" disconnects).
    void connect(const QString &uid, const QString &name = QStringLiteral("Phone"));

    QString folder() const; // the archive folder
    QString dbPath(const QString &key) const;
    // Makes "<key>.db" from a fixture script (tests/fixtures/<relativePath>).
    void loadFixture(const QString &key, const QString &relativePath) const;
    // A connection of the test's own (closed by the caller with sqlite3_close).
    sqlite3 *openRaw(const QString &key) const;
    // The column names of a table, in order.
    QStringList columns(const QString &key, const QString &table) const;
    // The first column of the first row as an integer (-1 without a row).
    qint64 number(const QString &key, const QString &sql) const;
    QString text(const QString &key, const QString &sql) const;
    void exec(const QString &key, const QString &sql) const;
    // Whether this process holds a file descriptor open on `path` (read from /proc).
    static bool processHasOpen(const QString &path);
    // How many file descriptors of this process are open on `path`.
    static int descriptorsOn(const QString &path);

    TestHome home;
    AppController controller;
};

// Writes `contents` to `path`, making folders as needed.
void writeFile(const QString &path, const QByteArray &contents);
QByteArray readFile(const QString &path);
