#pragma once
// What the helper does when Quillon is gone: it takes itself out of the login session (the
// first autostart entry whose program is named "QuillonHelper") and deletes the installed
// helper. Failures are logged and otherwise ignored. Main thread of the helper.

#include <string>

// The first entry (by file name) in `autostartFolder` whose program's file name is
// `programName`; "" when none.
std::string firstAutostartEntryFor(const std::string &autostartFolder, const std::string &programName);

void removeHelper();
