#pragma once
// Small recordings made by the tests themselves: a tone encoded as Ogg Opus (through FFmpeg's
// Opus encoder and Ogg writer), frames of AMR narrow-band speech put together by hand, and a
// reader that says what FFmpeg finds in a finished file.

#include <QByteArray>
#include <QString>

namespace AudioFixtures {

// A 440 Hz tone of `seconds` as Ogg Opus at 48 kHz. `serial` sets the Ogg stream's serial
// number, so two files can be chained into one. Empty when the encoder is missing.
QByteArray opusTone(int channels, double seconds, int serial = 1);

// `frames` 20 ms frames of AMR narrow-band at 12.2 kbit/s in the storage format
// ("#!AMR\n" and the frames); any payload bits are valid speech parameters.
QByteArray amrSpeech(int frames);

struct Probe
{
    bool opened = false;
    bool hasAudio = false;
    QString codec;
    QString container;
    int sampleRate = 0;
    int channels = 0;
    double seconds = 0;
};

// What FFmpeg reads back from the file at `path`.
Probe probe(const QString &path);

} // namespace AudioFixtures
