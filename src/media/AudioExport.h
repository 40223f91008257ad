#pragma once
// Exporting recorded audio (voice messages, voicemail) as an MPEG-4 audio file (AAC in an
// .m4a container), over FFmpeg.
//
// Only the container formats a caller names are opened (a voice attachment named "amr" is
// read as AMR and nothing else), and only from plain files, so a hostile attachment cannot
// steer the demuxer to other formats or to other protocols.
//
// Any thread; no shared state. The export runs on the calling thread and calls `keepGoing`
// between blocks; answering false cancels it.

#include <QString>

#include <functional>

namespace AudioExport {

enum class Outcome { Completed, Failed, Cancelled };

// Whether `path` opens as one of `formats` (FFmpeg demuxer names, comma-separated), holds an
// audio stream and has a decoder for it: what an export needs of its input.
bool canExport(const QString &path, const char *formats);

// Decodes the first audio stream of `input` and writes it as AAC into a new MPEG-4 audio
// file at `output` (replacing a file there). Mono stays mono, everything else becomes
// stereo; the sample rate is kept when AAC allows it. Anything short of Completed leaves no
// file at `output`; `error` (when given) says why.
Outcome exportToMpeg4Audio(const QString &input, const char *formats, const QString &output,
                           const std::function<bool()> &keepGoing = {}, QString *error = nullptr);

} // namespace AudioExport
