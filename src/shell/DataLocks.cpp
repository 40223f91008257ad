#include "shell/DataLocks.h"

std::recursive_mutex backupLock;
std::recursive_mutex localLock;
std::recursive_mutex addressLock;
std::recursive_mutex smsLock;
std::recursive_mutex callLock;
std::recursive_mutex notesLock;
std::recursive_mutex bookmarkLock;
std::recursive_mutex voicemailLock;
std::recursive_mutex tempWebViewLock;
std::recursive_mutex dbArrayLock;
std::recursive_mutex saveLock;
std::recursive_mutex gSizeCacheLock;
