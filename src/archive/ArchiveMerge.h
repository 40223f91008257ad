#pragma once
// Copies calls, voicemails, contacts and messages (with their attachments) from one
// archive database into another, skipping what the target holds already:
//   calls and voicemails: the same moment and the same address;
//   contacts: the same id;
//   messages: the same moment, the same conversation (address) and the same text once all
//   white space is removed.
// Tombstones are never copied. Dates are compared and written by the one date rule of
// ArchiveDates, so rows stored by older versions meet their twins. Attachment files are
// copied into the target's piece folder; a file of the same name that holds other bytes
// makes the copy take a new name ("<name>-<n>.<ext>"), and a piece whose file is missing
// is left out (logged).
//
// The whole merge is one transaction on the target: any failure rolls it back and removes
// the files it had copied. Runs under localLock on the calling thread (a worker: it can
// take long); progress is reported through the callback on that thread.

#include <QString>

#include <functional>

class AppController;

struct ArchiveMergeResult
{
    enum class Outcome {
        Copied,       // committed (counts may all be 0 when the source was empty)
        AllDuplicates, // nothing copied, at least one duplicate found
        OpenFailed,   // a database could not be opened; nothing was run
        CopyFailed,   // a statement or a file copy failed; rolled back
        CommitFailed, // the commit failed; rolled back
    };
    Outcome outcome = Outcome::OpenFailed;
    int messages = 0, voicemails = 0, calls = 0, contacts = 0;
    int duplicateMessages = 0, duplicateVoicemails = 0, duplicateCalls = 0;
};

namespace ArchiveMerge {

// `progress(done, total)` is called now and then with rows handled so far.
ArchiveMergeResult merge(AppController &controller, const QString &sourceKey, const QString &targetKey,
                         const std::function<void(double done, double total)> &progress = {});

} // namespace ArchiveMerge
