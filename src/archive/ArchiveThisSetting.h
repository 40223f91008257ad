#pragma once
// Whether an archive created now archives its device automatically (its props 'archive').
// On by default; the window turns it off around the user's "Don't Archive" answer. A core
// flag, so the archive database can read it without the window library. Any thread.

#include <atomic>

extern std::atomic<bool> gArchiveThisSetting;
