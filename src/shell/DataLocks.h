#pragma once
// The locks that the backup session, extraction, the archive and the caches share. They are
// plain globals, so they exist from program start: no early caller can find one missing.
//
// Order (a thread that holds one may take only those after it): addressLock (the messages
// load holds it for its whole load), the category locks (smsLock, callLock, notesLock,
// bookmarkLock, voicemailLock), backupLock, localLock, an archive key's open guard
// (ArchiveHandleCache), dbArrayLock or tempWebViewLock, saveLock, gSizeCacheLock. None of them
// is held while waiting for the main thread.

#include <mutex>

extern std::recursive_mutex backupLock;      // one backup session at a time
extern std::recursive_mutex localLock;       // all archive-database work
extern std::recursive_mutex addressLock;     // contacts loading
extern std::recursive_mutex smsLock;         // the messages category
extern std::recursive_mutex callLock;        // the calls category
extern std::recursive_mutex notesLock;       // the notes category
extern std::recursive_mutex bookmarkLock;    // the Safari category
extern std::recursive_mutex voicemailLock;   // the voicemail category
extern std::recursive_mutex tempWebViewLock; // HTML conversion
extern std::recursive_mutex dbArrayLock;     // the cache of open archive database handles
extern std::recursive_mutex saveLock;        // the pending saved manifest, archive schema set-up
extern std::recursive_mutex gSizeCacheLock;  // the size cache of message records
