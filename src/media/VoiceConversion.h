#pragma once
// Turning recorded voice (a message's Opus or AMR attachment, a voicemail's AMR audio) into an
// MPEG-4 audio file at a destination the user chose.
//
// The whole conversion holds gExportLock, so conversions of messages, calls and movie
// thumbnails never run together. The work files live in the per-run temporary folder under
// names the caller gives; all of them are removed on every path out. The destination is
// replaced only by a finished export, in one atomic step (a rename, or a copy beside it and a
// rename when the temporary folder lies on another file system); whatever was there stays
// when anything fails.
//
// Blocks the calling thread (a transfer worker) until the export ends; never the main thread.
// The quit flag cancels a running export.

#include <QByteArray>
#include <QString>

namespace VoiceConversion {

enum class Source {
    Opus, // Ogg Opus, decoded to WAV first
    Amr,  // AMR narrow- or wide-band, exported as it is
};

struct WorkFiles
{
    QString source; // where the attachment's bytes are written
    QString wav;    // Opus only: the decoded sound
    QString exported; // the finished MPEG-4 audio before it is moved into place
};

// True only when `destination` now holds the converted audio. `failureLog` is the line
// logged when the export itself fails.
bool convert(const QByteArray &data, Source source, const WorkFiles &files, const QString &destination,
             const char *failureLog = "Export session failed");

// "%f" of the current seconds since 1970: the stamp the work file names begin with.
QString secondsStamp();

} // namespace VoiceConversion
