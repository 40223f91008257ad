#include "AudioFixtures.h"

#include <QFile>
#include <QTemporaryDir>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>

namespace AudioFixtures {

namespace {

bool writePackets(AVCodecContext *encoder, AVFormatContext *output, AVStream *stream, AVPacket *packet)
{
    while (avcodec_receive_packet(encoder, packet) == 0) {
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (av_interleaved_write_frame(output, packet) < 0)
            return false;
    }
    return true;
}

} // namespace

QByteArray opusTone(int channels, double seconds, int serial)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("tone.opus")));
    const AVCodec *codec = avcodec_find_encoder_by_name("libopus");
    if (!codec)
        return {};
    AVCodecContext *encoder = avcodec_alloc_context3(codec);
    av_channel_layout_default(&encoder->ch_layout, channels);
    encoder->sample_rate = 48000;
    encoder->sample_fmt = AV_SAMPLE_FMT_S16;
    encoder->bit_rate = 32000 * channels;
    encoder->time_base = AVRational{1, 48000};
    AVFormatContext *output = nullptr;
    avformat_alloc_output_context2(&output, nullptr, "ogg", path.constData());
    output->flags |= AVFMT_FLAG_BITEXACT;
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    QByteArray result;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    AVStream *stream = avformat_new_stream(output, nullptr);
    AVDictionary *options = nullptr;
    av_dict_set_int(&options, "serial_offset", serial, 0);
    av_dict_set(&output->metadata, "title", "Quillon tone", 0);
    if (avcodec_open2(encoder, codec, nullptr) == 0 && avcodec_parameters_from_context(stream->codecpar, encoder) >= 0) {
        stream->time_base = encoder->time_base;
        bool ok = avio_open(&output->pb, path.constData(), AVIO_FLAG_WRITE) >= 0
            && avformat_write_header(output, &options) >= 0;
        const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 960;
        const int64_t total = int64_t(seconds * 48000);
        for (int64_t done = 0; ok && done < total; done += frameSize) {
            av_frame_unref(frame);
            frame->nb_samples = int(std::min<int64_t>(frameSize, total - done));
            frame->format = encoder->sample_fmt;
            frame->sample_rate = 48000;
            av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
            ok = av_frame_get_buffer(frame, 0) >= 0;
            auto *samples = reinterpret_cast<int16_t *>(frame->data[0]);
            for (int i = 0; ok && i < frame->nb_samples; ++i) {
                const auto value = int16_t(8000 * std::sin(2 * M_PI * 440 * double(done + i) / 48000));
                for (int c = 0; c < channels; ++c)
                    samples[i * channels + c] = value;
            }
            frame->pts = done;
            ok = ok && avcodec_send_frame(encoder, frame) >= 0 && writePackets(encoder, output, stream, packet);
        }
        ok = ok && avcodec_send_frame(encoder, nullptr) >= 0 && writePackets(encoder, output, stream, packet)
            && av_write_trailer(output) >= 0;
        avio_closep(&output->pb);
        QFile file(QFile::decodeName(path));
        if (ok && file.open(QIODevice::ReadOnly))
            result = file.readAll();
    }
    av_dict_free(&options);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    avformat_free_context(output);
    return result;
}

QByteArray amrSpeech(int frames)
{
    QByteArray data("#!AMR\n");
    for (int f = 0; f < frames; ++f) {
        data += char(0x3C); // frame type 7 (12.2 kbit/s), quality bit set
        for (int i = 0; i < 31; ++i)
            data += char((f * 31 + i) * 37 & 0xFF);
    }
    return data;
}

Probe probe(const QString &path)
{
    Probe result;
    AVFormatContext *input = nullptr;
    if (avformat_open_input(&input, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return result;
    result.opened = true;
    result.container = QString::fromLatin1(input->iformat->name);
    if (avformat_find_stream_info(input, nullptr) >= 0) {
        const int index = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (index >= 0) {
            const AVCodecParameters *parameters = input->streams[index]->codecpar;
            result.hasAudio = true;
            result.codec = QString::fromLatin1(avcodec_get_name(parameters->codec_id));
            result.sampleRate = parameters->sample_rate;
            result.channels = parameters->ch_layout.nb_channels;
            if (input->duration > 0)
                result.seconds = double(input->duration) / AV_TIME_BASE;
        }
    }
    avformat_close_input(&input);
    return result;
}

} // namespace AudioFixtures
