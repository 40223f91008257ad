#include "media/ConvertToWav.h"

#include "shell/VarnekLogger.h"

#include <opusfile.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// 120 ms of stereo at 48 kHz: the longest block the decoder hands out at once.
constexpr int kBlockSamples = 11520;
constexpr uint32_t kUnknownSize = 0x7FFFFFFF;
constexpr int64_t kMostFrames = 0x1FFFFFF6;

// The log takes one line per call, so the line breaks that frame the messages are dropped.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
void report(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::string text(line);
    while (!text.empty() && text.front() == '\n')
        text.erase(text.begin());
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    VarnekLog("%s", text.c_str());
}

void putLE32(unsigned char *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void putLE16(unsigned char *at, uint16_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

struct OpusFileCloser
{
    void operator()(OggOpusFile *file) const { op_free(file); }
};

// Closing flushes what stdio still buffers; a failure there is a failed write too.
struct StdioCloser
{
    void operator()(FILE *file) const { std::fclose(file); }
};

void reportTags(const OpusTags *tags)
{
    if (!tags)
        return;
    for (int i = 0; i < tags->comments; ++i) {
        const char *tag = tags->user_comments[i];
        if (opus_tagncompare("METADATA_BLOCK_PICTURE", 22, tag) == 0) {
            OpusPictureTag picture;
            opus_picture_tag_init(&picture);
            if (opus_picture_tag_parse(&picture, tag) < 0)
                report("<error parsing picture tag>\n");
            else
                report("  <picture: %s, %ux%u>\n", picture.mime_type ? picture.mime_type : "",
                       picture.width, picture.height);
            opus_picture_tag_clear(&picture);
        } else {
            report("  %s\n", tag);
        }
    }
}

} // namespace

void make_wav_header(unsigned char header[kWavHeaderSize], int64_t frames)
{
    const bool known = frames >= 1 && frames <= kMostFrames;
    const uint32_t dataSize = known ? static_cast<uint32_t>(4 * frames) : kUnknownSize;
    const uint32_t riffSize = known ? 36 + dataSize : kUnknownSize;
    std::memcpy(header, "RIFF", 4);
    putLE32(header + 4, riffSize);
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + 12, "fmt ", 4);
    putLE32(header + 16, 16);
    putLE16(header + 20, 1);      // PCM
    putLE16(header + 22, 2);      // channels
    putLE32(header + 24, 48000);  // samples per second
    putLE32(header + 28, 192000); // bytes per second
    putLE16(header + 32, 4);      // bytes per frame
    putLE16(header + 34, 16);     // bits per sample
    std::memcpy(header + 36, "data", 4);
    putLE32(header + 40, dataSize);
}

int convertToWav(const char *inputPath, const char *outputPath)
{
    int error = 0;
    std::unique_ptr<OggOpusFile, OpusFileCloser> input(op_open_file(inputPath, &error));
    if (!input) {
        report("Failed to open '%s' as Ogg Opus: %i\n", inputPath, error);
        return 1;
    }
    std::unique_ptr<FILE, StdioCloser> output(std::fopen(outputPath, "w"));
    if (!output) {
        report("Failed to open '%s' for writing: %s\n", outputPath, std::strerror(errno));
        return 1;
    }

    const bool outputSeekable = std::fseek(output.get(), 0, SEEK_CUR) == 0;
    const bool inputSeekable = op_seekable(input.get());
    int64_t frames = 0;
    if (inputSeekable) {
        frames = op_pcm_total(input.get(), -1);
        if (frames < 0)
            frames = 0;
    } else if (!outputSeekable) {
        report("WARNING: Neither input nor output are seekable.\n");
        report("Writing non-standard WAV header with invalid chunk sizes.\n");
    }

    int result = 0;
    unsigned char header[kWavHeaderSize];
    make_wav_header(header, frames);
    if (std::fwrite(header, sizeof header, 1, output.get()) != 1) {
        report("Error writing WAV header: %s\n", std::strerror(errno));
        result = 1;
    }

    int64_t position = op_pcm_tell(input.get());
    if (position != 0)
        report("Non-zero starting PCM offset: %li\n", static_cast<long>(position));

    int64_t written = 0;
    int previousLink = -1;
    opus_int16 pcm[kBlockSamples];
    unsigned char bytes[kBlockSamples * 2];
    while (result == 0) {
        const int got = op_read_stereo(input.get(), pcm, kBlockSamples);
        if (got < 0) {
            report("\nError decoding '%s': %i\n", inputPath, got);
            result = 1;
            break;
        }
        if (got == 0)
            break;
        const int link = op_current_link(input.get());
        const int64_t next = op_pcm_tell(input.get());
        if (link != previousLink) {
            reportTags(op_tags(input.get(), link));
            if (!inputSeekable) {
                // A new link of a stream read in one pass restarts its own positions.
                position = next - got;
                if (position != 0)
                    report("Non-zero starting PCM offset in link %i: %li\n", link, static_cast<long>(position));
            }
            previousLink = link;
        }
        if (position + got != next)
            report("\nPCM offset gap! %li+%i!=%li\n", static_cast<long>(position), got, static_cast<long>(next));
        position = next;

        for (int i = 0; i < 2 * got; ++i)
            putLE16(bytes + 2 * i, static_cast<uint16_t>(pcm[i]));
        if (std::fwrite(bytes, 4, static_cast<size_t>(got), output.get()) != static_cast<size_t>(got)) {
            report("\nError writing decoded audio data: %s\n", std::strerror(errno));
            result = 1;
            break;
        }
        written += got;
    }

    if (result == 0 && written != frames) {
        if (!outputSeekable) {
            if (inputSeekable)
                report("Output WAV file will be corrupt.\n");
        } else {
            make_wav_header(header, written);
            if (std::fseek(output.get(), 0, SEEK_SET) != 0
                || std::fwrite(header, sizeof header, 1, output.get()) != 1) {
                report("Error rewriting WAV header: %s\n", std::strerror(errno));
                result = 1;
            }
        }
    }

    input.reset();
    if (std::fclose(output.release()) != 0 && result == 0) {
        report("\nError writing decoded audio data: %s\n", std::strerror(errno));
        result = 1;
    }
    return result;
}
