#include "media/AudioExport.h"

#include <QFile>
#include <QFileInfo>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <mutex>

namespace AudioExport {

namespace {

QString avText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// FFmpeg would otherwise write its warnings about every odd packet to the standard error
// stream of a GUI program; failures are reported through our own results instead.
void quietLibraryLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// "file:" keeps a path with a colon from naming another protocol.
QByteArray fileUrl(const QString &path)
{
    return QByteArrayLiteral("file:") + QFile::encodeName(path);
}

struct Input
{
    AVFormatContext *format = nullptr;
    AVCodecContext *decoder = nullptr;
    int stream = -1;

    ~Input()
    {
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
    }

    bool open(const QString &path, const char *formats, QString *error)
    {
        quietLibraryLog();
        if (!QFileInfo(path).isFile()) {
            *error = QStringLiteral("not a file: %1").arg(path);
            return false;
        }
        AVDictionary *options = nullptr;
        av_dict_set(&options, "format_whitelist", formats, 0);
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        int rc = avformat_open_input(&format, fileUrl(path).constData(), nullptr, &options);
        av_dict_free(&options);
        if (rc < 0) {
            *error = QStringLiteral("cannot open as %1: %2").arg(QLatin1String(formats), avText(rc));
            return false;
        }
        if ((rc = avformat_find_stream_info(format, nullptr)) < 0) {
            *error = QStringLiteral("cannot read the streams: %1").arg(avText(rc));
            return false;
        }
        const AVCodec *codec = nullptr;
        stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (stream < 0 || !codec) {
            *error = QStringLiteral("no audio that can be decoded");
            return false;
        }
        decoder = avcodec_alloc_context3(codec);
        if (!decoder || avcodec_parameters_to_context(decoder, format->streams[stream]->codecpar) < 0
            || (rc = avcodec_open2(decoder, codec, nullptr)) < 0) {
            *error = QStringLiteral("cannot start the audio decoder: %1").arg(avText(rc));
            return false;
        }
        if (decoder->ch_layout.nb_channels < 1 || decoder->sample_rate < 1) {
            *error = QStringLiteral("the audio has no channels or no sample rate");
            return false;
        }
        return true;
    }
};

int encoderRate(const AVCodec *encoder, int wanted)
{
    if (!encoder->supported_samplerates)
        return wanted;
    for (const int *rate = encoder->supported_samplerates; *rate; ++rate) {
        if (*rate == wanted)
            return wanted;
    }
    return 48000;
}

// One export from open input to closed output. Every resource is freed by the destructor,
// and an output that was not finished is removed there.
class Exporter
{
public:
    Exporter(Input &input, QString output) : mIn(input), mOutputPath(std::move(output)) {}

    ~Exporter()
    {
        if (mOutput && mOutput->pb)
            avio_closep(&mOutput->pb);
        avformat_free_context(mOutput);
        if (mOpenedOutput && !mFinished)
            QFile::remove(mOutputPath);
        avcodec_free_context(&mEncoder);
        swr_free(&mResampler);
        if (mFifo)
            av_audio_fifo_free(mFifo);
        if (mConverted)
            av_freep(&mConverted[0]);
        av_freep(&mConverted);
        av_frame_free(&mFrame);
        av_frame_free(&mEncoderFrame);
        av_packet_free(&mPacket);
    }

    Outcome run(const std::function<bool()> &keepGoing, QString *error)
    {
        mError = error;
        if (!setUp())
            return Outcome::Failed;
        for (;;) {
            if (keepGoing && !keepGoing())
                return Outcome::Cancelled;
            const int rc = av_read_frame(mIn.format, mPacket);
            if (rc == AVERROR_EOF)
                break;
            if (rc < 0)
                return fail(QStringLiteral("cannot read the input: %1").arg(avText(rc)));
            if (mPacket->stream_index != mIn.stream) {
                av_packet_unref(mPacket);
                continue;
            }
            const int sent = avcodec_send_packet(mIn.decoder, mPacket);
            av_packet_unref(mPacket);
            // A damaged packet costs its own few milliseconds of sound, not the recording.
            if (sent < 0 && sent != AVERROR_INVALIDDATA)
                return fail(QStringLiteral("cannot decode: %1").arg(avText(sent)));
            if (!drainDecoder())
                return Outcome::Failed;
        }
        avcodec_send_packet(mIn.decoder, nullptr);
        if (!drainDecoder() || !flushResampler())
            return Outcome::Failed;
        if (mDecodedSamples == 0)
            return fail(QStringLiteral("no sound could be decoded"));
        if (av_audio_fifo_size(mFifo) > 0 && !encodeFromFifo(av_audio_fifo_size(mFifo)))
            return Outcome::Failed;
        avcodec_send_frame(mEncoder, nullptr);
        if (!drainEncoder())
            return Outcome::Failed;
        int rc = av_write_trailer(mOutput);
        if (rc < 0)
            return fail(QStringLiteral("cannot finish the file: %1").arg(avText(rc)));
        if ((rc = avio_closep(&mOutput->pb)) < 0)
            return fail(QStringLiteral("cannot write the file: %1").arg(avText(rc)));
        mFinished = true;
        return Outcome::Completed;
    }

private:
    Outcome fail(const QString &text)
    {
        if (mError)
            *mError = text;
        return Outcome::Failed;
    }

