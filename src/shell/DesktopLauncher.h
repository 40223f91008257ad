#pragma once
// Hands files, folders and addresses to the desktop's default applications through Debian's
// xdg-open and xdg-email: the program by its argument vector (no shell), on a worker thread
// of its own, so a slow or hanging opener never holds up the window.
//
// Outcome: an opener that cannot be started, or ends with a non-zero status within the
// settle time, has failed (logged); one that ended with 0, or still runs when the settle time
// is over (many openers stay with the application they started), has launched. `done` is
// called exactly once, on the worker, with that outcome; the worker then waits for a
// still-running opener to end, so none is left a zombie.

#include <QString>
#include <QStringList>

#include <functional>

namespace DesktopLauncher {

constexpr int kSettleMs = 5000;

// The settle time launch() uses when given none (kSettleMs until changed; tests on a busy
// machine lengthen it so a slow failing opener is not taken for a running one).
int settleMs();
void setSettleMs(int ms);

using Done = std::function<void(bool launched)>;

// `settleMs` below 0: settleMs(). Returns at once; `done` (may be empty) runs on the worker. When no worker can be started,
// `done` runs at once on the caller's thread with false.
void launch(const QString &program, const QStringList &arguments, Done done = {}, int settleMs = -1);

// Waits for the outcome (never on the main thread: use launch there).
bool run(const QString &program, const QStringList &arguments, int settleMs = -1);

// xdg-open with one file, folder or URL.
void open(const QString &fileOrUrl, Done done = {});

} // namespace DesktopLauncher
