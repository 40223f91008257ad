#pragma once
// Decoding an Ogg Opus file (a voice attachment) into a 16-bit stereo 48 kHz PCM WAV file,
// streamed block by block, so that the audio exporter can read it.
//
// The WAV header carries the real sizes whenever they can be known: from the input's total
// length when the input is seekable, else rewritten after decoding when the output is
// seekable. With neither, both sizes are 0x7FFFFFFF. Every input is decoded as stereo (mono
// duplicated, more channels down-mixed by the decoder); chained streams come out as one.
//
// Diagnostics (tags, offsets, errors) go to the program log. Any thread; no shared state.

#include <cstdint>

inline constexpr int kWavHeaderSize = 44;

// Fills `header` for `frames` stereo sample frames. Sizes are written only when
// 1 <= frames <= 0x1FFFFFF6 (so that 36 + 4 * frames fits 32 bits); otherwise both are
// 0x7FFFFFFF, meaning "unknown".
void make_wav_header(unsigned char header[kWavHeaderSize], int64_t frames);

// Decodes `inputPath` into `outputPath` (both UTF-8 file-system paths). 0 on success, 1 on
// failure. Input that is not Ogg Opus fails before the output is created; a failure after
// that leaves the partly written output for the caller to remove.
int convertToWav(const char *inputPath, const char *outputPath);