    bool refuse(const QString &text)
    {
        fail(text);
        return false;
    }

    bool setUp()
    {
        mPacket = av_packet_alloc();
        mFrame = av_frame_alloc();
        mEncoderFrame = av_frame_alloc();
        const AVCodec *aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!mPacket || !mFrame || !mEncoderFrame || !aac)
            return refuse(QStringLiteral("no AAC encoder"));
        int rc = avformat_alloc_output_context2(&mOutput, nullptr, "ipod", nullptr);
        if (rc < 0 || !mOutput)
            return refuse(QStringLiteral("no MPEG-4 audio writer: %1").arg(avText(rc)));

        mEncoder = avcodec_alloc_context3(aac);
        if (!mEncoder)
            return false;
        const int channels = mIn.decoder->ch_layout.nb_channels == 1 ? 1 : 2;
        av_channel_layout_default(&mEncoder->ch_layout, channels);
        mEncoder->sample_rate = encoderRate(aac, mIn.decoder->sample_rate);
        mEncoder->sample_fmt = aac->sample_fmts ? aac->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        mEncoder->bit_rate = 64000 * channels;
        mEncoder->time_base = AVRational{1, mEncoder->sample_rate};
        if (mOutput->oformat->flags & AVFMT_GLOBALHEADER)
            mEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(mEncoder, aac, nullptr)) < 0)
            return refuse(QStringLiteral("cannot start the AAC encoder: %1").arg(avText(rc)));

        mStream = avformat_new_stream(mOutput, nullptr);
        if (!mStream || avcodec_parameters_from_context(mStream->codecpar, mEncoder) < 0)
            return false;
        mStream->time_base = mEncoder->time_base;
        mFifo = av_audio_fifo_alloc(mEncoder->sample_fmt, channels, mEncoder->frame_size > 0 ? mEncoder->frame_size : 1024);
        if (!mFifo)
            return false;

