#pragma once
// What the category requests of the connected device keep for the rest of a connection
// (AppController+MessageRequests.cpp, +CategoryRequests.cpp, +Notes.cpp). Each is replaced, never
// changed in place, and only under the lock named beside it; the contacts and Safari lists
// are the extraction's own (AddressBookState.h, BookmarkState.h).

#include "extract/RecordSnapshot.h"

class FRSMSInfo;
class FRCallInfo;
class FRNoteInfo;

// The messages list as last handed out: gJustSMSs and/or gJustWA by the service switches.
extern RecordSnapshot<FRSMSInfo> gSMSs;     // smsLock
extern RecordSnapshot<FRSMSInfo> gJustSMSs; // smsLock; the messages database's records
extern RecordSnapshot<FRSMSInfo> gJustWA;   // smsLock; WhatsApp's records
// The calls list: the call history's records, then WhatsApp's call log's.
extern RecordSnapshot<FRCallInfo> gCalls;       // callLock
extern RecordSnapshot<FRCallInfo> gJustCalls;   // callLock
extern RecordSnapshot<FRCallInfo> gJustWACalls; // callLock
extern RecordSnapshot<FRCallInfo> gVoicemails;  // voicemailLock
// The notes list (AppController+Notes.cpp), also as the notes list edited it.
extern RecordSnapshot<FRNoteInfo> gNotes; // notesLock
