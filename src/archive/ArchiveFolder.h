#pragma once
// The archive folder: where every device's archive database, its piece folders and the saved
// backup manifest live. The window's launch sets it once (after its own fallback); every
// subsystem reads it here, so no one consults the preference on its own. Until it is set,
// the built-in default stands. Callable from any thread.

#include <QString>

// The folder as chosen, "~" allowed (the form the preference and the window keep).
QString archiveLocation();
void setArchiveLocation(const QString &location);

// The same folder as an absolute path.
QString archiveFolderPath();

// The built-in default, "~/Library/Application Support/Quillon".
QString defaultArchiveLocation();