        if ((rc = avio_open(&mOutput->pb, fileUrl(mOutputPath).constData(), AVIO_FLAG_WRITE)) < 0)
            return refuse(QStringLiteral("cannot create %1: %2").arg(mOutputPath, avText(rc)));
        mOpenedOutput = true;
        if ((rc = avformat_write_header(mOutput, nullptr)) < 0)
            return refuse(QStringLiteral("cannot start the file: %1").arg(avText(rc)));
        return true;
    }

    // The resampler is made from the first decoded frame, whose format is certain, where
    // some decoders only guess it when they open.
    bool ensureResampler(const AVFrame *frame)
    {
        if (mResampler)
            return true;
        AVChannelLayout inLayout{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels < 1)
            av_channel_layout_default(&inLayout, frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : mIn.decoder->ch_layout.nb_channels);
        else if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0)
            return false;
        const int rc = swr_alloc_set_opts2(&mResampler, &mEncoder->ch_layout, mEncoder->sample_fmt, mEncoder->sample_rate,
                                           &inLayout, AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        if (rc < 0 || swr_init(mResampler) < 0)
            return refuse(QStringLiteral("cannot convert the audio's samples"));
        return true;
    }

    bool convertInto(const uint8_t **data, int samples)
    {
        const int room = swr_get_out_samples(mResampler, samples);
        if (room < 0)
            return false;
        if (room > mConvertedRoom) {
            if (mConverted)
                av_freep(&mConverted[0]);
            av_freep(&mConverted);
            if (av_samples_alloc_array_and_samples(&mConverted, nullptr, mEncoder->ch_layout.nb_channels, room,
                                                   mEncoder->sample_fmt, 0) < 0)
                return false;
            mConvertedRoom = room;
        }
        const int converted = swr_convert(mResampler, mConverted, room, data, samples);
        if (converted < 0)
            return false;
        if (converted > 0 && av_audio_fifo_write(mFifo, reinterpret_cast<void **>(mConverted), converted) < converted)
            return false;
        while (av_audio_fifo_size(mFifo) >= mEncoder->frame_size) {
            if (!encodeFromFifo(mEncoder->frame_size))
                return false;
        }
        return true;
    }

    bool drainDecoder()
    {
        for (;;) {
            const int rc = avcodec_receive_frame(mIn.decoder, mFrame);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return true;
            if (rc < 0)
                return refuse(QStringLiteral("cannot decode: %1").arg(avText(rc)));
            mDecodedSamples += mFrame->nb_samples;
            const bool ok = ensureResampler(mFrame)
                && convertInto(const_cast<const uint8_t **>(mFrame->extended_data), mFrame->nb_samples);
            av_frame_unref(mFrame);
            if (!ok)
                return refuse(QStringLiteral("cannot convert the audio's samples"));
        }
    }

    bool flushResampler()
    {
        if (!mResampler)
            return true;
        while (swr_get_delay(mResampler, mEncoder->sample_rate) > 0) {
            const int before = av_audio_fifo_size(mFifo);
            if (!convertInto(nullptr, 0))
                return refuse(QStringLiteral("cannot convert the audio's samples"));
            if (av_audio_fifo_size(mFifo) == before)
                break;
        }
        return true;
    }

    bool encodeFromFifo(int samples)
    {
        av_frame_unref(mEncoderFrame);
        mEncoderFrame->nb_samples = samples;
        mEncoderFrame->format = mEncoder->sample_fmt;
        mEncoderFrame->sample_rate = mEncoder->sample_rate;
        if (av_channel_layout_copy(&mEncoderFrame->ch_layout, &mEncoder->ch_layout) < 0
            || av_frame_get_buffer(mEncoderFrame, 0) < 0
            || av_audio_fifo_read(mFifo, reinterpret_cast<void **>(mEncoderFrame->data), samples) < samples)
            return refuse(QStringLiteral("out of memory"));
        mEncoderFrame->pts = mNextPts;
        mNextPts += samples;
        const int rc = avcodec_send_frame(mEncoder, mEncoderFrame);
        if (rc < 0)
            return refuse(QStringLiteral("cannot encode: %1").arg(avText(rc)));
        return drainEncoder();
    }

    bool drainEncoder()
    {
        for (;;) {
            int rc = avcodec_receive_packet(mEncoder, mPacket);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return true;
            if (rc < 0)
                return refuse(QStringLiteral("cannot encode: %1").arg(avText(rc)));
            av_packet_rescale_ts(mPacket, mEncoder->time_base, mStream->time_base);
            mPacket->stream_index = mStream->index;
            rc = av_interleaved_write_frame(mOutput, mPacket);
            av_packet_unref(mPacket);
            if (rc < 0)
                return refuse(QStringLiteral("cannot write the file: %1").arg(avText(rc)));
        }
    }

    Input &mIn;
    QString mOutputPath;
    QString *mError = nullptr;
    AVFormatContext *mOutput = nullptr;
    AVStream *mStream = nullptr;
    AVCodecContext *mEncoder = nullptr;
    SwrContext *mResampler = nullptr;
    AVAudioFifo *mFifo = nullptr;
    uint8_t **mConverted = nullptr;
    int mConvertedRoom = 0;
    AVFrame *mFrame = nullptr;
    AVFrame *mEncoderFrame = nullptr;
    AVPacket *mPacket = nullptr;
    int64_t mNextPts = 0;
    int64_t mDecodedSamples = 0;
    bool mOpenedOutput = false;
    bool mFinished = false;
};

} // namespace

bool canExport(const QString &path, const char *formats)
{
    Input input;
    QString ignored;
    return input.open(path, formats, &ignored);
}

Outcome exportToMpeg4Audio(const QString &input, const char *formats, const QString &output,
                           const std::function<bool()> &keepGoing, QString *error)
{
    QString why;
    Input in;
    if (!in.open(input, formats, &why)) {
        if (error)
            *error = why;
        return Outcome::Failed;
    }
    Exporter exporter(in, output);
    return exporter.run(keepGoing, error ? error : &why);
}

} // namespace AudioExport
