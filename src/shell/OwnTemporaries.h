#pragma once
// Temporary files of ours that lie beside their final names until they are complete: a
// download (".quillon-download-…"), a decrypted backup file (".qnpart…"). Each is noted in a
// journal in the data folder while it exists, so that the next start removes the ones a kill
// left behind; the file keychain's temporary ("items.json.tmp-<pid>") is found by its name.
//
// removeStale() runs once at start-up, after the single-instance lock is held (so no other
// copy with this data folder can be writing them), and only ever removes files whose names
// are of our own making. Temporaries are created readable by the user only.
// The journal is emptied once it has passed kJournalLimit bytes while nothing is in progress,
// and at start-up.
// Threads: begin/end (and the Noted guard) may be called from any thread.

#include <QString>

namespace OwnTemporaries {

constexpr qint64 kJournalLimit = 64 * 1024;

// A temporary file now exists at `path` (absolute); end() when it is renamed or removed.
void begin(const QString &path);
void end(const QString &path);

// Removes what earlier runs left behind; returns how many files and per-run work folders
// it removed (each logged). A work folder goes only when it is ours (our name, our user, a
// real folder) and the process its name records is gone, so another copy's folder stays.
int removeStale();

// Whether a file name is one of ours: only such files are ever removed.
bool isOurTemporaryName(const QString &fileName);

// The journal's path (the data folder's "pending-temporaries").
QString journalPath();

// begin() now, end() when the guard goes.
class Noted
{
public:
    explicit Noted(QString path) : mPath(std::move(path)) { begin(mPath); }
    ~Noted() { end(mPath); }
    Noted(const Noted &) = delete;
    Noted &operator=(const Noted &) = delete;

private:
    QString mPath;
};

} // namespace OwnTemporaries
