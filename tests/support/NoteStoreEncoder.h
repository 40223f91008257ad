#pragma once
// A small encoder of newest-generation note bodies for tests and benchmarks: text and styled
// runs as the protocol-buffer message our decoder reads, gzip-compressed. Header-only; the
// program links zlib.

#include <QByteArray>
#include <QList>
#include <QString>

#include <zlib.h>

#include <array>
#include <cstring>
#include <optional>
#include <utility>

namespace NoteStoreEncoder {

struct Run
{
    // Every field in order, the later ones optional, so a case names only what it styles.
    Run(int length = 0, QString font = {}, float size = 0, int weight = 0, bool underline = false, QString link = {},
        std::optional<std::array<float, 4>> colour = std::nullopt, QString attachmentIdentifier = {},
        QString attachmentType = {})
        : length(length), font(std::move(font)), size(size), weight(weight), underline(underline),
          link(std::move(link)), colour(colour), attachmentIdentifier(std::move(attachmentIdentifier)),
          attachmentType(std::move(attachmentType))
    {
    }

    int length = 0; // UTF-16 units
    QString font;
    float size = 0;
    int weight = 0;
    bool underline = false;
    QString link;
    std::optional<std::array<float, 4>> colour;
    QString attachmentIdentifier, attachmentType;
};

inline void varint(QByteArray &out, quint64 value)
{
    while (value >= 0x80) {
        out += char((value & 0x7f) | 0x80);
        value >>= 7;
    }
    out += char(value);
}

inline void key(QByteArray &out, int number, int type) { varint(out, quint64(number) << 3 | quint64(type)); }

inline void bytesField(QByteArray &out, int number, const QByteArray &bytes)
{
    key(out, number, 2);
    varint(out, quint64(bytes.size()));
    out += bytes;
}

inline void varintField(QByteArray &out, int number, quint64 value)
{
    key(out, number, 0);
    varint(out, value);
}

inline void floatField(QByteArray &out, int number, float value)
{
    key(out, number, 5);
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
}

inline QByteArray run(const Run &r)
{
    QByteArray out;
    varintField(out, 1, quint64(r.length));
    if (!r.font.isEmpty() || r.size > 0) {
        QByteArray font;
        if (!r.font.isEmpty())
            bytesField(font, 1, r.font.toUtf8());
        if (r.size > 0)
            floatField(font, 2, r.size);
        bytesField(out, 3, font);
    }
    if (r.weight)
        varintField(out, 5, quint64(r.weight));
    if (r.underline)
        varintField(out, 6, 1);
    if (!r.link.isEmpty())
        bytesField(out, 9, r.link.toUtf8());
    if (r.colour) {
        QByteArray colour;
        for (int i = 0; i < 4; ++i)
            floatField(colour, i + 1, (*r.colour)[size_t(i)]);
        bytesField(out, 10, colour);
    }
    if (!r.attachmentIdentifier.isEmpty()) {
        QByteArray attachment;
        bytesField(attachment, 1, r.attachmentIdentifier.toUtf8());
        bytesField(attachment, 2, r.attachmentType.toUtf8());
        bytesField(out, 12, attachment);
    }
    return out;
}

// The protocol-buffer message, not compressed: 2 document { 3 note { 2 text, 5 runs } }.
inline QByteArray message(const QString &text, const QList<Run> &runs)
{
    QByteArray note;
    varintField(note, 1, 0); // a field the decoder skips
    bytesField(note, 2, text.toUtf8());
    for (const Run &r : runs)
        bytesField(note, 5, run(r));
    QByteArray document;
    varintField(document, 1, 0);
    bytesField(document, 3, note);
    QByteArray top;
    varintField(top, 1, 0);
    bytesField(top, 2, document);
    return top;
}

inline QByteArray gzip(const QByteArray &data)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

// A note body as stored: the message gzip-compressed. Without runs the whole text is one
// plain run.
inline QByteArray body(const QString &text, QList<Run> runs = {})
{
    if (runs.isEmpty())
        runs.append(Run{int(text.size())});
    return gzip(message(text, runs));
}

} // namespace NoteStoreEncoder
