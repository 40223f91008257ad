#pragma once
// Installs and removes QuillonHelper, the login-time program that starts Quillon when a device
// is attached (the window's launch-on-attach setting calls these through FRWindow).
//
// Set-up: stop this user's running helpers, remove the folders of earlier product names, copy
// the helper that lies beside the running program into the data folder (beside the installed
// one, then renamed over it, so a failed copy leaves the old helper whole), add it to the
// login session (LaunchAtLoginController) and start it. Removal: stop it, take the first
// autostart entry of each helper name out, remove the helper's own entry and delete it.
// Failures are logged and end the step quietly; the setting stays as the user set it.
//
// Main thread (LaunchAtLoginController is a QObject of the main thread). Stopping waits a
// bounded time for the old helper to end, so the new one does not find it holding the lock.

#include <QList>
#include <QString>

#include <sys/types.h>

namespace HelperAppAdditions {

// Where the helper is installed: LaunchAtLoginController::appURL()'s file.
QString installedHelper();
// The copy that ships beside the running program.
QString resourceHelper();

// This user's processes whose program is the file at `program` (also once it was deleted or
// replaced while they ran).
QList<pid_t> runningHelpers(const QString &program);
// Asks every running installed helper to end and waits (bounded) until they have.
void stopHelpers();

// `resourceCopy` empty: resourceHelper().
void setupHelperApp(const QString &resourceCopy = {});
void unsetupHelperApp();

// The first autostart entry (by file name) whose program's file name is `programName`.
QString firstLoginEntryFor(const QString &autostartFolder, const QString &programName);

} // namespace HelperAppAdditions
