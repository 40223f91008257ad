#pragma once
// Where Quillon keeps its files, mapped from the host design's folders onto the XDG layout.
//
// Every folder follows HOME and the XDG_* variables at the moment of the call, so tests
// that point HOME at a throw-away folder never touch the user's own files. Callable from
// any thread; nothing is cached.

#include <QString>

namespace Paths {

QString home();
QString dataHome();    // XDG_DATA_HOME or ~/.local/share
QString configHome();  // XDG_CONFIG_HOME or ~/.config
QString stateHome();   // XDG_STATE_HOME or ~/.local/state
QString cacheHome();   // XDG_CACHE_HOME or ~/.cache

// "~/Library/Application Support": the data home.
QString applicationSupportRoot();
// "~/Library/Application Support/Quillon": the data home's Quillon folder.
QString applicationSupport();
// "~/Library/Logs": the state home's Logs folder; the logger adds the program's name.
QString logsRoot();
// "~/Library/Caches".
QString caches();
// "~/Library/Application Support/MobileSync/Backup": device backups already on this computer.
QString backupFolder();
// The system temporary folder (TMPDIR or /tmp); the per-run folder is made inside it.
QString temporaryRoot();
// The autostart folder of the login session (login items).
QString autostartFolder();
// The desktop ("~/Desktop/" of the host design): XDG_DESKTOP_DIR from the user-dirs file in
// the config home when it names a folder other than home itself, else ~/Desktop.
QString desktop();

// Turns a stored path of the host design ("~/Library/Application Support/Quillon",
// "~/Documents/x") into the folder it means here. Paths without a tilde are returned as
// they are; "~" alone and "~/…" outside the known Library folders go under home().
QString resolveUserPath(const QString &path);

} // namespace Paths
