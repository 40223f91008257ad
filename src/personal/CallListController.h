#pragma once
// What the call records and the archive reader ask of the list controller that owns call
// rows: the calls list (CallDataController) and, for voicemail, the media list
// (iTunesDataController) both answer it.
//
// Threads: archiveTableName and cacheDBName are read on load threads; setNumTotalCalls is
// called on load threads and must be safe there.

#include <QString>

class CallListController
{
public:
    virtual ~CallListController() = default;
    // "call" or "voicemail": the archive table this controller lists.
    virtual QString archiveTableName() const = 0;
    // The key of the contact cache that names the rows.
    virtual QString cacheDBName() const = 0;
    virtual void setNumTotalCalls(int total) = 0;
    virtual int numTotalCalls() const { return 0; }
};
